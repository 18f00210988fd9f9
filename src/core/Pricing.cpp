#include "core/Pricing.h"

#include <algorithm>
#include <array>
#include <limits>

namespace qm {
namespace {

// Anthropic list prices (anthropic.com/pricing, as published up to late 2025).
const std::array<AnthropicModelPrice, 10>& anthropicRows() {
    static const std::array<AnthropicModelPrice, 10> rows{{
        {"claude-opus-4-5", "Claude Opus 4.5", 15, 75, 18.75, 1.5},
        {"claude-sonnet-4-5", "Claude Sonnet 4.5", 3, 15, 3.75, 0.3},
        {"claude-haiku-4-5", "Claude Haiku 4.5", 1, 5, 1.25, 0.1},
        // anthropic.com/pricing, May to August 2025 (Claude 4 and Opus 4.1, which coding agents
        // still run): without these rows their dated ids would find no price at all.
        {"claude-opus-4-1", "Claude Opus 4.1", 15, 75, 18.75, 1.5},
        {"claude-opus-4", "Claude Opus 4", 15, 75, 18.75, 1.5},
        {"claude-sonnet-4", "Claude Sonnet 4", 3, 15, 3.75, 0.3},
        {"claude-3-7-sonnet", "Claude 3.7 Sonnet", 3, 15, 3.75, 0.3},
        {"claude-3-5-sonnet", "Claude 3.5 Sonnet", 3, 15, 3.75, 0.3},
        {"claude-3-5-haiku", "Claude 3.5 Haiku", 0.8, 4, 1, 0.08},
        {"claude-3-opus", "Claude 3 Opus", 15, 75, 18.75, 1.5},
    }};
    return rows;
}

// Rows the OpenAI admin usage and the Codex logs are priced by.
const std::array<OpenAiModelPrice, 24>& openAiRows() {
    static const std::array<OpenAiModelPrice, 24> rows{{
        // No published price known to us yet; the row keeps the figures it was given.
        {"gpt-5.5", "GPT-5.5", 5, 15, 0.5},
        // platform.openai.com/docs/pricing, December 2025 (GPT-5.2 launch prices).
        {"gpt-5.2", "GPT-5.2", 1.75, 14, 0.175},
        {"gpt-5.2-codex", "GPT-5.2-Codex", 1.75, 14, 0.175},
        // platform.openai.com/docs/pricing, November 2025 (GPT-5.1 family).
        {"gpt-5.1", "GPT-5.1", 1.25, 10, 0.125},
        {"gpt-5.1-codex", "GPT-5.1-Codex", 1.25, 10, 0.125},
        {"gpt-5.1-codex-max", "GPT-5.1-Codex-Max", 1.25, 10, 0.125},
        {"gpt-5.1-codex-mini", "GPT-5.1-Codex-Mini", 0.25, 2, 0.025},
        // platform.openai.com/docs/pricing, August to September 2025 (GPT-5 family and
        // gpt-5-codex).
        {"gpt-5", "GPT-5", 1.25, 10, 0.125},
        {"gpt-5-codex", "GPT-5-Codex", 1.25, 10, 0.125},
        {"gpt-5-mini", "GPT-5 mini", 0.25, 2, 0.025},
        {"gpt-5-nano", "GPT-5 nano", 0.05, 0.4, 0.005},
        {"gpt-5-pro", "GPT-5 pro", 15, 120, 15},
        {"codex-mini", "codex-mini", 1.5, 6, 0.375},
        // platform.openai.com/docs/pricing, April to June 2025 (GPT-4.1, o3 after the June
        // 2025 price cut, o3-mini, o4-mini); GPT-4o family as of 2024.
        {"gpt-4.1", "GPT-4.1", 2, 8, 0.5},
        {"gpt-4.1-mini", "GPT-4.1 mini", 0.4, 1.6, 0.1},
        {"gpt-4.1-nano", "GPT-4.1 nano", 0.1, 0.4, 0.025},
        {"gpt-4o", "GPT-4o", 2.5, 10, 1.25},
        {"gpt-4o-mini", "GPT-4o mini", 0.15, 0.6, 0.075},
        {"o3", "o3", 2, 8, 0.5},
        {"o3-mini", "o3-mini", 1.1, 4.4, 0.55},
        {"o4-mini", "o4-mini", 1.1, 4.4, 0.275},
        {"o1", "o1", 15, 60, 7.5},
        // Embeddings (platform.openai.com/docs/pricing, 2024): input only.
        {"text-embedding-3-large", "text-embedding-3-large", 0.13, 0, 0},
        {"text-embedding-3-small", "text-embedding-3-small", 0.02, 0, 0},
    }};
    return rows;
}

const std::array<GeminiModelPrice, 7>& geminiRows() {
    static const std::array<GeminiModelPrice, 7> rows{{
        // ai.google.dev/gemini-api/docs/pricing, November to December 2025 (Gemini 3
        // previews, prompts up to 200k tokens).
        {"gemini-3-pro", "Gemini 3 Pro", 2, 12, 0.2},
        {"gemini-3-flash", "Gemini 3 Flash", 0.5, 3, 0.05},
        // ai.google.dev/gemini-api/docs/pricing, June to July 2025 (Gemini 2.5 general
        // availability, prompts up to 200k tokens) and Gemini 2.0 Flash as of early 2025.
        {"gemini-2.5-pro", "Gemini 2.5 Pro", 1.25, 10, 0.31},
        {"gemini-2.5-flash", "Gemini 2.5 Flash", 0.3, 2.5, 0.075},
        {"gemini-2.5-flash-lite", "Gemini 2.5 Flash-Lite", 0.1, 0.4, 0.025},
        {"gemini-2.0-flash", "Gemini 2.0 Flash", 0.1, 0.4, 0.025},
        {"gemini-2.0-flash-lite", "Gemini 2.0 Flash-Lite", 0.075, 0.3, 0.01875},
    }};
    return rows;
}

struct GrokRate {
    const char* prefix;
    TokenRates rates;
};

constexpr std::array<GrokRate, 10> kGrokRates{{
    // docs.x.ai/docs/models, August to September 2025 (grok-4-0709, grok-4-fast,
    // grok-code-fast-1 with their cached-input rates).
    {"grok-4", {3, 0.75, 15}},
    {"grok-4-fast", {0.2, 0.05, 0.5}},
    {"grok-code-fast-1", {0.2, 0.02, 1.5}},
    // No published per-token price known to us for the tool's own models; their sessions
    // usually carry the tool's own cost. The rows keep the figures they were given.
    {"grok-composer-2.5-fast", {0.2, 0.2, 0.5}},
    {"grok-build", {0.2, 0.2, 0.5}},
    // docs.x.ai/docs/models, spring 2025 (Grok 3) and late 2024 (Grok 2, grok-beta); no
    // cached rate was published for these, so cached input pays the input rate.
    {"grok-3", {3, 0.75, 15}},
    {"grok-3-mini", {0.3, 0.075, 0.5}},
    {"grok-2", {2, 2, 10}},
    {"grok-2-vision", {2, 2, 10}},
    {"grok-beta", {5, 5, 15}},
}};

// Index of the exact row, else of the longest row id that prefixes `lower` (the earlier row
// on equal length).
template <typename Rows, typename IdOf>
std::optional<std::size_t> bestMatch(const Rows& rows, const QString& lower, IdOf idOf) {
    if (lower.isEmpty()) return std::nullopt;
    std::optional<std::size_t> best;
    qsizetype bestLength = -1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const QString id = idOf(rows[i]).toLower();
        if (id == lower) return i;
        if (id.size() > bestLength && lower.startsWith(id)) {
            best = i;
            bestLength = id.size();
        }
    }
    return best;
}

template <typename Rows>
auto findRow(const Rows& rows, const QString& modelId) -> std::optional<typename Rows::value_type> {
    const auto index = bestMatch(rows, modelId.toLower(), [](const auto& r) { return r.modelId; });
    if (!index) return std::nullopt;
    return rows[*index];
}

}  // namespace

namespace AnthropicPricing {
std::span<const AnthropicModelPrice> models() {
    return anthropicRows();
}
std::optional<AnthropicModelPrice> find(const QString& modelId) {
    return findRow(anthropicRows(), modelId);
}
}  // namespace AnthropicPricing

namespace OpenAiPricing {
std::span<const OpenAiModelPrice> models() {
    return openAiRows();
}
std::optional<OpenAiModelPrice> find(const QString& modelId) {
    return findRow(openAiRows(), modelId);
}
}  // namespace OpenAiPricing

namespace GeminiPricing {
std::span<const GeminiModelPrice> models() {
    return geminiRows();
}
std::optional<GeminiModelPrice> find(const QString& modelId) {
    return findRow(geminiRows(), modelId);
}
}  // namespace GeminiPricing

namespace UsagePricing {

double cost(const TokenRates& rates, std::int64_t input, std::int64_t cached, std::int64_t output) {
    const std::int64_t all = std::max<std::int64_t>(input, 0);
    const std::int64_t fromCache = std::clamp<std::int64_t>(cached, 0, all);
    constexpr double perM = 1'000'000.0;
    return double(all - fromCache) / perM * rates.input +
           double(fromCache) / perM * rates.cachedInput +
           double(std::max<std::int64_t>(output, 0)) / perM * rates.output;
}

double openAICost(const QString& model, std::int64_t input, std::int64_t cached,
                  std::int64_t output) {
    const auto row = OpenAiPricing::find(model);
    if (!row) return 0;
    return cost({row->inputPricePerMTok, row->cachedInputPricePerMTok, row->outputPricePerMTok},
                input, cached, output);
}

double geminiCost(const QString& model, std::int64_t input, std::int64_t cached,
                  std::int64_t output, std::int64_t thoughts) {
    const auto row = GeminiPricing::find(model);
    if (!row) return 0;
    std::int64_t billedOutput = 0;
    if (__builtin_add_overflow(std::max<std::int64_t>(output, 0),
                               std::max<std::int64_t>(thoughts, 0), &billedOutput)) {
        billedOutput = std::numeric_limits<std::int64_t>::max();
    }
    return cost({row->inputPricePerMTok, row->cachePricePerMTok, row->outputPricePerMTok}, input,
                cached, billedOutput);
}

double grokCost(const QString& model, std::int64_t input, std::int64_t cached,
                std::int64_t output) {
    QString lower = model.toLower();
    if (lower.startsWith(QLatin1String("grok-composer"))) {
        lower = QStringLiteral("grok-composer-2.5-fast");
    } else if (lower.startsWith(QLatin1String("grok-build"))) {
        lower = QStringLiteral("grok-build");
    } else if (lower.startsWith(QLatin1String("grok-code"))) {
        lower = QStringLiteral("grok-code-fast-1");
    }
    const auto index = bestMatch(kGrokRates, lower,
                                 [](const GrokRate& r) { return QString::fromLatin1(r.prefix); });
    if (!index) return 0;
    return cost(kGrokRates[*index].rates, input, cached, output);
}

double anthropicCost(const AnthropicModelPrice& price, const AnthropicTokens& tokens) {
    constexpr double perM = 1'000'000.0;
    const auto count = [](std::int64_t n) { return double(std::max<std::int64_t>(n, 0)); };
    // Anthropic bills a one-hour cache write at twice the base input price.
    return count(tokens.input) / perM * price.inputPricePerMTok +
           count(tokens.output) / perM * price.outputPricePerMTok +
           count(tokens.cacheRead) / perM * price.cacheReadPricePerMTok +
           count(tokens.cacheWrite5m) / perM * price.cacheWritePricePerMTok +
           count(tokens.cacheWrite1h) / perM * (2 * price.inputPricePerMTok);
}

double anthropicCost(const QString& model, const AnthropicTokens& tokens) {
    const auto row = AnthropicPricing::find(model);
    return row ? anthropicCost(*row, tokens) : 0;
}

}  // namespace UsagePricing
}  // namespace qm
