#include "ledger/LedgerPricing.h"

#include "core/Pricing.h"
#include "ledger/SessionFacts.h"

namespace qm::ledger {

std::optional<double> costOf(ProviderKind tool, const QString& model, const Counts& c,
                             bool largeCalls) {
    TokenCounts tokens;
    switch (tool) {
        case ProviderKind::codex:
        case ProviderKind::grok:
            tokens = UsagePricing::fromNested(c.input, c.cachedInput, c.output);
            break;
        case ProviderKind::gemini:
            // Gemini counts thinking apart from the answer; both are billed as output.
            tokens = UsagePricing::fromNested(c.input, c.cachedInput, c.output - c.reasoning);
            tokens.reasoning = c.reasoning;
            break;
        case ProviderKind::claudeCode:
            // The index's input holds the cache reads and writes, as `usage --json` shows it.
            tokens = UsagePricing::fromAnthropic(claudeTokens(c));
            break;
    }
    // Every call summed in a large-call row had a prompt above the long-context threshold, so
    // the sum is priced as such a call; other rows at base rates.
    const CountSpan span = largeCalls ? CountSpan::oneCall : CountSpan::manyCalls;
    return UsagePricing::cost(UsagePricing::priceProvider(tool), model, tokens, span);
}

}  // namespace qm::ledger
