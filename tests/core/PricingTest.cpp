#include <gtest/gtest.h>

#include "core/Pricing.h"
#include "support/QtPrinters.h"

using namespace qm;

TEST(Pricing, AnthropicPrefersExactThenLongestPrefix) {
    EXPECT_EQ(AnthropicPricing::find("Claude-Opus-4-5")->modelId, "claude-opus-4-5");
    EXPECT_EQ(AnthropicPricing::find("claude-3-7-sonnet-20250219")->modelId, "claude-3-7-sonnet");
    EXPECT_EQ(AnthropicPricing::find("claude-3-5-haiku-latest")->modelId, "claude-3-5-haiku");
    EXPECT_EQ(AnthropicPricing::find("claude-sonnet-4-5-20250929")->displayName, "Claude Sonnet 4.5");
    EXPECT_FALSE(AnthropicPricing::find("claude-2.1"));
    EXPECT_FALSE(AnthropicPricing::find(""));
}

TEST(Pricing, OpenAiAndGeminiTakeFirstPrefixInTableOrder) {
    EXPECT_EQ(OpenAiPricing::find("gpt-5-mini")->modelId, "gpt-5-mini");
    // The first prefix wins, not the longest: a dated mini model falls to its parent row.
    EXPECT_EQ(OpenAiPricing::find("gpt-5-mini-2025-08-07")->modelId, "gpt-5");
    EXPECT_EQ(OpenAiPricing::find("gpt-4o-mini-2024-07-18")->modelId, "gpt-4o");
    EXPECT_EQ(OpenAiPricing::find("gpt-5.5-pro")->modelId, "gpt-5.5");
    EXPECT_EQ(OpenAiPricing::find("TEXT-EMBEDDING-3-SMALL")->inputPricePerMTok, 0.02);
    EXPECT_FALSE(OpenAiPricing::find(""));
    EXPECT_EQ(GeminiPricing::find("gemini-2.5-flash-lite-preview")->modelId, "gemini-2.5-flash");
    EXPECT_EQ(GeminiPricing::find("gemini-2.5-flash-lite")->modelId, "gemini-2.5-flash-lite");
    EXPECT_FALSE(GeminiPricing::find("gemini-1.5-pro"));
}

TEST(Pricing, CliCostFormulas) {
    EXPECT_DOUBLE_EQ(UsagePricing::openAICost("gpt-5-codex", 1000000, 100000, 500000), 6.75);
    EXPECT_DOUBLE_EQ(UsagePricing::openAICost("GPT-5-mini", 1000000, 0, 0), 0.15);
    // The embedding rows are not Codex rates.
    EXPECT_DOUBLE_EQ(UsagePricing::openAICost("text-embedding-3-large", 1000000, 0, 0), 0);
    EXPECT_DOUBLE_EQ(UsagePricing::openAICost("unknown", 1000000, 1000000, 1000000), 0);

    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("grok-code-fast-2", 1000000, 1000000), 0.7);
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("grok-4-fast", 1000000, 1000000), 0.7);
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("grok-4-0709", 1000000, 1000000), 20);
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("grok-3-mini", 1000000, 0), 0.3);
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("Grok-Composer-1", 1000000, 0), 0.2);
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("grok-4", -5, 1000000), 15);
    EXPECT_DOUBLE_EQ(UsagePricing::grokCost("llama", 1000000, 1000000), 0);
}
