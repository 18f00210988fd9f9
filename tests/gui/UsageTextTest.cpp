#include <gtest/gtest.h>

#include <cmath>

#include "alerts/LimitReadings.h"
#include "core/Iso8601.h"
#include "gui/UsageText.h"
#include "gui/widgets/LimitBar.h"
#include "gui/widgets/Look.h"
#include "support/QtPrinters.h"

namespace qm::gui {
namespace {

// A reading of `key` at `pct` percent, read at `readAt`, resetting at `resetsAt`.
LimitReading limit(const char* key, double pct, TimeMs readAt, TimeMs resetsAt) {
    LimitReading reading;
    reading.key = QString::fromLatin1(key);
    reading.percent = pct;
    reading.readAt = readAt;
    reading.resetsAt = resetsAt;
    return reading;
}

LatestClaudeUsage withSession(double pct) {
    LatestClaudeUsage usage;
    usage.sessionPct = pct;
    return usage;
}

// One rule for how full a limit is, whichever view shows it: the level, the bar's colour and
// the Claude line agree for every percent and state.
TEST(UsageTextTest, OneColourRuleForHowFullALimitIs) {
    constexpr TimeMs kNow = 1'796'720'000'000;
    struct Case {
        std::optional<double> pct;
        UsageStatusLevel level;
    };
    for (const Case& c : {Case{74.9, UsageStatusLevel::good}, Case{75, UsageStatusLevel::warn},
                          Case{89.9, UsageStatusLevel::warn}, Case{90, UsageStatusLevel::bad},
                          Case{123, UsageStatusLevel::bad}, Case{-4, UsageStatusLevel::good},
                          Case{std::nan(""), UsageStatusLevel::unknown},
                          Case{std::nullopt, UsageStatusLevel::unknown}}) {
        SCOPED_TRACE(c.pct.value_or(-1));
        EXPECT_EQ(limitLevel(c.pct), c.level);
        LevelBar bar;
        bar.setPercent(c.pct);
        EXPECT_EQ(bar.fillColour(), Look::levelColour(c.level));
        if (!c.pct || std::isnan(*c.pct)) continue;
        // The Claude line, read a minute ago with the reset an hour ahead: the same level.
        LatestClaudeUsage latest = withSession(*c.pct);
        latest.sessionResetAt = Iso8601::formatMs(kNow + 3'600'000);
        EXPECT_EQ(UsageText::claudeLevel(claudeLimitReadings(latest).front(), kNow), c.level);
        EXPECT_EQ(
            limitsLevel({limit("claude.fiveHour", *c.pct, kNow - 60'000, kNow + 3'600'000)}, kNow),
            c.level);
    }
    // Known limits, every one past its reset: grey, not the last percent and not absent.
    LatestClaudeUsage gone = withSession(97);
    gone.sessionResetAt = Iso8601::formatMs(kNow - 60'000);
    EXPECT_EQ(UsageText::claudeLevel(claudeLimitReadings(gone).front(), kNow),
              UsageStatusLevel::unknown);
    EXPECT_EQ(limitsLevel({limit("codex.fiveHour", 97, kNow - 7'200'000, kNow - 60'000)}, kNow),
              UsageStatusLevel::unknown);
    EXPECT_EQ(limitsLevel({}, kNow), std::nullopt);
    EXPECT_EQ(UsageText::claudeLevel(std::nullopt, kNow), UsageStatusLevel::unknown);
    // The fullest current window decides; a reset one does not count.
    EXPECT_EQ(limitsLevel({limit("codex.fiveHour", 95, kNow - 7'200'000, kNow - 60'000),
                           limit("codex.weekly", 80, kNow - 60'000, kNow + 86'400'000)},
                          kNow),
              UsageStatusLevel::warn);
    // Activity never takes a limit's colour.
    for (const UsageStatusLevel activity :
         {UsageStatusLevel::good, UsageStatusLevel::warn, UsageStatusLevel::high}) {
        for (const UsageStatusLevel level :
             {UsageStatusLevel::good, UsageStatusLevel::warn, UsageStatusLevel::bad})
            EXPECT_NE(Look::activityColour(activity), Look::levelColour(level));
    }
}

TEST(UsageTextTest, FiveHourTextIsTheClampedSessionPercentage) {
    for (const auto& [pct, text] :
         {std::pair{74.9, "75%"}, std::pair{123.0, "100%"}, std::pair{-4.0, "0%"}})
        EXPECT_EQ(UsageText::fiveHour(withSession(pct)), text) << pct;
    EXPECT_EQ(UsageText::percent(std::nan("")), "0%");
}

// A reset time is shown in the viewer's zone; text that is no time is shown as it came.
TEST(UsageTextTest, ResetTimeInTheLocalZone) {
    EXPECT_EQ(UsageText::reset(QStringLiteral("2030-01-01T05:00:00.000+00:00"),
                               QTimeZone("Europe/Berlin")),
              "01/01 06:00");
    EXPECT_EQ(UsageText::reset(QStringLiteral("tomorrow-ish")), "tomorrow-ish");
    EXPECT_EQ(UsageText::reset(QString()), "-");
}

}  // namespace
}  // namespace qm::gui
