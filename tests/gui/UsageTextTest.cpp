#include <gtest/gtest.h>

#include "gui/UsageText.h"
#include "support/QtPrinters.h"

namespace qm::gui {
namespace {

LatestClaudeUsage withSession(double pct) {
    LatestClaudeUsage usage;
    usage.sessionPct = pct;
    return usage;
}

TEST(UsageTextTest, ClaudeLevelAndFiveHourTextFollowTheSessionPercentage) {
    struct Case {
        double pct;
        UsageStatusLevel level;
        const char* text;
    };
    for (const Case& c :
         {Case{74.9, UsageStatusLevel::good, "75%"}, Case{75, UsageStatusLevel::warn, "75%"},
          Case{90, UsageStatusLevel::bad, "90%"}, Case{123, UsageStatusLevel::bad, "100%"},
          Case{-4, UsageStatusLevel::good, "0%"}}) {
        const auto latest = std::optional(withSession(c.pct));
        // With limits the connection state does not matter.
        EXPECT_EQ(UsageText::claudeLevel(latest, ClaudeUsageStatusKind::error), c.level) << c.pct;
        EXPECT_EQ(UsageText::fiveHour(latest), c.text) << c.pct;
    }
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
