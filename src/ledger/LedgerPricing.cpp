#include "ledger/LedgerPricing.h"

#include "core/Pricing.h"
#include "ledger/SessionFacts.h"

namespace qm::ledger {

namespace {

TokenCounts routedTokens(PriceProvider provider, const Counts& c) {
    switch (provider) {
        case PriceProvider::anthropic:
            return UsagePricing::fromAnthropic(claudeTokens(c));
        case PriceProvider::gemini: {
            TokenCounts tokens =
                UsagePricing::fromNested(c.input, c.cachedInput, c.output - c.reasoning);
            tokens.reasoning = c.reasoning;
            return tokens;
        }
        case PriceProvider::openai:
        case PriceProvider::xai:
            break;
    }
    return UsagePricing::fromNested(c.input, c.cachedInput, c.output);
}

}  // namespace

RowCost rowCost(ProviderKind tool, const QString& model, const Counts& counts, std::uint8_t flags) {
    if (flags & kRecordedCost) return {double(counts.costNanos) / 1e9, true};
    return {costOf(tool, model, counts, flags & kLargeCalls), false};
}

std::optional<double> costOf(ProviderKind tool, const QString& model, const Counts& c,
                             bool largeCalls) {
    const CountSpan span = largeCalls ? CountSpan::oneCall : CountSpan::manyCalls;
    if (UsagePricing::routesModels(tool)) {
        // The agents that reach many providers: the provider the model's name points to.
        const auto routed = UsagePricing::routedModel(model);
        if (!routed) return std::nullopt;
        return UsagePricing::cost(routed->first, routed->second, routedTokens(routed->first, c),
                                  span);
    }
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
        case ProviderKind::openCode:
        case ProviderKind::qwenCode:
            break;  // routed above
    }
    // Every call summed in a large-call row had a prompt above the long-context threshold, so
    // the sum is priced as such a call; other rows at base rates.
    return UsagePricing::cost(UsagePricing::priceProvider(tool), model, tokens, span);
}

}  // namespace qm::ledger
