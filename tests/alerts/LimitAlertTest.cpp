#include <gtest/gtest.h>

#include "alerts/AlertStore.h"
#include "alerts/ClaudeLimits.h"
#include "core/Iso8601.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"
#include "support/WriteBlocker.h"

using namespace qm;
using qm::test::TempDir;

namespace {

const TimeMs kLimitStart = *Iso8601::parse(QStringLiteral("2026-12-07T10:00:00Z"));
using test::kHour;

struct Shown {
    QString title;
    QString message;
};

// An alert store over a memory file in a private folder, with a clock the test moves.
struct Alerts {
    TempDir dir;
    TimeMs now = kLimitStart;
    std::vector<Shown> shown;
    bool enabled = true;
    std::unique_ptr<AlertStore> store;

    Alerts() { restart(); }
    void restart() {
        store = std::make_unique<AlertStore>(
            AlertMemory::pathIn(dir.path()),
            [this](const QString& title, const QString& message) {
                shown.push_back({title, message});
            },
            [this] { return now; }, QTimeZone::utc());
        store->setEnabledSource([this] { return enabled; });
    }
};

// The usage answer as the Claude site sends it, through the real decoder.
LatestClaudeUsage claudeAnswer(double fiveHour, const char* fiveHourReset, double weekly = 10) {
    const QByteArray json = QStringLiteral(R"({"five_hour":{"utilization":%1,"resets_at":"%2"},)"
                                           R"("seven_day":{"utilization":%3,)"
                                           R"("resets_at":"2026-12-10T00:00:00.512345+00:00"}})")
                                .arg(fiveHour)
                                .arg(QLatin1String(fiveHourReset))
                                .arg(weekly)
                                .toUtf8();
    const std::optional<UsageApiResponse> response = UsageApiResponse::decode(json);
    EXPECT_TRUE(response.has_value());
    return LatestClaudeUsage::fromResponse(response.value_or(UsageApiResponse{}), kLimitStart);
}

TEST(LimitAlerts, EachThresholdOncePerWindowAndNotAgainAfterRestart) {
    Alerts alerts;
    const char* firstReset = "2026-12-07T12:30:00.123456+00:00";
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(79.9, firstReset)));
    EXPECT_TRUE(alerts.shown.empty());

    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(82.4, firstReset)));
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].title, "Claude five-hour limit at 80%");
    EXPECT_EQ(alerts.shown[0].message, "82% used; resets 12:30.");

    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(90, firstReset)));
    EXPECT_EQ(alerts.shown.size(), 1u);
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(96, firstReset)));
    ASSERT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(alerts.shown[1].title, "Claude five-hour limit at 95%");

    alerts.restart();
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(99, firstReset)));
    EXPECT_EQ(alerts.shown.size(), 2u);
    EXPECT_FALSE(alerts.store->lastError());

    // The window ends; the next one crosses 80% again and is worth a new alert.
    alerts.now = kLimitStart + 3 * kHour;
    alerts.store->observeLimits(
        claudeLimitReadings(claudeAnswer(81, "2026-12-07T17:30:00.000000+00:00")));
    ASSERT_EQ(alerts.shown.size(), 3u);
    EXPECT_EQ(alerts.shown[2].title, "Claude five-hour limit at 80%");
}

// Claude Code's own readings alert as the site's do, and a window either source saw crossing a
// threshold is one alert, not one per source.
TEST(LimitAlerts, ClaudeCodeReadingsAlertOnceWhicheverSourceReadThem) {
    Alerts alerts;
    const TimeMs reset = *Iso8601::parse(QStringLiteral("2026-12-07T12:30:00Z"));
    const auto fromClaudeCode = [&](double percent) {
        return ClaudeLimitReading{ClaudeLimitWindow::fiveHour, percent, reset, alerts.now,
                                  LimitSource::claudeCode};
    };
    std::vector<ClaudeLimitReading> readings{fromClaudeCode(50)};
    alerts.store->observeLimits(mergedClaudeLimits({}, {}, readings, alerts.now));
    EXPECT_TRUE(alerts.shown.empty());
    alerts.now += 10 * 60'000;
    readings.push_back(fromClaudeCode(83));
    alerts.store->observeLimits(mergedClaudeLimits({}, {}, readings, alerts.now));
    // 33 points in ten minutes fills the window long before 12:30: the forecast speaks too.
    ASSERT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(alerts.shown[0].title, "Claude five-hour limit at 80%");
    EXPECT_TRUE(alerts.shown[0].message.startsWith("83% used; resets 12:30"))
        << alerts.shown[0].message.toStdString();
    EXPECT_EQ(alerts.shown[1].title, "Claude five-hour limit filling up");

    // The site reads the same window a little later: nothing new to say.
    alerts.now += 60'000;
    const std::vector<LimitReading> site =
        claudeLimitReadings(claudeAnswer(85, "2026-12-07T12:30:00Z"), alerts.now);
    alerts.store->observeLimits(mergedClaudeLimits(site, {}, readings, alerts.now));
    EXPECT_EQ(alerts.shown.size(), 2u) << alerts.shown.back().title.toStdString();
}

TEST(LimitAlerts, AJumpPastBothThresholdsShowsOnlyTheHigher) {
    Alerts alerts;
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(40, "2026-12-07T12:30:00Z", 97)));
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].title, "Claude weekly limit at 95%");
    EXPECT_EQ(alerts.shown[0].message, "97% used; resets Thu 00:00.");
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(40, "2026-12-07T12:30:00Z", 98)));
    EXPECT_EQ(alerts.shown.size(), 1u);
}

TEST(LimitAlerts, CodexWindowsStaleReadingsAndUnknownResets) {
    Alerts alerts;
    CodexPlanLimits limits;
    // Logged before its window ended: no longer true, so no alert.
    limits.fiveHour = PlanWindow{90, 300, kLimitStart - kHour};
    limits.weekly = PlanWindow{85, 10080, std::nullopt};
    alerts.store->observeLimits(codexLimitReadings(limits));
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].title, "Codex weekly limit at 80%");
    EXPECT_EQ(alerts.shown[0].message, "85% used.");

    // Without a reset time, only a fall below the threshold re-arms the alert.
    alerts.now += 24 * kHour;
    alerts.store->observeLimits(codexLimitReadings(limits));
    EXPECT_EQ(alerts.shown.size(), 1u);
    limits.weekly->usedPercent = 5;
    alerts.store->observeLimits(codexLimitReadings(limits));
    limits.weekly->usedPercent = 81;
    alerts.store->observeLimits(codexLimitReadings(limits));
    EXPECT_EQ(alerts.shown.size(), 2u);
}

TEST(LimitAlerts, SwitchedOffRemembersSilentlySoSwitchingOnBringsNoBurst) {
    Alerts alerts;
    alerts.enabled = false;
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(85, "2026-12-07T12:30:00Z")));
    alerts.enabled = true;
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(86, "2026-12-07T12:30:00Z")));
    EXPECT_TRUE(alerts.shown.empty());
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(95, "2026-12-07T12:30:00Z")));
    EXPECT_EQ(alerts.shown.size(), 1u);
}

TEST(LimitAlerts, AnUnwritableMemoryIsReportedRetriedAndAlertsStillShowOnce) {
    Alerts alerts;
    {
        // As on a full disk.
        qm::test::WriteBlocker full;
        alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(85, "2026-12-07T12:30:00Z")));
    }
    EXPECT_TRUE(alerts.store->lastError());
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(86, "2026-12-07T12:30:00Z")));
    EXPECT_EQ(alerts.shown.size(), 1u);
    EXPECT_FALSE(alerts.store->lastError());
    alerts.restart();
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(87, "2026-12-07T12:30:00Z")));
    EXPECT_EQ(alerts.shown.size(), 1u);

    // A damaged file starts an empty memory rather than failing.
    alerts.dir.write(QStringLiteral("alerts-shown.json"), "{not json");
    alerts.restart();
    alerts.store->observeLimits(claudeLimitReadings(claudeAnswer(88, "2026-12-07T12:30:00Z")));
    EXPECT_EQ(alerts.shown.size(), 2u);
}

}  // namespace
