#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "core/Pricing.h"
#include "support/TempDir.h"

using namespace qm;
using test::TempDir;

namespace {

QString rowOf(PriceProvider provider, const QString& model) {
    const auto row = PriceBook::find(provider, model);
    return row ? row->model : QStringLiteral("(unpriced)");
}

// A trimmed list with one Anthropic and one OpenAI row; `opusInput` per token.
QByteArray smallList(const QByteArray& opusInput = "5e-06") {
    return R"({
  "claude-opus-4-5": {"litellm_provider": "anthropic", "mode": "chat",
    "input_cost_per_token": )" +
           opusInput + R"(, "output_cost_per_token": 2.5e-05,
    "cache_read_input_token_cost": 5e-07, "cache_creation_input_token_cost": 6.25e-06},
  "gpt-5": {"litellm_provider": "openai", "input_cost_per_token": 1.25e-06,
    "output_cost_per_token": 1e-05, "cache_read_input_token_cost": 1.25e-07},
  "mistral-large": {"litellm_provider": "mistral", "input_cost_per_token": "free"}
})";
}

// Tests that change the table in effect put the bundled one back.
class PriceBookTest : public ::testing::Test {
protected:
    void TearDown() override { PriceBook::setCurrent(PriceBook::bundled()); }
    QString updatedPath() const { return QDir(data.path()).filePath("prices.json"); }
    TempDir data;
};

}  // namespace

TEST(Pricing, LookupIsPerProviderExactThenUndatedThenLongestPrefix) {
    using enum PriceProvider;
    EXPECT_EQ(rowOf(anthropic, "Claude-Opus-4-5"), "claude-opus-4-5");
    // A date the list does not know finds the undated row; a dated row answers to its
    // undated id and to ids that go on from it.
    EXPECT_EQ(rowOf(anthropic, "claude-opus-4-5-20260101"), "claude-opus-4-5");
    EXPECT_EQ(rowOf(anthropic, "claude-sonnet-4"), "claude-sonnet-4-20250514");
    EXPECT_EQ(rowOf(anthropic, "claude-3-7-sonnet-latest"), "claude-3-7-sonnet-20250219");
    EXPECT_EQ(rowOf(openai, "gpt-4.1-2026-01-01"), "gpt-4.1");
    // Longest prefix, on a part boundary only.
    EXPECT_EQ(rowOf(openai, "gpt-5.1-codex-max-xhigh"), "gpt-5.1-codex-max");
    EXPECT_EQ(rowOf(openai, "o3-mini-high"), "o3-mini");
    EXPECT_EQ(rowOf(openai, "gpt-5.4-mini"), "gpt-5.4-mini");
    EXPECT_EQ(rowOf(openai, "gpt-5.7"), "(unpriced)");
    EXPECT_EQ(rowOf(gemini, "gemini-2.5-flash-lite-preview-06-17"),
              "gemini-2.5-flash-lite-preview-06-17");
    EXPECT_EQ(rowOf(gemini, "gemini-3-pro-preview"), "gemini-3-pro-preview");
    EXPECT_EQ(rowOf(xai, "grok-code-fast-2"), "grok-code-fast");
    EXPECT_EQ(rowOf(xai, "grok-composer-1"), "grok-composer-2.5-fast");  // the tool's family
    EXPECT_EQ(rowOf(xai, "grok-4-fast"), "grok-4-fast");                 // kept from earlier rows
    // Each provider looks only among its own rows.
    EXPECT_EQ(rowOf(openai, "claude-opus-4-5"), "(unpriced)");
    EXPECT_EQ(rowOf(anthropic, "gpt-5"), "(unpriced)");
    EXPECT_EQ(rowOf(anthropic, "gemini-2.5-pro"), "(unpriced)");
    EXPECT_EQ(rowOf(gemini, "grok-4"), "(unpriced)");
    EXPECT_EQ(rowOf(anthropic, "claude-2.1"), "(unpriced)");
    EXPECT_EQ(rowOf(anthropic, ""), "(unpriced)");
}

TEST(Pricing, BundledListCarriesTheMaintainedPrices) {
    const QString source = QStringLiteral("bundled ") + PriceBook::bundledDate();
    EXPECT_EQ(PriceBook::bundledDate(), "2026-07-24");
    const auto opus = PriceBook::find(PriceProvider::anthropic, "claude-opus-4-5-20251101");
    ASSERT_TRUE(opus);
    EXPECT_EQ(std::tuple(opus->input, opus->output, *opus->cacheRead, *opus->cacheWrite),
              std::tuple(5.0, 25.0, 0.5, 6.25));
    EXPECT_EQ(opus->source, source);
    EXPECT_EQ(PriceBook::find(PriceProvider::openai, "gpt-5.5")->output, 30);
    EXPECT_EQ(PriceBook::find(PriceProvider::openai, "gpt-5.4-mini")->input, 0.75);
    EXPECT_EQ(PriceBook::find(PriceProvider::openai, "gpt-5-mini")->input, 0.25);
    // Rows the list lacks keep their earlier price and say so.
    const auto haiku = PriceBook::find(PriceProvider::anthropic, "claude-3-5-haiku-latest");
    ASSERT_TRUE(haiku);
    EXPECT_EQ(haiku->input, 0.8);
    EXPECT_EQ(haiku->source, "built-in");
    // Every built-in row is within the bounds an update must meet, and survives a round trip.
    const auto again = PriceTable::parse(PriceBook::bundled().toJson("2026-07-24"),
                                         QStringLiteral("built-in"), nullptr);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->rows().size(), PriceBook::bundled().rows().size());
}

TEST(Pricing, LongContextRatesApplyToOneCallAbove200kInputTokens) {
    // Sonnet 4.5: 3 / 15 / read 0.3 per million; above 200k input: 6 / 22.5 / read 0.6.
    const auto sonnet = *PriceBook::find(PriceProvider::anthropic, "claude-sonnet-4-5");
    const TokenCounts at{.input = 100'000, .cacheRead = 100'000, .output = 10'000};
    TokenCounts above = at;
    above.input = 100'001;
    EXPECT_NEAR(UsagePricing::cost(sonnet, at, CountSpan::oneCall), 0.3 + 0.03 + 0.15, 1e-12);
    EXPECT_NEAR(UsagePricing::cost(sonnet, above, CountSpan::oneCall), 0.100001 * 6 + 0.06 + 0.225,
                1e-12);
    // Summed counts say nothing about one prompt's size: base rates.
    EXPECT_NEAR(UsagePricing::cost(sonnet, above, CountSpan::manyCalls), 0.100001 * 3 + 0.03 + 0.15,
                1e-12);
    // A one-hour write keeps twice the input rate, long-context or not.
    EXPECT_NEAR(UsagePricing::cost(sonnet, {.cacheWrite1h = 300'000}, CountSpan::oneCall), 0.3 * 12,
                1e-12);
    // Gemini 2.5 Pro: 1.25 / 10 / cache 0.125; above 200k: 2.5 / 15 / 0.25. Thinking at output.
    EXPECT_NEAR(UsagePricing::geminiCost("gemini-2.5-pro", 200'000, 50'000, 1'000, 1'000),
                0.15 * 1.25 + 0.05 * 0.125 + 0.002 * 10, 1e-12);
    EXPECT_NEAR(UsagePricing::geminiCost("gemini-2.5-pro", 200'001, 50'000, 1'000, 1'000),
                0.150001 * 2.5 + 0.05 * 0.25 + 0.002 * 15, 1e-12);
    // Opus 4.5 has no tier: the same rate at any size.
    EXPECT_NEAR(UsagePricing::anthropicCost("claude-opus-4-5", {.input = 1'000'000}), 5, 1e-12);
}

TEST(Pricing, NestedCountsPriceCachedInputOnce) {
    // gpt-5-codex 1.25 / 10 / cached 0.125: half the input from the cache.
    EXPECT_DOUBLE_EQ(UsagePricing::openAiCost("gpt-5-codex", 1'000'000, 500'000, 100'000),
                     0.625 + 0.0625 + 1);
    EXPECT_DOUBLE_EQ(UsagePricing::openAiCost("gpt-5", 1'000'000, 3'000'000, 0), 0.125);
    EXPECT_DOUBLE_EQ(UsagePricing::openAiCost("gpt-5", -5, -5, -5), 0);
    // grok-code-fast-1 0.2 / 1.5 / cached 0.02; grok-4 has no cached rate: cached pays input.
    EXPECT_NEAR(UsagePricing::grokCost("grok-code-fast-2", 1'000'000, 500'000, 1'000'000),
                0.1 + 0.01 + 1.5, 1e-12);
    EXPECT_NEAR(UsagePricing::grokCost("grok-4-0709", 1'000'000, 500'000, 1'000'000), 18, 1e-12);
    EXPECT_NEAR(UsagePricing::grokCost("Grok-Composer-1", 1'000'000, 0, 0), 0.2, 1e-12);
}

TEST(Pricing, AModelWithoutAPriceIsUnpricedNotFree) {
    EXPECT_FALSE(UsagePricing::cost(PriceProvider::anthropic, "claude-custom-7", {.input = 1'000},
                                    CountSpan::oneCall));
    ProviderUsage usage;
    usage.kind = ProviderKind::grok;
    const auto model = [](const char* name, std::int64_t input, std::int64_t output,
                          std::int64_t cached, double cost) {
        ModelUsage m;
        m.model = name;
        m.inputTokens = input;
        m.outputTokens = output;
        m.cachedTokens = cached;
        m.cost = cost;
        return m;
    };
    usage.models = {
        model("grok-4", 10, 0, 0, 0.5),
        model("grok-private", 10, 0, 0, 0),
        model("grok-private", 0, 3, 0, 0),
        model("grok-idle", 0, 0, 0, 0),          // no tokens: no cost is missing
        model("grok-own-cost", 10, 0, 0, 0.01),  // the tool priced it itself
        model("another", 0, 0, 7, 0),
    };
    UsagePricing::noteUnpricedModels(usage);
    EXPECT_EQ(usage.unpricedModels, QStringList({"another", "grok-private"}));
    EXPECT_EQ(UsagePricing::unpricedText(2), "2 models unpriced");
    EXPECT_EQ(UsagePricing::unpricedText(1), "1 model unpriced");
    EXPECT_EQ(UsagePricing::unpricedText(0), "");
}

TEST_F(PriceBookTest, AnUpdateReplacesTheBundledRowsAndAnOverrideWins) {
    const QString full = data.write("full.json", smallList());
    QFile file(full);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto result = PriceBook::install(file.readAll(), data.path(), "2026-12-07");
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.rows, 2);  // the Mistral row is not kept, nor checked
    EXPECT_EQ(PriceTable::snapshotDate(test::readAll(updatedPath())), "2026-12-07");
    const auto opus = PriceBook::find(PriceProvider::anthropic, "claude-opus-4-5");
    EXPECT_EQ(opus->source, "updated 2026-12-07");
    // The update replaces the bundled list; rows kept from earlier tables stay.
    EXPECT_FALSE(PriceBook::find(PriceProvider::openai, "gpt-4o"));
    EXPECT_TRUE(PriceBook::find(PriceProvider::anthropic, "claude-3-5-sonnet"));

    data.write("prices-override.json", R"({
      "claude-opus-4-5": {"litellm_provider": "anthropic", "input_cost_per_token": 1e-06,
                          "output_cost_per_token": 2e-06},
      "my-fine-tune": {"litellm_provider": "openai", "input_cost_per_token": 4e-06,
                       "output_cost_per_token": 8e-06}})");
    EXPECT_TRUE(PriceBook::use(data.path()).isEmpty());
    EXPECT_EQ(PriceBook::find(PriceProvider::anthropic, "claude-opus-4-5-20251101")->input, 1);
    EXPECT_EQ(PriceBook::find(PriceProvider::openai, "my-fine-tune")->source, "override");
    EXPECT_EQ(PriceBook::find(PriceProvider::openai, "gpt-5")->source, "updated 2026-12-07");

    // A broken override is skipped, with the reason, and the rest still holds.
    data.write("prices-override.json", "{\"claude-opus-4-5\": ");
    const QStringList warnings = PriceBook::use(data.path());
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].contains("prices-override.json")) << warnings[0].toStdString();
    EXPECT_EQ(PriceBook::find(PriceProvider::anthropic, "claude-opus-4-5")->input, 5);
}

TEST_F(PriceBookTest, AHostileListChangesNothing) {
    ASSERT_TRUE(PriceBook::install(smallList(), data.path(), "2026-12-01").ok);
    const QByteArray kept = test::readAll(updatedPath());
    const auto before = PriceBook::current();
    const std::pair<const char*, QByteArray> hostile[] = {
        {"negative", smallList("-5e-06")},
        {"NaN", smallList("NaN")},
        {"infinite", smallList("1e999")},
        {"a billion", smallList("1e9")},
        {"above $1000 per million", smallList("0.0011")},
        {"a string", smallList("\"5e-06\"")},
        {"null", smallList("null")},
        {"truncated", smallList().left(120)},
        {"not an object", "[1, 2, 3]"},
        {"no provider of ours", R"({"m": {"litellm_provider": "mistral",
                                         "input_cost_per_token": 1e-06}})"},
        {"empty", ""},
    };
    for (const auto& [name, json] : hostile) {
        const auto result = PriceBook::install(json, data.path(), "2026-12-07");
        EXPECT_FALSE(result.ok) << name;
        EXPECT_FALSE(result.error.isEmpty()) << name;
        EXPECT_EQ(test::readAll(updatedPath()), kept) << name;
        EXPECT_EQ(*PriceBook::current(), *before) << name;
    }
}

TEST_F(PriceBookTest, AnUpdateOlderThanTheBundledListIsNotUsed) {
    // The program was upgraded since: its own list is newer than the one kept.
    ASSERT_TRUE(PriceBook::install(smallList(), data.path(), "2026-01-01").ok);
    PriceBook::use(data.path());
    EXPECT_EQ(PriceBook::find(PriceProvider::openai, "gpt-5")->source,
              QStringLiteral("bundled ") + PriceBook::bundledDate());
}
