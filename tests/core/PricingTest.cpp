#include <gtest/gtest.h>

#include "core/Pricing.h"
#include "support/QtPrinters.h"

using namespace qm;

TEST(Pricing, EveryTableTakesTheExactThenTheLongestPrefix) {
    EXPECT_EQ(AnthropicPricing::find("Claude-Opus-4-5")->modelId, "claude-opus-4-5");
    EXPECT_EQ(AnthropicPricing::find("claude-3-5-haiku-latest")->modelId, "claude-3-5-haiku");
    EXPECT_FALSE(AnthropicPricing::find("claude-2.1"));
    EXPECT_FALSE(AnthropicPricing::find(""));

    // Dated and suffixed names find their own row, not a shorter one listed earlier.
    EXPECT_EQ(OpenAiPricing::find("gpt-5-mini-2025-08-07")->modelId, "gpt-5-mini");
    EXPECT_EQ(OpenAiPricing::find("gpt-4o-mini-2024-07-18")->modelId, "gpt-4o-mini");
    EXPECT_EQ(OpenAiPricing::find("gpt-5-codex")->modelId, "gpt-5-codex");
    EXPECT_EQ(OpenAiPricing::find("gpt-5.1-codex-mini")->modelId, "gpt-5.1-codex-mini");
    EXPECT_EQ(OpenAiPricing::find("gpt-5.1-codex-max-xhigh")->modelId, "gpt-5.1-codex-max");
    EXPECT_EQ(OpenAiPricing::find("gpt-5.5-pro")->modelId, "gpt-5.5");
    // A newer point release without its own row falls back to its family.
    EXPECT_EQ(OpenAiPricing::find("gpt-5.3-codex")->modelId, "gpt-5");
    EXPECT_EQ(OpenAiPricing::find("o3-mini-high")->modelId, "o3-mini");
    EXPECT_EQ(OpenAiPricing::find("TEXT-EMBEDDING-3-SMALL")->inputPricePerMTok, 0.02);
    EXPECT_FALSE(OpenAiPricing::find(""));
    EXPECT_EQ(GeminiPricing::find("gemini-2.5-flash-lite-preview")->modelId,
              "gemini-2.5-flash-lite");
    EXPECT_EQ(GeminiPricing::find("gemini-2.5-flash-preview-09-2025")->modelId, "gemini-2.5-flash");
    EXPECT_EQ(GeminiPricing::find("gemini-3-pro-preview")->modelId, "gemini-3-pro");
    EXPECT_FALSE(GeminiPricing::find("gemini-1.5-pro"));
}

TEST(Pricing, CachedInputIsPricedOnceAndThinkingAsOutput) {
    // gpt-5-codex, 1.25 / 0.125 cached / 10 $ per million: of 1 000 000 input tokens 500 000
    // came from the cache: 0.5 x 1.25 + 0.5 x 0.125 + 0.1 x 10 = 0.625 + 0.0625 + 1 = 1.6875.
    EXPECT_DOUBLE_EQ(UsagePricing::openAICost("gpt-5-codex", 1'000'000, 500'000, 100'000), 1.6875);
    // gpt-5-mini dated, 0.25 / 0.025 / 2: 1 x 0.25 = 0.25.
    EXPECT_DOUBLE_EQ(UsagePricing::openAICost("GPT-5-mini-2025-08-07", 1'000'000, 0, 0), 0.25);
    EXPECT_DOUBLE_EQ(UsagePricing::openAICost("unknown", 1'000'000, 0, 1'000'000), 0);
    // A cached count above the input is all of the input: 1 x 0.125 = 0.125.
    EXPECT_DOUBLE_EQ(UsagePricing::openAICost("gpt-5", 1'000'000, 3'000'000, 0), 0.125);
    EXPECT_DOUBLE_EQ(UsagePricing::openAICost("gpt-5", -5, -5, -5), 0);

    // gemini-2.5-pro, 1.25 / 0.31 / 10: 0.8 x 1.25 + 0.2 x 0.31 + (0.1 + 0.05) x 10
    // = 1 + 0.062 + 1.5 = 2.562.
    EXPECT_DOUBLE_EQ(
        UsagePricing::geminiCost("gemini-2.5-pro", 1'000'000, 200'000, 100'000, 50'000), 2.562);
    EXPECT_DOUBLE_EQ(UsagePricing::geminiCost("gemini-1.0", 1'000'000, 0, 0, 0), 0);

    // grok-code-fast-1, 0.2 / 0.02 / 1.5: 0.5 x 0.2 + 0.5 x 0.02 + 1 x 1.5 = 0.1 + 0.01 + 1.5.
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("grok-code-fast-2", 1'000'000, 500'000, 1'000'000),
                     1.61);
    // grok-4-fast (longest prefix, not grok-4), 0.2 / 0.05 / 0.5: 0.2 + 0.5 = 0.7.
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("grok-4-fast-reasoning", 1'000'000, 0, 1'000'000), 0.7);
    // grok-4-0709, 3 / 0.75 / 15.
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("grok-4-0709", 1'000'000, 0, 1'000'000), 18);
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("Grok-Composer-1", 1'000'000, 0, 0), 0.2);
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("llama", 1'000'000, 0, 1'000'000), 0);
}

TEST(Pricing, AnthropicPricesEveryCacheCategoryAtItsOwnRate) {
    // Sonnet 4.5: input 3, output 15, five-minute write 3.75, one-hour write 6, read 0.3.
    const AnthropicTokens tokens{.input = 1'000'000,
                                 .output = 100'000,
                                 .cacheRead = 2'000'000,
                                 .cacheWrite5m = 400'000,
                                 .cacheWrite1h = 500'000};
    EXPECT_NEAR(UsagePricing::anthropicCost("claude-sonnet-4-5-20250929", tokens),
                3 + 1.5 + 0.6 + 1.5 + 3, 1e-9);
    // Claude 4 ids find their own rows rather than a longer neighbour's or none.
    EXPECT_EQ(AnthropicPricing::find("claude-sonnet-4-20250514")->modelId, "claude-sonnet-4");
    EXPECT_EQ(AnthropicPricing::find("claude-opus-4-1-20250805")->modelId, "claude-opus-4-1");
    // Haiku 3.5: the one-hour write is twice its 0.8 input price, not the table's write rate.
    EXPECT_NEAR(UsagePricing::anthropicCost("claude-3-5-haiku-latest", {.cacheWrite1h = 1'000'000}),
                1.6, 1e-12);
    EXPECT_EQ(UsagePricing::anthropicCost("<synthetic>", tokens), 0);
    EXPECT_EQ(UsagePricing::anthropicCost("claude-opus-4-5", {.input = -5, .output = -1}), 0);
}
