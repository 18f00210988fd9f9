#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <cmath>
#include <limits>

#include "ledger/LedgerPricing.h"
#include "metrics/CounterContinuity.h"
#include "metrics/UsageMetrics.h"

namespace qm::metrics {
namespace {

// promtool's verdict on an exposition: its exit code and what it printed. Skips the test
// where Prometheus's tools are not installed.
std::pair<int, QByteArray> promtoolCheck(const QByteArray& text) {
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty()) return {-1, {}};
    QProcess process;
    process.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    process.write(text);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(30000));
    return {process.exitCode(), process.readAllStandardOutput() + process.readAllStandardError()};
}

TEST(MetricsExposition, HostileLabelValuesStayInsideTheirQuotesAndPromtoolAgrees) {
    MetricsExposition out;
    out.declare("quotameter_tokens_total", MetricType::counter, "Line one\nback\\slash");
    const QString model = QStringLiteral("evil\"} 1\nquotameter_fake{a=\"b\\");
    out.add("quotameter_tokens_total", {{"tool", "codex"}, {"model", model}}, 5);
    const QByteArray text = out.text();
    EXPECT_EQ(text,
              "# HELP quotameter_tokens_total Line one\\nback\\\\slash\n"
              "# TYPE quotameter_tokens_total counter\n"
              "quotameter_tokens_total{model=\"evil\\\"} 1\\nquotameter_fake{a=\\\"b\\\\\","
              "tool=\"codex\"} 5\n");
    const auto [code, said] = promtoolCheck(text);
    if (code == -1) GTEST_SKIP() << "promtool is not installed";
    EXPECT_EQ(code, 0) << said.toStdString();
}

TEST(MetricsExposition, FamiliesAndSeriesComeOutSortedAndOnce) {
    MetricsExposition out;
    out.declare("b_total", MetricType::counter, "b");
    out.declare("a_ratio", MetricType::gauge, "a");
    // Label order given does not make another series.
    out.add("b_total", {{"y", "2"}, {"x", "1"}}, 1.5);
    out.add("b_total", {{"x", "1"}, {"y", "2"}}, 2);
    out.add("b_total", {{"x", "0"}, {"y", "2"}}, 1);
    out.set("a_ratio", {{"k", "v"}}, 0.25);
    out.set("a_ratio", {{"k", "v"}}, 0.5);
    EXPECT_EQ(out.text(),
              "# HELP a_ratio a\n# TYPE a_ratio gauge\na_ratio{k=\"v\"} 0.5\n"
              "# HELP b_total b\n# TYPE b_total counter\n"
              "b_total{x=\"0\",y=\"2\"} 1\nb_total{x=\"1\",y=\"2\"} 3.5\n");
}

TEST(MetricsExposition, ValuesReadBackExactly) {
    EXPECT_EQ(formatSampleValue(0), "0");
    EXPECT_EQ(formatSampleValue(1765000000), "1765000000");
    EXPECT_EQ(formatSampleValue(9007199254740993.0).toDouble(), 9007199254740993.0);
    EXPECT_EQ(formatSampleValue(0.1), "0.1");
    EXPECT_EQ(formatSampleValue(1.0 / 3).toDouble(), 1.0 / 3);
    EXPECT_EQ(formatSampleValue(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(formatSampleValue(-std::numeric_limits<double>::infinity()), "-Inf");
    EXPECT_EQ(formatSampleValue(std::numeric_limits<double>::infinity()), "+Inf");
}

ledger::UsageSlice slice(ProviderKind tool, const QString& model, ledger::Hour hour,
                         ledger::Counts counts, std::uint8_t flags = 0) {
    ledger::UsageSlice s;
    s.tool = tool;
    s.model = model;
    s.hour = hour;
    s.counts = counts;
    s.flags = flags;
    return s;
}

double sample(const MetricsExposition& out, const QString& name, Labels labels) {
    std::ranges::sort(labels);
    const auto& samples = out.families().at(name).samples;
    const auto found = samples.find(labels);
    return found == samples.end() ? std::nan("") : found->second;
}

TEST(UsageMetrics, TokenKindsAddUpToEveryTokenAndCostsFollowThePriceTable) {
    UsageMetricsSources sources;
    const ledger::Counts claude{
        .input = 1300, .cachedInput = 1000, .cacheWrite = 200, .output = 50};
    const ledger::Counts codex{.input = 1000, .cachedInput = 100, .output = 200, .reasoning = 80};
    sources.slices = {slice(ProviderKind::claudeCode, "claude-sonnet-4-5", 10, claude),
                      slice(ProviderKind::codex, "gpt-5", 10, codex),
                      slice(ProviderKind::codex, "gpt-5", 11, codex),
                      slice(ProviderKind::codex, "acme-9", 11, codex)};
    const MetricsExposition out = usageMetrics(sources);
    const QString tokens = "quotameter_tokens_total";
    const auto claudeKind = [&](const char* kind) {
        return sample(out, tokens,
                      {{"tool", "claudeCode"}, {"model", "claude-sonnet-4-5"}, {"kind", kind}});
    };
    EXPECT_EQ(claudeKind("input"), 100);
    EXPECT_EQ(claudeKind("cached_input"), 1000);
    EXPECT_EQ(claudeKind("cache_write"), 200);
    EXPECT_EQ(claudeKind("output"), 50);
    double codexSum = 0;
    for (const char* kind : {"input", "cached_input", "cache_write", "output", "reasoning"})
        codexSum += sample(out, tokens, {{"tool", "codex"}, {"model", "gpt-5"}, {"kind", kind}});
    EXPECT_EQ(codexSum, 2 * (1000 + 200));  // two hours of the same session, no kind twice

    ledger::Counts both = codex;
    both += codex;
    const double expected = *ledger::costOf(ProviderKind::codex, "gpt-5", both, false);
    EXPECT_DOUBLE_EQ(
        sample(out, "quotameter_cost_usd_total", {{"tool", "codex"}, {"model", "gpt-5"}}),
        expected);
    // A model without a price has its tokens but no cost series, rather than a cost of 0.
    EXPECT_EQ(sample(out, tokens, {{"tool", "codex"}, {"model", "acme-9"}, {"kind", "input"}}),
              900);
    EXPECT_TRUE(std::isnan(
        sample(out, "quotameter_cost_usd_total", {{"tool", "codex"}, {"model", "acme-9"}})));
}

TEST(UsageMetrics, LimitsThatHaveResetAreLeftOutAndUnknownTimesHaveNoSeries) {
    UsageMetricsSources sources;
    sources.now = 1'800'000'000'000;
    LimitReading fiveHour{"codex.fiveHour", "", 43, sources.now + 3'600'000, sources.now, {}};
    LimitReading weekly{"claude.weeklyOpus", "",          90,
                        std::nullopt,        sources.now, sources.now + 60'000};
    LimitReading stale{"codex.weekly", "", 99, sources.now - 1, sources.now - 10, {}};
    sources.limits = {fiveHour, weekly, stale};
    const MetricsExposition out = usageMetrics(sources);
    const Labels codex5{{"tool", "codex"}, {"window", "fiveHour"}};
    const Labels opus{{"tool", "claude"}, {"window", "weeklyOpus"}};
    EXPECT_DOUBLE_EQ(sample(out, "quotameter_limit_used_ratio", codex5), 0.43);
    EXPECT_EQ(sample(out, "quotameter_limit_resets_timestamp_seconds", codex5), 1'800'003'600.0);
    EXPECT_TRUE(std::isnan(sample(out, "quotameter_limit_resets_timestamp_seconds", opus)));
    EXPECT_EQ(sample(out, "quotameter_limit_projected_full_timestamp_seconds", opus),
              1'800'000'060.0);
    EXPECT_EQ(out.families().at("quotameter_limit_projected_full_timestamp_seconds").samples.size(),
              1u);
    EXPECT_EQ(out.families().at("quotameter_limit_used_ratio").samples.size(), 2u);
}

TEST(UsageMetrics, AccountsAreNumberedUnlessAliasesAreAskedForAndIdsNeverShow) {
    UsageMetricsSources sources;
    const QString firstId = "0123456789abcdef0123456789abcdef";
    const QString secondId = "fedcba9876543210fedcba9876543210";
    const auto account = [](const QString& id, const QString& alias) {
        AdminApiAccount a;
        a.id = id;
        a.alias = alias;
        return a;
    };
    sources.accounts.anthropicApiAccounts = {account(firstId, "ops \"prod\""),
                                             account(secondId, "research")};
    GeminiAccount gemini;
    gemini.id = "g1";
    gemini.alias = "  ";
    sources.accounts.geminiAccounts = {gemini};
    sources.apiRecords = {{1, "anthropic", secondId, "claude-x", 1, 1, 0, 0.5},
                          {2, "anthropic", secondId, "claude-y", 1, 1, 0, 0.25},
                          {3, "openai", "deleted-account", "gpt-x", 1, 1, 0, 2}};
    sources.geminiRecords = {
        {1, "g1", "gemini-2.5-pro", 10, 5, 0, 0, 0, 0.125, 30, "relay", std::nullopt},
        {2, "g1", "gemini-2.5-pro", 10, 5, 0, 0, 0, 0.125, 30, "relay", std::nullopt},
        {3, "g1", "gemini-2.5-pro", 10, 5, 0, 0, 0, 1, 30, "playground", std::nullopt}};
    const QString cost = "quotameter_api_cost_usd_total";

    const MetricsExposition numbered = usageMetrics(sources);
    EXPECT_EQ(sample(numbered, cost, {{"provider", "anthropic"}, {"account", "2"}}), 0.75);
    EXPECT_EQ(sample(numbered, cost, {{"provider", "openai"}, {"account", "removed"}}), 2);
    EXPECT_EQ(sample(numbered, cost, {{"provider", "gemini"}, {"account", "1"}}), 1.25);
    // Only calls through the relay are relay requests.
    EXPECT_EQ(sample(numbered, "quotameter_relay_requests_total", {{"status", "200"}}), 2);
    const QByteArray text = numbered.text();
    for (const QString& secret : {firstId, secondId, QString("g1"), QString("research")})
        EXPECT_FALSE(text.contains(secret.toUtf8())) << secret.toStdString();

    sources.accountLabels = true;
    const MetricsExposition named = usageMetrics(sources);
    EXPECT_EQ(sample(named, cost, {{"provider", "anthropic"}, {"account", "research"}}), 0.75);
    // A blank alias falls back to the number.
    EXPECT_EQ(sample(named, cost, {{"provider", "gemini"}, {"account", "1"}}), 1.25);
    EXPECT_FALSE(named.text().contains(secondId.toUtf8()));
}

TEST(CounterContinuity, AFallIsAbsorbedGrowthStillCountsAndVanishedSeriesStay) {
    CounterContinuity continuity;
    const auto scrape = [&](std::vector<std::pair<QString, double>> counters, double gauge) {
        MetricsExposition out;
        out.declare("c_total", MetricType::counter, "c");
        out.declare("g", MetricType::gauge, "g");
        for (const auto& [model, value] : counters) out.add("c_total", {{"model", model}}, value);
        out.set("g", {}, gauge);
        continuity.apply(out);
        return out;
    };
    MetricsExposition out = scrape({{"a", 100}, {"b", 10}}, 0.5);
    EXPECT_EQ(sample(out, "c_total", {{"model", "a"}}), 100);
    // Old logs deleted: the figure falls, the served counter does not.
    out = scrape({{"a", 40}, {"b", 10}}, 0.1);
    EXPECT_EQ(sample(out, "c_total", {{"model", "a"}}), 100);
    EXPECT_EQ(sample(out, "g", {}), 0.1);
    // New usage after the fall is added on top.
    out = scrape({{"a", 45}}, 0.1);
    EXPECT_EQ(sample(out, "c_total", {{"model", "a"}}), 105);
    // "b" is no longer read at all: it keeps its value, and what returns under it is new.
    EXPECT_EQ(sample(out, "c_total", {{"model", "b"}}), 10);
    out = scrape({{"a", 45}, {"b", 3}}, 0.1);
    EXPECT_EQ(sample(out, "c_total", {{"model", "b"}}), 13);
}

}  // namespace
}  // namespace qm::metrics
