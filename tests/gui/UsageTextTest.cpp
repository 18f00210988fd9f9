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

TEST(UsageTextTest, WithoutLimitsTheLevelComesFromTheConnectionState) {
    using K = ClaudeUsageStatusKind;
    EXPECT_EQ(UsageText::claudeLevel(std::nullopt, K::needsLogin), UsageStatusLevel::unknown);
    EXPECT_EQ(UsageText::claudeLevel(std::nullopt, K::idle), UsageStatusLevel::unknown);
    EXPECT_EQ(UsageText::claudeLevel(std::nullopt, K::loading), UsageStatusLevel::warn);
    EXPECT_EQ(UsageText::claudeLevel(std::nullopt, K::connected), UsageStatusLevel::good);
    EXPECT_EQ(UsageText::claudeLevel(std::nullopt, K::error), UsageStatusLevel::bad);
    EXPECT_EQ(UsageText::fiveHour(std::nullopt), "-");
    EXPECT_EQ(UsageText::pillText(K::needsLogin), "Login");
}

TEST(UsageTextTest, ResetNumberAndCostTexts) {
    const QTimeZone berlin("Europe/Berlin");
    EXPECT_EQ(UsageText::reset(QStringLiteral("2030-01-01T05:00:00.000+00:00"), berlin),
              "01/01 06:00");
    EXPECT_EQ(UsageText::reset(QStringLiteral("tomorrow-ish")), "tomorrow-ish");
    EXPECT_EQ(UsageText::reset(std::nullopt), "-");
    EXPECT_EQ(UsageText::reset(QString()), "-");

    EXPECT_EQ(UsageText::number(12.5), "12.5");
    EXPECT_EQ(UsageText::number(10.0), "10");
    EXPECT_EQ(UsageText::number(std::nullopt), "-");

    EXPECT_EQ(UsageText::lastRefresh(std::nullopt, 0), "Waiting for first refresh");
    EXPECT_EQ(UsageText::lastRefresh(1'000'000, 1'000'000 + 5 * 60'000), "Updated 5m");
}

}  // namespace
}  // namespace qm::gui
