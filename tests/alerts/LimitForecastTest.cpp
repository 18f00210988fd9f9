#include <gtest/gtest.h>

#include <QDateTime>

#include "alerts/AlertStore.h"
#include "alerts/LimitForecast.h"
#include "core/Iso8601.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/UsageLedger.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"

using namespace qm;
using qm::test::TempDir;

namespace {

using test::kHour;
using test::kMinute;
const TimeMs kNow = *Iso8601::parse(QStringLiteral("2026-12-07T12:00:00Z"));

// Readings `minutesAgo` before kNow at the given percentages.
std::vector<LimitSample> readings(std::initializer_list<std::pair<int, double>> points) {
    std::vector<LimitSample> samples;
    for (const auto& [minutesAgo, percent] : points)
        samples.push_back({kNow - minutesAgo * kMinute, percent});
    return samples;
}

std::optional<TimeMs> fullAt(const std::vector<LimitSample>& samples, TimeMs resetsIn,
                             TimeMs windowMs = kFiveHourWindowMs) {
    return LimitForecast::projectedFullAt(samples, kNow + resetsIn, windowMs, kNow);
}

TEST(LimitForecast, ASteadyPaceProjectsFromTheNewestReading) {
    // 30% an hour; the newest reading, 40%, is taken now: 60% more takes two hours.
    const auto steady = readings({{60, 10}, {40, 20}, {20, 30}, {0, 40}});
    EXPECT_NEAR(*LimitForecast::pacePerHour(steady, kNow - kFiveHourWindowMs, kNow), 30, 1e-9);
    EXPECT_EQ(fullAt(steady, 3 * kHour), kNow + 2 * kHour);

    // Readings older than the hour are left out: a burst earlier does not set today's pace.
    const auto burstThenSteady =
        readings({{120, 0}, {90, 35}, {60, 40}, {40, 45}, {20, 50}, {0, 55}});
    EXPECT_EQ(fullAt(burstThenSteady, 4 * kHour), kNow + 3 * kHour);
}

TEST(LimitForecast, NothingWithoutEnoughReadingsAPositivePaceOrRoomBeforeTheReset) {
    EXPECT_EQ(fullAt({}, 3 * kHour), std::nullopt);
    EXPECT_EQ(fullAt(readings({{10, 40}}), 3 * kHour), std::nullopt);
    // Two readings at the same moment give no slope.
    EXPECT_EQ(fullAt(readings({{10, 40}, {10, 45}}), 3 * kHour), std::nullopt);
    EXPECT_EQ(fullAt(readings({{40, 40}, {20, 40}, {0, 40}}), 3 * kHour), std::nullopt);
    // Falling readings (old usage leaving a rolling window) never project.
    EXPECT_EQ(fullAt(readings({{40, 60}, {20, 50}, {0, 45}}), 3 * kHour), std::nullopt);
    // Full after the reset, or exactly at it: the window starts afresh first.
    EXPECT_EQ(fullAt(readings({{60, 10}, {0, 40}}), 2 * kHour), std::nullopt);
    EXPECT_EQ(fullAt(readings({{60, 10}, {0, 40}}), 90 * kMinute), std::nullopt);
    // Without a reset time nothing can be said about the window.
    EXPECT_EQ(LimitForecast::projectedFullAt(readings({{60, 10}, {0, 40}}), std::nullopt,
                                             kFiveHourWindowMs, kNow),
              std::nullopt);
    // Already full.
    EXPECT_EQ(fullAt(readings({{20, 80}, {0, 100}}), 3 * kHour), std::nullopt);
    // The pace says it would be full by now, but nothing was read since: no use since.
    EXPECT_EQ(fullAt(readings({{50, 50}, {40, 90}}), 3 * kHour), std::nullopt);
    // Not-a-number readings are passed over.
    EXPECT_EQ(fullAt(readings({{60, 10}, {30, std::nan("")}, {0, 40}}), 3 * kHour),
              kNow + 2 * kHour);
}

TEST(LimitForecast, AResetInsideTheHourStartsTheReadingsAfresh) {
    // The window reset 20 minutes ago (it resets again in 4 h 40 min): the high readings
    // belong to the previous window. Fitting them too would give a falling pace.
    const auto acrossReset = readings({{50, 80}, {30, 90}, {15, 5}, {5, 10}, {0, 12.5}});
    const TimeMs resetsIn = 4 * kHour + 40 * kMinute;
    const std::optional<TimeMs> full = fullAt(acrossReset, resetsIn);
    ASSERT_TRUE(full);
    // 5% → 12.5% over 15 minutes is 30% an hour; 87.5% more takes 2 h 55 min.
    EXPECT_EQ(*full, kNow + 2 * kHour + 55 * kMinute);
    // Without the window's length the old readings would count: the pace falls.
    EXPECT_EQ(fullAt(acrossReset, resetsIn, 0), std::nullopt);
}

TEST(ForecastAlert, ClaudeWarnsWithTheReadingTheHistoryHasNotRecordedYet) {
    TempDir memory;
    std::vector<std::pair<QString, QString>> shown;
    AlertStore alerts(
        AlertMemory::pathIn(memory.path()),
        [&](const QString& title, const QString& message) { shown.emplace_back(title, message); },
        [] { return kNow; }, QTimeZone::utc());
    // The store publishes 60% before the history records it: 20%, 40%, 60% a quarter of an
    // hour apart is 80% an hour, full at 12:30, two and a half hours before the 15:00 reset.
    const std::vector<ClaudeUsageSnapshot> history{{kNow - 30 * kMinute, 20, 10, 5, "Opus"},
                                                   {kNow - 15 * kMinute, 40, 10, 5, "Opus"}};
    LatestClaudeUsage latest;
    latest.sessionPct = 60;
    latest.sessionResetAt = QStringLiteral("2026-12-07T15:00:00Z");
    latest.weekPct = 10;
    latest.weekResetAt = QStringLiteral("2026-12-10T00:00:00Z");
    latest.subPct = 5;
    alerts.observeLimits(claudeLimitReadings(latest, kNow, history, kNow));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, "Claude five-hour limit filling up");
    EXPECT_EQ(shown[0].second,
              "Claude five-hour limit: full at 12:30 at this pace, 2 h 30 min before it resets.");
}

// A rollout written in the tool's own format whose limit reports climb through one window.
struct CodexHome {
    TempDir home;
    const qint64 nowSeconds = QDateTime::currentSecsSinceEpoch();
    qint64 fiveHourReset = nowSeconds + 3 * 3600;

    void write(std::initializer_list<std::pair<int, double>> minutesAgoAndPercent) const {
        QByteArray lines =
            test::codexMetaLine(QStringLiteral("019a0000-0000-7000-8000-000000000001"),
                                QStringLiteral("/home/dev/app"), 3 * 3600);
        for (const auto& [minutesAgo, percent] : minutesAgoAndPercent) {
            lines += test::codexTotalsLine(1000, 100, 0, minutesAgo * 60.0 + 1);
            lines += test::codexRateLimitsLine(percent, 20, fiveHourReset, nowSeconds + 4 * 86400,
                                               minutesAgo * 60.0);
        }
        home.write(QStringLiteral("sessions/2026/12/07/rollout-2026-12-07T09-00-00-a.jsonl"),
                   lines);
    }
    // The Codex summary as the usage index serves it; `home` is the Codex home.
    ProviderUsage read() const {
        const TempDir cache;
        const ledger::LedgerSources sources{
            {}, {home.filePath(QStringLiteral("sessions"))}, {}, {}};
        return ledger::codexUsage(ledger::UsageLedger(cache.path(), sources).update(1).files,
                                  home.path(), QDateTime::currentMSecsSinceEpoch() - 5 * kHour);
    }
};

TEST(ForecastAlert, CodexReportsFromTheLogsWarnOncePerWindow) {
    CodexHome codex;
    // 30% an hour from 40%: full two hours from now, an hour before the reset.
    codex.write({{60, 10}, {40, 20}, {20, 30}, {0, 40}});
    const ProviderUsage usage = codex.read();
    ASSERT_TRUE(usage.planLimits);
    ASSERT_EQ(usage.planReadings.size(), 4u);

    TempDir memory;
    std::vector<QString> shown;
    TimeMs now = QDateTime::currentMSecsSinceEpoch();
    const auto makeStore = [&] {
        return std::make_unique<AlertStore>(
            AlertMemory::pathIn(memory.path()),
            [&](const QString& title, const QString& message) {
                shown.push_back(title + " | " + message);
            },
            [&] { return now; }, QTimeZone::utc());
    };
    auto alerts = makeStore();
    std::vector<LimitReading> limits =
        codexLimitReadings(*usage.planLimits, usage.planReadings, now);
    ASSERT_EQ(limits.size(), 2u);
    ASSERT_TRUE(limits[0].projectedFullAt);
    EXPECT_NEAR(double(*limits[0].projectedFullAt - now), double(2 * kHour), 2000.0);
    EXPECT_EQ(limits[1].projectedFullAt, std::nullopt);  // one weekly figure: no pace

    // Under half used: a pace alone is no news yet.
    alerts->observeLimits(limits);
    EXPECT_TRUE(shown.empty());

    codex.write({{50, 10}, {35, 30}, {20, 40}, {0, 55}});
    const ProviderUsage later = codex.read();
    now = QDateTime::currentMSecsSinceEpoch();
    limits = codexLimitReadings(*later.planLimits, later.planReadings, now);
    ASSERT_TRUE(limits[0].projectedFullAt);
    alerts->observeLimits(limits);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(
        shown[0].startsWith("Codex five-hour limit filling up | Codex five-hour limit: "
                            "full at "))
        << shown[0].toStdString();
    // 10, 30, 40, 55% over 50 minutes: 52.3% an hour, so the last 45% take 51.6 minutes,
    // 128.4 minutes before the reset.
    EXPECT_NEAR(double(*limits[0].projectedFullAt - now), 51.6 * kMinute, 2000.0);
    EXPECT_TRUE(shown[0].endsWith(" at this pace, 2 h 8 min before it resets."))
        << shown[0].toStdString();

    // Once per window, across restarts too.
    alerts->observeLimits(limits);
    alerts = makeStore();
    alerts->observeLimits(limits);
    EXPECT_EQ(shown.size(), 1u);

    // The next window is news again.
    now += 5 * kHour;
    for (LimitReading& reading : limits) {
        if (reading.resetsAt) *reading.resetsAt += 5 * kHour;
        if (reading.projectedFullAt) *reading.projectedFullAt += 5 * kHour;
    }
    alerts->observeLimits(limits);
    EXPECT_EQ(shown.size(), 2u);
    // Full only 14 minutes before the reset is too close to be worth a warning.
    limits[0].key = QStringLiteral("codex.other");
    limits[0].projectedFullAt = *limits[0].resetsAt - 14 * kMinute;
    alerts->observeLimits(limits);
    EXPECT_EQ(shown.size(), 2u);
}

}  // namespace
