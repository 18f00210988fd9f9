#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <span>

// Built-in list prices, US dollars per 1 000 000 tokens. Costs shown anywhere are estimates
// from these tables; nothing is read from a file or the network.
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

namespace AnthropicPricing {
std::span<const AnthropicModelPrice> models();
// Exact match first, then the longest row id that prefixes the model (case-insensitive).
std::optional<AnthropicModelPrice> find(const QString& modelId);
}  // namespace AnthropicPricing

namespace OpenAiPricing {
std::span<const OpenAiModelPrice> models();
// Exact match first, then the first row in table order that prefixes the model.
std::optional<OpenAiModelPrice> find(const QString& modelId);
}  // namespace OpenAiPricing

namespace GeminiPricing {
std::span<const GeminiModelPrice> models();
// Same rule as OpenAiPricing::find.
std::optional<GeminiModelPrice> find(const QString& modelId);
}  // namespace GeminiPricing

namespace UsagePricing {
// Codex rollout rates; cached tokens are priced on top of the input tokens.
double openAICost(const QString& model, std::int64_t input, std::int64_t output,
                  std::int64_t cached);
// Grok CLI rates after the grok-composer / grok-build / grok-code aliases; negatives count 0.
double grokCost(const QString& model, std::int64_t input, std::int64_t output);
}  // namespace UsagePricing

}  // namespace qm
