#include "core/Pricing.h"

#include <algorithm>
#include <array>

namespace qm {
namespace {

const std::array<AnthropicModelPrice, 7>& anthropicRows() {
    static const std::array<AnthropicModelPrice, 7> rows{{
        {"claude-opus-4-5", "Claude Opus 4.5", 15, 75, 18.75, 1.5},
        {"claude-sonnet-4-5", "Claude Sonnet 4.5", 3, 15, 3.75, 0.3},
        {"claude-haiku-4-5", "Claude Haiku 4.5", 1, 5, 1.25, 0.1},
        {"claude-3-7-sonnet", "Claude 3.7 Sonnet", 3, 15, 3.75, 0.3},
        {"claude-3-5-sonnet", "Claude 3.5 Sonnet", 3, 15, 3.75, 0.3},
        {"claude-3-5-haiku", "Claude 3.5 Haiku", 0.8, 4, 1, 0.08},
        {"claude-3-opus", "Claude 3 Opus", 15, 75, 18.75, 1.5},
    }};
    return rows;
}

const std::array<OpenAiModelPrice, 13>& openAiRows() {
    static const std::array<OpenAiModelPrice, 13> rows{{
        {"gpt-5.5", "GPT-5.5", 5, 15, 0.5},
        {"gpt-5", "GPT-5", 5, 15, 0.5},
        {"gpt-5-mini", "GPT-5 mini", 0.15, 0.6, 0.015},
        {"gpt-5-nano", "GPT-5 nano", 0.05, 0.4, 0.005},
        {"gpt-4.1", "GPT-4.1", 2, 8, 0.5},
        {"gpt-4.1-mini", "GPT-4.1 mini", 0.4, 1.6, 0.1},
        {"gpt-4o", "GPT-4o", 2.5, 10, 1.25},
        {"gpt-4o-mini", "GPT-4o mini", 0.15, 0.6, 0.075},
        {"o3", "o3", 15, 60, 7.5},
        {"o3-mini", "o3-mini", 1.1, 4.4, 0.55},
        {"o4-mini", "o4-mini", 1.1, 4.4, 0.275},
        {"text-embedding-3-large", "text-embedding-3-large", 0.13, 0, 0},
        {"text-embedding-3-small", "text-embedding-3-small", 0.02, 0, 0},
    }};
    return rows;
}

const std::array<GeminiModelPrice, 4>& geminiRows() {
    static const std::array<GeminiModelPrice, 4> rows{{
        {"gemini-2.5-pro", "Gemini 2.5 Pro", 1.25, 10, 0.31},
        {"gemini-2.5-flash", "Gemini 2.5 Flash", 0.3, 2.5, 0.075},
        {"gemini-2.5-flash-lite", "Gemini 2.5 Flash-Lite", 0.1, 0.4, 0.025},
        {"gemini-2.0-flash", "Gemini 2.0 Flash", 0.1, 0.4, 0.025},
    }};
    return rows;
}

struct GrokRate {
    const char* prefix;
    double input;
    double output;
};

constexpr std::array<GrokRate, 10> kGrokRates{{
    {"grok-4", 5, 15},
    {"grok-4-fast", 0.2, 0.5},
    {"grok-composer-2.5-fast", 0.2, 0.5},
    {"grok-build", 0.2, 0.5},
    {"grok-code-fast-1", 0.2, 0.5},
    {"grok-3", 3, 15},
    {"grok-3-mini", 0.3, 0.5},
    {"grok-2", 2, 10},
    {"grok-2-vision", 2, 10},
    {"grok-beta", 5, 15},
}};

// Index of the exact row, else of the first row (table order) whose id prefixes `lower`.
template <typename Rows, typename IdOf>
std::optional<std::size_t> firstPrefixMatch(const Rows& rows, const QString& lower, IdOf idOf) {
    if (lower.isEmpty()) return std::nullopt;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (idOf(rows[i]).toLower() == lower) return i;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (lower.startsWith(idOf(rows[i]).toLower())) return i;
    }
    return std::nullopt;
}

}  // namespace

namespace AnthropicPricing {
std::span<const AnthropicModelPrice> models() {
    return anthropicRows();
}

std::optional<AnthropicModelPrice> find(const QString& modelId) {
    const QString lower = modelId.toLower();
    if (lower.isEmpty()) return std::nullopt;
    const auto& rows = anthropicRows();
    for (const auto& row : rows) {
        if (row.modelId.toLower() == lower) return row;
    }
    const AnthropicModelPrice* best = nullptr;
    for (const auto& row : rows) {
        if (lower.startsWith(row.modelId.toLower()) &&
            (!best || row.modelId.size() > best->modelId.size())) {
            best = &row;
        }
    }
    if (!best) return std::nullopt;
    return *best;
}
}  // namespace AnthropicPricing

namespace OpenAiPricing {
std::span<const OpenAiModelPrice> models() {
    return openAiRows();
}

std::optional<OpenAiModelPrice> find(const QString& modelId) {
    const auto& rows = openAiRows();
    auto index = firstPrefixMatch(rows, modelId.toLower(), [](const auto& r) { return r.modelId; });
    if (!index) return std::nullopt;
    return rows[*index];
}
}  // namespace OpenAiPricing

namespace GeminiPricing {
std::span<const GeminiModelPrice> models() {
    return geminiRows();
}

std::optional<GeminiModelPrice> find(const QString& modelId) {
    const auto& rows = geminiRows();
    auto index = firstPrefixMatch(rows, modelId.toLower(), [](const auto& r) { return r.modelId; });
    if (!index) return std::nullopt;
    return rows[*index];
}
}  // namespace GeminiPricing

namespace UsagePricing {

double openAICost(const QString& model, std::int64_t input, std::int64_t output,
                  std::int64_t cached) {
    // The Codex rates are the first eleven rows of the OpenAI table (the embedding rows are
    // not Codex models).
    const auto& all = openAiRows();
    const std::span<const OpenAiModelPrice> rows(all.data(), 11);
    auto index = firstPrefixMatch(rows, model.toLower(), [](const auto& r) { return r.modelId; });
    if (!index) return 0;
    const auto& row = rows[*index];
    return double(input) / 1e6 * row.inputPricePerMTok +
           double(output) / 1e6 * row.outputPricePerMTok +
           double(cached) / 1e6 * row.cachedInputPricePerMTok;
}

double grokCost(const QString& model, std::int64_t input, std::int64_t output) {
    QString lower = model.toLower();
    if (lower.startsWith(QLatin1String("grok-composer"))) {
        lower = QStringLiteral("grok-composer-2.5-fast");
    } else if (lower.startsWith(QLatin1String("grok-build"))) {
        lower = QStringLiteral("grok-build");
    } else if (lower.startsWith(QLatin1String("grok-code"))) {
        lower = QStringLiteral("grok-code-fast-1");
    }
    auto index = firstPrefixMatch(kGrokRates, lower,
                                  [](const GrokRate& r) { return QString::fromLatin1(r.prefix); });
    if (!index) return 0;
    const auto& row = kGrokRates[*index];
    return double(std::max<std::int64_t>(input, 0)) / 1e6 * row.input +
           double(std::max<std::int64_t>(output, 0)) / 1e6 * row.output;
}

}  // namespace UsagePricing
}  // namespace qm
