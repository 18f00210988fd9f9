#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <future>

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

// The cost formulas' tests price with these rows, whatever the bundled list says today.
class FixedPrices : public ::testing::Test {
protected:
    void SetUp() override {
        QString error;
        const auto table = PriceTable::parse(R"({
  "claude-sonnet-4-5": {"litellm_provider": "anthropic", "input_cost_per_token": 3e-06,
    "output_cost_per_token": 1.5e-05, "cache_read_input_token_cost": 3e-07,
    "cache_creation_input_token_cost": 3.75e-06,
    "input_cost_per_token_above_200k_tokens": 6e-06,
    "output_cost_per_token_above_200k_tokens": 2.25e-05,
    "cache_read_input_token_cost_above_200k_tokens": 6e-07},
  "claude-opus-4-5": {"litellm_provider": "anthropic", "input_cost_per_token": 5e-06,
    "output_cost_per_token": 2.5e-05},
  "gemini-2.5-pro": {"litellm_provider": "gemini", "input_cost_per_token": 1.25e-06,
    "output_cost_per_token": 1e-05, "cache_read_input_token_cost": 1.25e-07,
    "input_cost_per_token_above_200k_tokens": 2.5e-06,
    "output_cost_per_token_above_200k_tokens": 1.5e-05,
    "cache_read_input_token_cost_above_200k_tokens": 2.5e-07},
  "gpt-5": {"litellm_provider": "openai", "input_cost_per_token": 1.25e-06,
    "output_cost_per_token": 1e-05, "cache_read_input_token_cost": 1.25e-07},
  "gpt-5-codex": {"litellm_provider": "openai", "input_cost_per_token": 1.25e-06,
    "output_cost_per_token": 1e-05, "cache_read_input_token_cost": 1.25e-07},
  "grok-code-fast-1": {"litellm_provider": "xai", "input_cost_per_token": 2e-07,
    "output_cost_per_token": 1.5e-06, "cache_read_input_token_cost": 2e-08},
  "grok-4-0709": {"litellm_provider": "xai", "input_cost_per_token": 3e-06,
    "output_cost_per_token": 1.5e-05},
  "grok-composer-2.5-fast": {"litellm_provider": "xai", "input_cost_per_token": 2e-07,
    "output_cost_per_token": 5e-07}
})",
                                             "fixed", &error);
        ASSERT_TRUE(table) << error.toStdString();
        PriceBook::setCurrent(*table);
    }
    void TearDown() override { PriceBook::setCurrent(PriceBook::bundled()); }
};

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

// The same rules on a table of the test's own, where the ties are known.
TEST(Pricing, LookupTiesGoToTheUndatedRowThenTheNewestDatedOne) {
    const auto row = [](const char* provider) {
        return QStringLiteral(R"({"litellm_provider": "%1", "input_cost_per_token": 1e-06})")
            .arg(provider);
    };
    QStringList entries;
    for (const char* id : {"a-1", "a-1-20240101", "a-1-20250101", "b-2-20240101", "b-2-2025-01-01",
                           "c-3", "c-3-mini", "c-3-mini-20250101"}) {
        entries.append(QStringLiteral("\"%1\": %2").arg(id, row("openai")));
    }
    entries.append(QStringLiteral("\"d-4\": %1").arg(row("xai")));
    const auto table = PriceTable::parse(("{" + entries.join(",") + "}").toUtf8(), "test", nullptr);
    ASSERT_TRUE(table);
    const auto of = [&](const char* model, PriceProvider provider = PriceProvider::openai) {
        const auto found = table->find(provider, model);
        return found ? found->model : QStringLiteral("(unpriced)");
    };
    EXPECT_EQ(of("A-1"), "a-1");
    EXPECT_EQ(of("a-1-20990101"), "a-1");  // an unknown date: the undated row
    EXPECT_EQ(of("a-1-20240101"), "a-1-20240101");
    EXPECT_EQ(of("b-2"), "b-2-2025-01-01");  // no undated row: the newest dated one
    EXPECT_EQ(of("b-2-20990101"), "b-2-2025-01-01");
    EXPECT_EQ(of("b-2-20240101-high"), "b-2-20240101");
    EXPECT_EQ(of("b-2-high"), "b-2-20240101");  // a prefix takes the first row that names it
    EXPECT_EQ(of("c-3-mini-high"), "c-3-mini");
    EXPECT_EQ(of("c-3-mini:latest"), "c-3-mini");
    EXPECT_EQ(of("c-3_x@2"), "c-3");
    EXPECT_EQ(of("c-3.5"), "(unpriced)");
    EXPECT_EQ(of("c"), "(unpriced)");
    EXPECT_EQ(of("d-4-fast"), "(unpriced)");
    EXPECT_EQ(of("d-4-fast", PriceProvider::xai), "d-4");
}

// What can be wrong with the list built in, whatever figures it holds.
TEST(Pricing, TheBundledListIsWhole) {
    EXPECT_TRUE(QDate::fromString(PriceBook::bundledDate(), Qt::ISODate).isValid())
        << PriceBook::bundledDate().toStdString();
    // It parses on its own, every row it declares is read, and each provider has rows.
    QFile file(":/prices/model-prices.json");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray json = file.readAll();
    QString error;
    const auto list = PriceTable::parse(json, "bundled", &error);
    ASSERT_TRUE(list) << error.toStdString();
    QFile earlier(":/prices/earlier-prices.json");
    ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));
    EXPECT_TRUE(PriceTable::parse(earlier.readAll(), "built-in", &error)) << error.toStdString();
    const int declared =
        QJsonDocument::fromJson(json).object()["_snapshot"].toObject()["models"].toInt();
    EXPECT_EQ(qsizetype(list->rows().size()), declared);
    for (PriceProvider provider : {PriceProvider::anthropic, PriceProvider::openai,
                                   PriceProvider::gemini, PriceProvider::xai}) {
        EXPECT_TRUE(std::ranges::any_of(list->rows(), [&](const ModelPrice& row) {
            return row.provider == provider;
        })) << rawValue(provider).toStdString();
    }
    // Every model the program and its tests price has a row; the xAI families by their own id.
    const std::pair<PriceProvider, const char*> named[] = {
        {PriceProvider::anthropic, "claude-opus-4-5"},
        {PriceProvider::anthropic, "claude-sonnet-4-5"},
        {PriceProvider::anthropic, "claude-haiku-4-5"},
        {PriceProvider::anthropic, "claude-opus-4-1"},
        {PriceProvider::anthropic, "claude-sonnet-4"},
        {PriceProvider::openai, "gpt-5"},
        {PriceProvider::openai, "gpt-5-mini"},
        {PriceProvider::openai, "gpt-5-codex"},
        {PriceProvider::openai, "gpt-5.5"},
        {PriceProvider::openai, "gpt-4.1"},
        {PriceProvider::openai, "gpt-4o"},
        {PriceProvider::openai, "o3-mini"},
        {PriceProvider::openai, "text-embedding-3-small"},
        {PriceProvider::gemini, "gemini-2.5-pro"},
        {PriceProvider::gemini, "gemini-2.5-flash"},
        {PriceProvider::gemini, "gemini-3-pro-preview"},
        {PriceProvider::xai, "grok-4"},
        {PriceProvider::xai, "grok-3-mini"},
    };
    for (const auto& [provider, model] : named) {
        EXPECT_TRUE(PriceBook::bundled().find(provider, model)) << model;
    }
    for (const char* family : {"grok-composer-2.5-fast", "grok-build", "grok-code-fast-1"}) {
        EXPECT_TRUE(PriceBook::bundled().exactRow(PriceProvider::xai, family)) << family;
    }
}

TEST(Pricing, EveryBuiltInRateIsAPriceAndTheTiersAreOrdered) {
    for (const ModelPrice& row : PriceBook::bundled().rows()) {
        const std::string name = row.model.toStdString();
        const auto sane = [&](std::optional<double> rate, const char* what) {
            if (!rate) return;
            EXPECT_TRUE(std::isfinite(*rate) && *rate >= 0 && *rate <= 1000) << name << " " << what;
        };
        sane(row.input, "input");
        sane(row.output, "output");
        sane(row.cacheRead, "cache read");
        sane(row.cacheWrite, "cache write");
        sane(row.cacheWrite1h, "one-hour cache write");
        sane(row.reasoning, "reasoning");
        // A cache read is a discount and a cache write a surcharge on the input rate.
        EXPECT_LE(row.cacheRead.value_or(row.input), row.input) << name;
        EXPECT_GE(row.cacheWrite.value_or(row.input), row.input) << name;
        if (!row.above200k) continue;
        // The long-context tier costs at least the base rate it replaces.
        const LongContextRates& tier = *row.above200k;
        EXPECT_GE(tier.input.value_or(row.input), row.input) << name;
        EXPECT_GE(tier.output.value_or(row.output), row.output) << name;
        if (row.cacheRead) {
            EXPECT_GE(tier.cacheRead.value_or(*row.cacheRead), *row.cacheRead) << name;
        }
        if (row.cacheWrite) {
            EXPECT_GE(tier.cacheWrite.value_or(*row.cacheWrite), *row.cacheWrite) << name;
        }
    }
    // Every built-in row is within the bounds an update must meet, and survives a round trip.
    const auto again = PriceTable::parse(PriceBook::bundled().toJson("2026-07-24"),
                                         QStringLiteral("built-in"), nullptr);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->rows().size(), PriceBook::bundled().rows().size());
}

TEST_F(FixedPrices, LongContextRatesApplyToOneCallAbove200kInputTokens) {
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

TEST_F(FixedPrices, NestedCountsPriceCachedInputOnce) {
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

TEST(Pricing, AgentsThatReachManyProvidersArePricedByTheProviderTheNamePointsTo) {
    const auto routed = [](const char* model) {
        const auto found = UsagePricing::routedModel(model);
        return found ? rawValue(found->first) + ':' + found->second : QString();
    };
    EXPECT_EQ(routed("anthropic/claude-sonnet-4-5"), "anthropic:claude-sonnet-4-5");
    EXPECT_EQ(routed("openrouter/anthropic/claude-sonnet-4.5"), "anthropic:claude-sonnet-4-5");
    EXPECT_EQ(routed("amazon-bedrock/us.anthropic.claude-sonnet-4-5-20250929-v1:0"),
              "anthropic:claude-sonnet-4-5-20250929");
    EXPECT_EQ(routed("openrouter/openai/gpt-5.1"), "openai:gpt-5.1");
    EXPECT_EQ(routed("github-copilot/gpt-5"), "openai:gpt-5");
    EXPECT_EQ(routed("google/gemini-2.5-pro"), "gemini:gemini-2.5-pro");
    EXPECT_EQ(routed("openrouter/x-ai/grok-4"), "xai:grok-4");
    EXPECT_EQ(routed("qwen3-coder-plus"), "");
    EXPECT_EQ(routed(""), "");

    ProviderUsage usage;
    usage.kind = ProviderKind::qwenCode;
    ModelUsage qwen;
    qwen.model = "qwen3-coder-plus";
    qwen.inputTokens = 10;
    ModelUsage sonnet = qwen;
    sonnet.model = "anthropic/claude-sonnet-4-5";
    usage.models = {qwen, sonnet};
    UsagePricing::noteUnpricedModels(usage);
    EXPECT_EQ(usage.unpricedModels, QStringList({"qwen3-coder-plus"}));
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
    // Forced: two rows are far fewer than the bundled list prices.
    const auto result = PriceBook::install(file.readAll(), data.path(), "2026-12-07", true);
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
    ASSERT_TRUE(PriceBook::install(smallList(), data.path(), "2026-12-01", true).ok);
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
        const auto result = PriceBook::install(json, data.path(), "2026-12-07", true);
        EXPECT_FALSE(result.ok) << name;
        EXPECT_FALSE(result.error.isEmpty()) << name;
        EXPECT_EQ(test::readAll(updatedPath()), kept) << name;
        EXPECT_EQ(*PriceBook::current(), *before) << name;
    }
}

TEST_F(PriceBookTest, AnUpdateOlderThanTheBundledListIsNotUsed) {
    // The program was upgraded since: its own list is newer than the one kept.
    ASSERT_TRUE(PriceBook::install(smallList(), data.path(), "2026-01-01", true).ok);
    PriceBook::use(data.path());
    EXPECT_EQ(PriceBook::find(PriceProvider::openai, "gpt-5")->source,
              QStringLiteral("bundled ") + PriceBook::bundledDate());
}

namespace {

// loadFrom() on another thread. Should a read block on `fifo` after all, opening the FIFO's
// other end sets it free, so the fault fails the test instead of hanging it.
PriceBook::Loaded loadWithoutHanging(const QString& dataDirectory, const QString& fifo) {
    auto loading = std::async(std::launch::async,
                              [dataDirectory] { return PriceBook::loadFrom(dataDirectory); });
    if (loading.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "reading the price lists blocked";
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    return loading.get();
}

// The bundled list as JSON, for updates that differ from it in a few rows.
QJsonObject bundledListJson() {
    QFile file(":/prices/model-prices.json");
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject();
}

QByteArray toJson(const QJsonObject& list) {
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

// A list of `count` OpenAI models "m-0" ... at $1 / $2 per million tokens.
QByteArray manyModels(int count) {
    QByteArray json = "{";
    for (int i = 0; i < count; ++i) {
        json += (i ? ",\"m-" : "\"m-") + QByteArray::number(i) +
                R"(": {"litellm_provider": "openai", "input_cost_per_token": 1e-06,)"
                R"( "output_cost_per_token": 2e-06})";
    }
    return json + "}";
}

}  // namespace

// A FIFO, a device or a directory in a list's place is refused before anything could block on
// it, as is a file past 16 MB: an override is skipped, an updated list gives way to the
// bundled one, and the warning names the file.
TEST_F(PriceBookTest, AListThatIsNotARegularFileIsSkippedWithoutBlocking) {
    const QString fifo = data.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link("/dev/zero", data.filePath("zero")));
    ASSERT_TRUE(QDir(data.path()).mkdir("folder"));
    QFile huge(data.filePath("huge"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(PriceBook::kListMaxBytes + 1));
    huge.close();
    const std::pair<const char*, const char*> cases[] = {
        {"fifo", "is a FIFO"},
        {"zero", "is a device"},
        {"folder", "is a directory"},
        {"huge", "is larger than 16 MB"},
    };
    for (const char* role : {"prices-override.json", "prices.json"}) {
        const QString path = data.filePath(role);
        for (const auto& [target, reason] : cases) {
            QFile::remove(path);
            ASSERT_TRUE(QFile::link(data.filePath(target), path));
            const PriceBook::Loaded loaded = loadWithoutHanging(data.path(), fifo);
            const std::string what = std::string(role) + " -> " + target;
            EXPECT_EQ(loaded.table, PriceBook::bundled()) << what;
            ASSERT_EQ(loaded.warnings.size(), 1) << what;
            EXPECT_TRUE(loaded.warnings[0].contains(path) && loaded.warnings[0].contains(reason))
                << loaded.warnings[0].toStdString();
        }
        QFile::remove(path);
    }
    // Through the table every command prices with.
    ASSERT_TRUE(QFile::link(fifo, data.filePath("prices-override.json")));
    EXPECT_EQ(PriceBook::use(data.path()).size(), 1);
    EXPECT_EQ(PriceBook::find(PriceProvider::anthropic, "claude-opus-4-5"),
              PriceBook::bundled().find(PriceProvider::anthropic, "claude-opus-4-5"));
}

TEST_F(PriceBookTest, AListThatLacksModelsOrPricesOneAtZeroIsRefusedUnlessForced) {
    const QByteArray four = R"({
      "claude-opus-4-5": {"litellm_provider": "anthropic", "input_cost_per_token": 5e-06},
      "gpt-5": {"litellm_provider": "openai", "input_cost_per_token": 1e-06},
      "gemini-2.5-pro": {"litellm_provider": "gemini", "input_cost_per_token": 1e-06},
      "grok-4": {"litellm_provider": "xai", "input_cost_per_token": 3e-06}})";
    const auto before = PriceBook::current();
    auto refused = PriceBook::install(four, data.path(), "2026-12-07");
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.implausible);
    for (const char* provider : {"Anthropic", "OpenAI", "Gemini", "xAI"}) {
        EXPECT_TRUE(refused.error.contains(provider)) << refused.error.toStdString();
    }
    EXPECT_FALSE(QFile::exists(updatedPath()));
    EXPECT_EQ(*PriceBook::current(), *before);
    const auto forced = PriceBook::install(four, data.path(), "2026-12-07", true);
    ASSERT_TRUE(forced.ok) << forced.error.toStdString();
    EXPECT_EQ(forced.rows, 4);
    // Measured against the list in effect, now those four: one provider short is named alone.
    refused = PriceBook::install(QByteArray(four).replace("\"grok-4\"", "\"grok-5\""), data.path(),
                                 "2026-12-08");
    EXPECT_TRUE(refused.implausible);
    EXPECT_TRUE(refused.error.contains("xAI") && !refused.error.contains("OpenAI"))
        << refused.error.toStdString();
}

TEST_F(PriceBookTest, AQuarterOfAProvidersModelsMayGoButNotMore) {
    QJsonObject list = bundledListJson();
    QStringList openAi;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it.value().toObject()["litellm_provider"] == "openai") openAi.append(it.key());
    }
    const qsizetype mayGo = openAi.size() / 4;
    for (qsizetype i = 0; i < mayGo; ++i) list.remove(openAi[i]);
    QJsonObject oneMore = list;
    oneMore.remove(openAi[mayGo]);
    const auto refused = PriceBook::install(toJson(oneMore), data.path(), "2026-12-07");
    EXPECT_TRUE(refused.implausible);
    EXPECT_TRUE(refused.error.contains(
        QStringLiteral("lacks %1 of the %2 OpenAI models").arg(mayGo + 1).arg(openAi.size())))
        << refused.error.toStdString();
    EXPECT_FALSE(refused.error.contains("Anthropic"));
    EXPECT_TRUE(PriceBook::install(toJson(list), data.path(), "2026-12-07").ok);
}

TEST_F(PriceBookTest, AKnownModelPricedAtZeroIsRefused) {
    QJsonObject list = bundledListJson();
    QJsonObject opus = list["claude-opus-4-5"].toObject();
    opus["input_cost_per_token"] = 0;
    list["claude-opus-4-5"] = opus;
    const auto refused = PriceBook::install(toJson(list), data.path(), "2026-12-07");
    EXPECT_TRUE(refused.implausible);
    EXPECT_TRUE(refused.error.contains("claude-opus-4-5 (Anthropic) at 0"))
        << refused.error.toStdString();
    EXPECT_FALSE(QFile::exists(updatedPath()));
    ASSERT_TRUE(PriceBook::install(toJson(list), data.path(), "2026-12-07", true).ok);
    EXPECT_EQ(PriceBook::find(PriceProvider::anthropic, "claude-opus-4-5")->input, 0);
}

// The community list holds a few thousand models; a list of more is refused even when forced,
// and a table at the bound still answers each lookup from its index.
TEST_F(PriceBookTest, AListOfMoreThan20000ModelsIsRefused) {
    const auto refused = PriceBook::install(manyModels(20'001), data.path(), "2026-12-07", true);
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.error.contains("20001 models")) << refused.error.toStdString();
    EXPECT_FALSE(QFile::exists(updatedPath()));

    const auto table = PriceTable::parse(manyModels(20'000), "many", nullptr);
    ASSERT_TRUE(table);
    for (int i = 0; i < 20'000; ++i) {
        const QString model = QStringLiteral("m-%1").arg(i);
        const auto row = table->find(PriceProvider::openai, model + "-high");
        ASSERT_TRUE(row) << i;
        EXPECT_EQ(row->model, model);
    }
}
