#include "ledger/LedgerPricing.h"

#include "core/Pricing.h"

namespace qm::ledger {

double costOf(ProviderKind tool, const QString& model, const Counts& c, bool largeCalls) {
    // The built-in tables have one rate per kind of token, whatever the size of the call.
    (void)largeCalls;
    switch (tool) {
        case ProviderKind::codex:
            return UsagePricing::openAICost(model, c.input, c.cachedInput, c.output);
        case ProviderKind::grok:
            return UsagePricing::grokCost(model, c.input, c.cachedInput, c.output);
        case ProviderKind::gemini:
            return UsagePricing::geminiCost(model, c.input, c.cachedInput, c.output - c.reasoning,
                                            c.reasoning);
        case ProviderKind::claudeCode: {
            const AnthropicTokens tokens{c.input - c.cachedInput - c.cacheWrite, c.output,
                                         c.cachedInput, c.cacheWrite - c.cacheWrite1h,
                                         c.cacheWrite1h};
            return UsagePricing::anthropicCost(model, tokens);
        }
    }
    return 0;
}

}  // namespace qm::ledger
