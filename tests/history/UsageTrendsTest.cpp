#include <gtest/gtest.h>

#include <QDateTime>

#include "history/UsageTrends.h"
#include "support/QtPrinters.h"

using namespace qm;
using namespace qm::UsageTrends;

namespace {

const QTimeZone kBerlin("Europe/Berlin");

std::int64_t at(int y, int m, int d, int h, int min, const QTimeZone& zone = kBerlin) {
    return QDateTime(QDate(y, m, d), QTime(h, min), zone).toMSecsSinceEpoch();
}

GeminiUsageRecord geminiCost(std::int64_t time, double cost) {
    return {time, "g", "m", 0, 0, 0, 0, 0, cost, 0, "relay", std::nullopt};
}

ApiUsageRecord api(std::int64_t time, QString provider, double cost, std::int64_t in = 0) {
    return {time, std::move(provider), "a", "m", in, 2 * in, 3 * in, cost};
}

}  // namespace

TEST(UsageTrends, DaysFollowTheGivenTimeZone) {
    ASSERT_TRUE(kBerlin.isValid());
    const std::vector<GeminiUsageRecord> records = {geminiCost(at(2026, 3, 10, 23, 30), 1),
                                                    geminiCost(at(2026, 3, 11, 0, 30), 2)};
    const auto days = geminiDailyCosts(records, kBerlin);
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0], (GeminiDailyCost{at(2026, 3, 10, 0, 0), 1}));
    EXPECT_EQ(days[1], (GeminiDailyCost{at(2026, 3, 11, 0, 0), 2}));
    // Two hours further west both fall on the same day.
    const QTimeZone azores("Atlantic/Azores");
    const auto west = geminiDailyCosts(records, azores);
    ASSERT_EQ(west.size(), 1u);
    EXPECT_EQ(west[0].costUsd, 3);
    EXPECT_EQ(west[0].day, at(2026, 3, 10, 0, 0, azores));
}

TEST(UsageTrends, DaysAcrossAClockChangeStartAtLocalMidnight) {
    // 29 March 2026 has 23 hours in Berlin.
    const std::vector<GeminiUsageRecord> records = {geminiCost(at(2026, 3, 29, 0, 10), 1),
                                                    geminiCost(at(2026, 3, 29, 23, 50), 1),
                                                    geminiCost(at(2026, 3, 30, 0, 10), 1)};
    const auto days = geminiDailyCosts(records, kBerlin);
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].costUsd, 2);
    EXPECT_EQ(days[1].day, at(2026, 3, 30, 0, 0));
}

TEST(UsageTrends, ApiCostsStackByProviderAndSumPerDay) {
    const std::int64_t noon = at(2026, 5, 4, 12, 0);
    const std::vector<ApiUsageRecord> records = {
        api(noon, "openai", 2), api(noon + 1, "anthropic", 1), api(noon + 2, "anthropic", 1),
        api(noon - 86'400'000, "", 0.25), api(noon, "mistral", 0.5)};
    const auto stacked = apiDailyCosts(records, kBerlin);
    const std::int64_t day = at(2026, 5, 4, 0, 0);
    ASSERT_EQ(stacked.size(), 4u);
    EXPECT_EQ(stacked[0], (ApiDailyCost{at(2026, 5, 3, 0, 0), "Unknown", 0.25}));
    EXPECT_EQ(stacked[1], (ApiDailyCost{day, "Anthropic", 2}));  // repeated fetches add up
    EXPECT_EQ(stacked[2], (ApiDailyCost{day, "OpenAI", 2}));
    EXPECT_EQ(stacked[3], (ApiDailyCost{day, "mistral", 0.5}));

    const auto totals = apiDailyTotalCosts(records, kBerlin);
    ASSERT_EQ(totals.size(), 2u);
    EXPECT_EQ(totals[1], (ApiDailyTotalCost{day, 4.5}));
    EXPECT_EQ(apiTotalCost(records), 4.75);
}

TEST(UsageTrends, ClaudePointsAndSummary) {
    const std::vector<ClaudeUsageSnapshot> snapshots = {{1, 10, 20, 30, "Week"}};
    const auto points = claudeTrendPoints(snapshots);
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[0].metric, "Session");
    EXPECT_EQ(points[1].metric, "Week");
    EXPECT_EQ(points[2].metric, "Week");  // shares the weekly line
    EXPECT_EQ(points[2].value, 30);

    EXPECT_EQ(totalText(0), "$0.0000 total");
    EXPECT_EQ(totalText(geminiTotalCost({geminiCost(1, 0.00005), geminiCost(2, 1.2)})),
              "$1.2001 total");
    const auto metrics = apiSummaryMetrics({api(1, "openai", 0, 1500), api(2, "openai", 0, 500)});
    ASSERT_EQ(metrics.size(), 4u);
    EXPECT_EQ(metrics[0], (TrendMetric{"Records", "2"}));
    EXPECT_EQ(metrics[1], (TrendMetric{"In", "2.0k"}));
    EXPECT_EQ(metrics[2], (TrendMetric{"Out", "4.0k"}));
    EXPECT_EQ(metrics[3], (TrendMetric{"Cache", "6.0k"}));
}
