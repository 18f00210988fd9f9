#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <span>

// Built-in list prices, US dollars per 1 000 000 tokens. Costs shown anywhere are estimates
// from these tables; nothing is read from a file or the network. Every cost is computed by
// UsagePricing below, so the cached-input rule lives in one place.
namespace qm {

struct AnthropicModelPrice {
    QString modelId;
    QString displayName;
    double inputPricePerMTok = 0;
    double outputPricePerMTok = 0;
    double cacheWritePricePerMTok = 0;
    double cacheReadPricePerMTok = 0;
    bool operator==(const AnthropicModelPrice&) const = default;
};

struct OpenAiModelPrice {
    QString modelId;
    QString displayName;
    double inputPricePerMTok = 0;
    double outputPricePerMTok = 0;
    double cachedInputPricePerMTok = 0;
    bool operator==(const OpenAiModelPrice&) const = default;
};

struct GeminiModelPrice {
    QString modelId;
    QString displayName;
    double inputPricePerMTok = 0;
    double outputPricePerMTok = 0;
    double cachePricePerMTok = 0;
    bool operator==(const GeminiModelPrice&) const = default;
};

// Every table is searched the same way: an exact (case-insensitive) match first, then the
// longest row id that prefixes the model, so dated and suffixed names find their own row.
namespace AnthropicPricing {
std::span<const AnthropicModelPrice> models();
std::optional<AnthropicModelPrice> find(const QString& modelId);
}  // namespace AnthropicPricing

namespace OpenAiPricing {
std::span<const OpenAiModelPrice> models();
std::optional<OpenAiModelPrice> find(const QString& modelId);
}  // namespace OpenAiPricing

namespace GeminiPricing {
std::span<const GeminiModelPrice> models();
std::optional<GeminiModelPrice> find(const QString& modelId);
}  // namespace GeminiPricing

// Rates of one model, per 1 000 000 tokens.
struct TokenRates {
    double input = 0;
    double cachedInput = 0;
    double output = 0;
};

// Anthropic counts come apart, not nested as OpenAI's: `input` holds none of the cache reads or
// writes.
struct AnthropicTokens {
    std::int64_t input = 0;
    std::int64_t output = 0;  // includes extended thinking
    std::int64_t cacheRead = 0;
    std::int64_t cacheWrite5m = 0;  // five-minute cache writes: the table's cache-write rate
    std::int64_t cacheWrite1h = 0;  // one-hour cache writes: twice the input rate
    bool operator==(const AnthropicTokens&) const = default;
};

namespace UsagePricing {
// The cost formula of the nested counts. `input` includes `cached` (as OpenAI, Codex, Gemini and
// Grok all report it), so the cached part is priced once, at the cached rate, and only the rest at
// the input rate. `output` includes any reasoning or thinking tokens. Negative counts count 0; a
// cached count above the input count is taken as all of the input.
double cost(const TokenRates& rates, std::int64_t input, std::int64_t cached, std::int64_t output);

// OpenAI and Codex models; 0 for an unknown model.
double openAICost(const QString& model, std::int64_t input, std::int64_t cached,
                  std::int64_t output);
// Gemini models: thinking tokens are billed at the output rate, on top of `output`.
double geminiCost(const QString& model, std::int64_t input, std::int64_t cached,
                  std::int64_t output, std::int64_t thoughts);
// Grok command-line models after the grok-composer / grok-build / grok-code aliases.
double grokCost(const QString& model, std::int64_t input, std::int64_t cached, std::int64_t output);

// Negative counts count 0.
double anthropicCost(const AnthropicModelPrice& price, const AnthropicTokens& tokens);
// 0 for a model the Anthropic table does not know.
double anthropicCost(const QString& model, const AnthropicTokens& tokens);
}  // namespace UsagePricing

}  // namespace qm
