#include <gtest/gtest.h>

#include <QDateTime>

#include "alerts/LimitReadings.h"
#include "core/Iso8601.h"
#include "support/QtPrinters.h"
#include "support/TestTimes.h"

using namespace qm;

namespace {

using test::kHour;
using test::kMinute;
// The five-hour window of these tests resets at 23:51 local time (as a user reads it).
const TimeMs kReset = QDateTime(QDate(2026, 12, 7), QTime(23, 51)).toMSecsSinceEpoch();

QString local(TimeMs at, const char* format) {
    return QDateTime::fromMSecsSinceEpoch(at).toString(QString::fromLatin1(format));
}

// When Codex's logs last reported its plan limits: 20:10.
const TimeMs kReadAt = kReset - 3 * kHour - 41 * kMinute;

// The plan limits as reported at 20:10: the five-hour window at 52.8%, climbing 40% an hour
// (full at 21:21 at that pace), the weekly one at 12%.
std::vector<LimitReading> codexAt2010(TimeMs now) {
    const TimeMs readAt = kReadAt;
    CodexPlanLimits limits;
    limits.observedAt = readAt;
    limits.fiveHour = PlanWindow{52.8, 300, kReset};
    limits.weekly = PlanWindow{12, 10080, kReset + 3 * 24 * kHour};
    CodexPlanLimits earlier = limits;
    earlier.observedAt = readAt - 30 * kMinute;
    earlier.fiveHour->usedPercent = 32.8;
    return codexLimitReadings(limits, {earlier, limits}, now);
}

TEST(LimitReset, BeforeItsResetALimitShowsAsReadAfterItAsTheNewWindow) {
    const TimeMs before = kReadAt + 10 * kMinute;
    const std::vector<LimitReading> early = codexAt2010(before);
    ASSERT_EQ(early.size(), 2u);
    ASSERT_TRUE(early[0].projectedFullAt);  // the pace fills it before the reset
    EXPECT_NEAR(double(*early[0].projectedFullAt - kReadAt), 70.8 * kMinute, 1000.0);
    EXPECT_EQ(currentWindows(early, before), early);
    EXPECT_FALSE(hasReset(early[0], before));

    // 02:32, close to three hours after the reset.
    const TimeMs after = kReset + 2 * kHour + 41 * kMinute;
    const std::vector<LimitReading> late = codexAt2010(after);
    // The forecast leaves the window gone by out, as the exporter does.
    EXPECT_EQ(late[0].projectedFullAt, std::nullopt);
    EXPECT_TRUE(hasReset(late[0], after));
    const std::vector<LimitReading> current = currentWindows(late, after);
    EXPECT_EQ(current[0].percent, 0);
    EXPECT_EQ(current[0].freshSince, kReset);
    EXPECT_EQ(current[0].resetsAt, std::nullopt);
    EXPECT_EQ(current[0].projectedFullAt, std::nullopt);
    EXPECT_EQ(current[1], late[1]);  // the weekly window still holds
    // Once fresh, always the same: a view that applies the rule again changes nothing.
    EXPECT_EQ(currentWindows(current, after), current);
    EXPECT_TRUE(hasReset(current[0], after));

    // The reset moment itself starts the new window; a limit without a reset time never ends.
    EXPECT_EQ(currentWindow(late[0], kReset).freshSince, kReset);
    LimitReading unknown = late[0];
    unknown.resetsAt.reset();
    EXPECT_EQ(currentWindow(unknown, after), unknown);

    // The dot weighs only windows that still hold.
    EXPECT_EQ(limitsLevel(codexAt2010(before), before), UsageStatusLevel::good);
    std::vector<LimitReading> full = late;
    full[0].percent = 97;
    EXPECT_EQ(limitsLevel(full, after), UsageStatusLevel::good);
    EXPECT_EQ(limitsLevel(currentWindows(full, after), after), UsageStatusLevel::good);
}

TEST(LimitReset, TheToolTipLineSaysTheWindowResetAndWhen) {
    const TimeMs before = kReadAt + 5 * kMinute;
    EXPECT_EQ(codexLimitsLine(codexAt2010(before), before),
              QStringLiteral("Codex limits: 5-hour 53% (resets 23:51), weekly 12% (resets %1)")
                  .arg(local(kReset + 3 * 24 * kHour, "MM/dd HH:mm")));
    const TimeMs after = kReset + 2 * kHour + 41 * kMinute;
    EXPECT_EQ(codexLimitsLine(codexAt2010(after), after),
              QStringLiteral("Codex limits: 5-hour 0% (reset at %1), weekly 12% (resets %2), "
                             "read %3")
                  .arg(local(kReset, "MM/dd HH:mm"), local(kReset + 3 * 24 * kHour, "MM/dd HH:mm"),
                       local(kReadAt, "MM/dd HH:mm")));
    EXPECT_EQ(resetPassedText(kReset, kReset + kMinute), "reset at 23:51");
}

TEST(LimitReset, EachClaudeWindowPastItsResetShowsNothingUsed) {
    const TimeMs now = *Iso8601::parse(QStringLiteral("2026-12-07T12:00:00Z"));
    LatestClaudeUsage usage;
    usage.sessionPct = 80;
    usage.sessionResetAt = QStringLiteral("2026-12-07T11:59:59Z");
    usage.weekPct = 40;
    usage.weekResetAt = QStringLiteral("2026-12-10T00:00:00Z");
    usage.subPct = 30;
    usage.subResetAt = QStringLiteral("soon");  // no time stamp: nothing to decide by
    usage.subModelName = QStringLiteral("Opus");
    usage.hasDesign = true;
    usage.designPct = 20;
    usage.designResetAt = QStringLiteral("2026-12-07T12:00:00Z");
    usage.hasRoutine = true;
    usage.routineUsed = 3;
    usage.routineLimit = 5;
    usage.routineResetAt = QStringLiteral("2026-12-07T11:00:00Z");

    const LatestClaudeUsage current = currentClaudeUsage(usage, now);
    EXPECT_EQ(current.sessionPct, 0);
    EXPECT_EQ(current.weekPct, 40);
    EXPECT_EQ(current.subPct, 30);
    EXPECT_EQ(current.designPct, 0);
    EXPECT_EQ(current.routineUsed, 0);
    EXPECT_EQ(current.routineLimit, 5);
    // The reset texts stay as the site sent them.
    EXPECT_EQ(current.sessionResetAt, usage.sessionResetAt);
    EXPECT_EQ(currentClaudeUsage(usage, now - 2 * kHour), usage);
}

}  // namespace
