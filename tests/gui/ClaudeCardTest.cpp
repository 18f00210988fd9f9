#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include "DesktopFixture.h"
#include "gui/claude/ClaudeCard.h"
#include "gui/panel/MenuBarPanel.h"
#include "gui/widgets/ElidedLabel.h"
#include "gui/widgets/LimitBar.h"
#include "gui/widgets/Look.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

class ClaudeCardTest : public DesktopFixture {
protected:
    std::unique_ptr<ClaudeCard> makeCard() {
        auto card = std::make_unique<ClaudeCard>(&claude, &aggregator,
                                                 [this](const QString& id) { opened << id; });
        card->resize(330, card->sizeHint().height());
        return card;
    }
    static QStringList rows(QWidget* card) {
        QStringList names;
        for (QWidget* w : card->findChildren<QWidget*>(QRegularExpression("^(bar|row)_"))) {
            names << w->objectName();
        }
        return names;
    }
    QStringList opened;
};

TEST_F(ClaudeCardTest, WithoutLimitsItOffersTheLogin) {
    auto card = makeCard();
    EXPECT_EQ(text(card.get(), "claudeEmptyStatus"), "Login required");
    auto* pill = card->findChild<Pill*>("claudePill");
    EXPECT_EQ(pill->text(), "Login");
    EXPECT_EQ(pill->colour(), Look::secondary());
    EXPECT_TRUE(rows(card.get()).isEmpty());
    card->show();
    QTest::mouseClick(card->findChild<QPushButton*>("claudeLoginButton"), Qt::LeftButton);
    QTest::mouseClick(card->findChild<QToolButton*>("claudePersonButton"), Qt::LeftButton);
    EXPECT_EQ(opened, (QStringList{"claude-login", "claude-login"}));
    // Showing the card alone starts no fetch: its window's appearance does that.
    EXPECT_FALSE(claude.hasSession());
    saveScreenshot(card.get(), QStringLiteral("claude-card-signed-out"));
}

TEST_F(ClaudeCardTest, AFailureReadsAsOnePlainSentenceWithTheRawErrorInTheToolTip) {
    signIn();
    // The page's own fetch fails as a browser reports a dropped connection.
    site.route(site.usagePath(), [](const FakeClaudeRequest&) {
        return FakeClaudeReply::redirect("http://127.0.0.1:9/unreachable");
    });
    auto card = makeCard();
    QCoro::waitFor(claude.refresh());
    ASSERT_EQ(claude.statusKind(), ClaudeUsageStatusKind::error);
    const QString sentence = claude.statusText();
    EXPECT_TRUE(sentence == "Can't reach claude.ai. Check the connection, then Refresh." ||
                sentence == "claude.ai changed its answer; the limits can't be read.")
        << sentence.toStdString();
    // Once on the card, never the raw failure; that is a hover away.
    int shown = 0;
    for (QLabel* label : card->findChildren<QLabel*>()) {
        shown += label->text() == sentence;
        EXPECT_FALSE(label->text().contains(claude.errorDetail())) << label->text().toStdString();
    }
    EXPECT_EQ(shown, 1);
    auto* body = card->findChild<QLabel*>("claudeEmptyStatus");
    EXPECT_TRUE(body->toolTip().contains(claude.errorDetail()));
    EXPECT_FALSE(claude.errorDetail().isEmpty());
    card->show();
    saveScreenshot(card.get(), QStringLiteral("claude-card-unreachable"));

    // The panel says the whole sentence, over two lines where one is too short.
    MenuBarPanel panel(&aggregator, &claude, [](const QString&) {});
    panel.show();
    layOut(&panel);
    auto* status = panel.findChild<ElidedLabel*>("claudeStatus");
    ASSERT_NE(status, nullptr);
    const QStringList lines = status->visibleLines(status->width());
    EXPECT_LE(lines.size(), 2);
    EXPECT_EQ(lines.join(' ').simplified(), sentence.simplified()) << lines.join('|').toStdString();
    saveScreenshot(&panel, QStringLiteral("panel-claude-unreachable"));
}

TEST_F(ClaudeCardTest, PlainLimitsShowExactlyThreeBarsClampedToTheScale) {
    auto card = makeCard();
    card->show();
    fetchLimits(R"({"five_hour":{"utilization":130,"resets_at":"soon"},)"
                R"("seven_day":{"utilization":-5},)"
                R"("seven_day_sonnet":{"utilization":3}})");
    EXPECT_EQ(rows(card.get()), (QStringList{"bar_5h", "bar_Week", "bar_Sonnet"}));
    auto* session = card->findChild<QWidget*>("bar_5h");
    EXPECT_EQ(text(session, "percent"), "100%");
    // Over the scale the bar is full and red; under it, empty and green.
    EXPECT_EQ(session->findChild<LevelBar*>()->fillColour(),
              Look::levelColour(UsageStatusLevel::bad));
    auto* week = card->findChild<QWidget*>("bar_Week");
    EXPECT_EQ(text(week, "percent"), "0%");
    EXPECT_EQ(week->findChild<LevelBar*>()->fillColour(),
              Look::levelColour(UsageStatusLevel::good));
    EXPECT_EQ(text(session, "reset"), "Reset soon");
    EXPECT_EQ(text(week, "reset"), "Reset -");
    EXPECT_EQ(card->findChild<Pill*>("claudePill")->text(), "Connected");
    EXPECT_EQ(text(card.get(), "claudeStatusText"), "Connected");
    // No scan yet: no Claude Code line.
    EXPECT_FALSE(card->findChild<QLabel*>("claudeCodeFiveHour"));
}

TEST_F(ClaudeCardTest, TheFiveHourBarCarriesClaudeCodeOfTheSameWindow) {
    auto card = makeCard();
    card->show();
    fetchLimits(R"({"five_hour":{"utilization":41.6},"seven_day":{"utilization":12}})");
    QCoro::waitFor(aggregator.refresh());
    // Sonnet 4.5: 100 input, 50 output, 1000 cache reads, 200 five-minute cache writes.
    const double cost = 100 * 3e-6 + 50 * 15e-6 + 1'000 * 0.3e-6 + 200 * 3.75e-6;
    ASSERT_EQ(QString::asprintf("$%.4f", cost), "$0.0021");
    EXPECT_EQ(text(card->findChild<QWidget*>("bar_5h"), "claudeCodeFiveHour"),
              "Claude Code: 1.4k tokens, $0.0021");
    EXPECT_FALSE(card->findChild<QWidget*>("bar_Week")->findChild<QLabel*>("claudeCodeFiveHour"));
    card->resize(330, card->sizeHint().height());
    layOut(card.get());
    saveScreenshot(card.get(), QStringLiteral("claude-card-with-claude-code"));
}

TEST_F(ClaudeCardTest, DesignRoutinesAndExtraRowsFollowTheSite) {
    auto card = makeCard();
    card->show();
    fetchLimits(R"({"five_hour":{"utilization":42},"seven_day":{"utilization":17},)"
                R"("seven_day_opus":{"utilization":8},"seven_day_design":{"utilization":12},)"
                R"("daily_routines":{"used":3,"limit":5,"resets_at":"later"},)"
                R"("extra_usage":{"is_enabled":true,"used_credits":12.5}})");
    EXPECT_EQ(rows(card.get()), (QStringList{"bar_5h", "bar_Week", "bar_Opus", "bar_Design",
                                             "row_Routines", "row_Extra"}));
    auto* routines = card->findChild<QWidget*>("row_Routines");
    EXPECT_EQ(text(routines, "value"), "3 / 5");
    EXPECT_EQ(text(routines, "detail"), "later");
    auto* extra = card->findChild<QWidget*>("row_Extra");
    EXPECT_EQ(text(extra, "value"), "12.5 / -");
    EXPECT_EQ(text(extra, "detail"), "-");
    card->resize(330, card->sizeHint().height());
    layOut(card.get());
    saveScreenshot(card.get(), QStringLiteral("claude-card"));

    // Extra usage that is switched off is not shown.
    site.setUsageBody(R"({"five_hour":{"utilization":42},"extra_usage":{"is_enabled":false,)"
                      R"("used_credits":3}})");
    QCoro::waitFor(claude.refresh());
    EXPECT_FALSE(rows(card.get()).contains("row_Extra"));

    // The refresh button is off while a fetch runs.
    auto* refresh = card->findChild<QToolButton*>("claudeRefresh");
    auto running = claude.refresh();
    EXPECT_FALSE(refresh->isEnabled());
    QCoro::waitFor(running);
    EXPECT_TRUE(refresh->isEnabled());
}

}  // namespace
