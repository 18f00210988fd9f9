#include <QDateTime>
#include <QLabel>

#include "DesktopFixture.h"
#include "gui/TrayIcon.h"
#include "gui/WindowRegistry.h"
#include "gui/claude/ClaudeCard.h"
#include "gui/dashboard/DashboardWindow.h"
#include "gui/dashboard/ProviderCard.h"
#include "gui/panel/MenuBarPanel.h"
#include "gui/widgets/LimitBar.h"
#include "support/TestTimes.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

using test::kMinute;

// A time as the bars show it beside `now`: its date too when it falls on another day, as it
// does when the test runs close to midnight.
QString shownTime(TimeMs at, TimeMs now) {
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(at);
    const bool sameDay = when.date() == QDateTime::fromMSecsSinceEpoch(now).date();
    return when.toString(sameDay ? QStringLiteral("HH:mm") : QStringLiteral("MM/dd HH:mm"));
}

// The sample home plus a Codex session whose logs report its plan limits three times, the
// newest a quarter of an hour ago: the five-hour window climbs from 62% to 80%, the weekly one
// holds at 42%.
class LimitsOnScreenTest : public DesktopFixture {
protected:
    LimitsOnScreenTest() {
        const qint64 seconds = now / 1000;
        QByteArray lines = codexMetaLine(QStringLiteral("019a0000-0000-7000-8000-0000000000c1"),
                                         QStringLiteral("/home/dev/app"), 3600);
        for (const auto& [minutesAgo, percent] : {std::pair{45, 62.0}, {30, 71.0}, {15, 80.0}}) {
            lines += codexRateLimitsLine(percent, 42, seconds + 2 * 3600, seconds + 3 * 86400,
                                         minutesAgo * 60.0);
        }
        home.write(QStringLiteral(".codex/sessions/2026/12/07/rollout-2026-12-07T10-00-00-c.jsonl"),
                   lines);
        QCoro::waitFor(aggregator.refresh());
    }

    const TimeMs now = QDateTime::currentMSecsSinceEpoch();
    WindowRegistry windows;
};

TEST_F(LimitsOnScreenTest, CodexLimitsShowOnItsCardInThePanelAndInTheTrayDot) {
    DashboardWindow dashboard(&aggregator, &claude, &preferences, [](const QString&) {});
    dashboard.setHistory(&history);
    auto* codexCard = dashboard.findChild<QWidget*>(QStringLiteral("card_Codex"));
    ASSERT_TRUE(codexCard);
    auto* fiveHour = codexCard->findChild<LimitBar*>(QStringLiteral("bar_5h"));
    auto* week = codexCard->findChild<LimitBar*>(QStringLiteral("bar_Week"));
    ASSERT_TRUE(fiveHour && week);
    EXPECT_EQ(text(fiveHour, "percent"), "80%");
    // Read a quarter of an hour ago: the bar says when.
    const QString reset = QDateTime::fromMSecsSinceEpoch(now / 1000 * 1000 + 2 * 3600'000)
                              .toString(QStringLiteral("MM/dd HH:mm"));
    EXPECT_EQ(text(fiveHour, "reset"),
              QStringLiteral("Reset %1 · read %2").arg(reset, shownTime(now - 15 * kMinute, now)));
    // 36% an hour from 80%: full 33 minutes after the newest report.
    auto* forecast = fiveHour->findChild<QLabel*>(QStringLiteral("forecast"));
    EXPECT_FALSE(forecast->isHidden());
    const QString fullAt = shownTime(now - 15 * kMinute + 20 * 3600'000 / 36, now);
    EXPECT_EQ(forecast->text(), QStringLiteral("Full at %1 at this pace").arg(fullAt));
    EXPECT_EQ(text(week, "percent"), "42%");
    EXPECT_TRUE(week->findChild<QLabel*>(QStringLiteral("forecast"))->isHidden());
    // Tools whose logs report no limits show no bars.
    auto* grokLimits =
        dashboard.findChild<QWidget*>(QStringLiteral("card_Grok"))->findChild<LimitBars*>();
    EXPECT_TRUE(grokLimits->isHidden());

    AfterPaint dashboardSeen(&dashboard);
    dashboard.resize(1180, 860);
    dashboard.show();
    layOut(&dashboard);
    saveScreenshot(&dashboard, QStringLiteral("dashboard-codex-limits-wide"));
    dashboard.resize(820, 860);
    layOut(&dashboard);
    saveScreenshot(&dashboard, QStringLiteral("dashboard-codex-limits-narrow"));

    MenuBarPanel panel(&aggregator, &claude, [](const QString&) {});
    EXPECT_EQ(text(&panel, "prompts_Codex"), "3 prompts · 5h 80%");
    EXPECT_EQ(text(&panel, "prompts_Grok"), "1 prompt");
    saveScreenshot(&panel, QStringLiteral("panel-codex-limits"));

    // Without Claude limits, the dot is Codex's: 80% is a warning. The title keeps its form.
    TrayIcon tray(&aggregator, &claude, &windows);
    EXPECT_EQ(tray.tray()->icon().pixmap(64, 64).toImage(),
              TrayIcon::iconWithLevel(UsageStatusLevel::warn).pixmap(64, 64).toImage());
    const QStringList tip = tray.tray()->toolTip().split('\n');
    ASSERT_EQ(tip.size(), 3) << tray.tray()->toolTip().toStdString();
    EXPECT_EQ(tip[0], "Codex 3 Grok 1 Gemini 2");
    EXPECT_TRUE(tip[2].startsWith(QStringLiteral("Codex limits: 5-hour 80% (resets ")))
        << tip[2].toStdString();
    EXPECT_TRUE(tip[2].endsWith(QStringLiteral(", read ") + shownTime(now - 15 * kMinute, now)))
        << tip[2].toStdString();

    // Claude's limits join in: the fuller of the two sets the dot. (The dashboard's first
    // appearance started a Claude fetch of its own once it was painted; it ends before signing
    // in.)
    ASSERT_TRUE(waitUntil([&] { return dashboardSeen.passed(); })) << "the dashboard never painted";
    ASSERT_TRUE(waitUntil([&] { return !claude.isRefreshing(); }))
        << "the dashboard's Claude fetch never ended";
    fetchLimits(R"({"five_hour":{"utilization":93},"seven_day":{"utilization":1}})");
    EXPECT_EQ(tray.tray()->icon().pixmap(64, 64).toImage(),
              TrayIcon::iconWithLevel(UsageStatusLevel::bad).pixmap(64, 64).toImage());
}

TEST_F(LimitsOnScreenTest, TheClaudeCardProjectsFromTheHistorysSnapshots) {
    // 20% a quarter of an hour: at 43% now, the rest takes 43 minutes.
    history.appendClaudeSnapshot({now - 30 * kMinute, 3, 10, 5, QStringLiteral("Opus")});
    history.appendClaudeSnapshot({now - 15 * kMinute, 23, 10, 5, QStringLiteral("Opus")});
    ClaudeCard card(&claude, &aggregator, [](const QString&) {});
    card.setHistory(&history);
    const QString reset =
        QDateTime::fromMSecsSinceEpoch(now + 3 * 3600'000).toUTC().toString(Qt::ISODate);
    fetchLimits(
        QStringLiteral(R"({"five_hour":{"utilization":43,"resets_at":"%1"},)"
                       R"("seven_day":{"utilization":10},"seven_day_opus":{"utilization":5}})")
            .arg(reset)
            .toUtf8());
    auto* fiveHour = card.findChild<LimitBar*>(QStringLiteral("bar_5h"));
    ASSERT_TRUE(fiveHour);
    auto* forecast = fiveHour->findChild<QLabel*>(QStringLiteral("forecast"));
    EXPECT_FALSE(forecast->isHidden());
    EXPECT_TRUE(forecast->text().startsWith("Full at ")) << forecast->text().toStdString();
    const std::optional<TimeMs> projected =
        claudeLimitReadings(*claude.latest(), now, history.claudeSnapshots(),
                            QDateTime::currentMSecsSinceEpoch())
            .front()
            .projectedFullAt;
    ASSERT_TRUE(projected);
    EXPECT_NEAR(double(*projected - now), double(43 * kMinute), double(kMinute));
    EXPECT_EQ(forecast->text(),
              QStringLiteral("Full at %1 at this pace").arg(shownTime(*projected, now)));
    // Flat weekly readings project nothing.
    EXPECT_TRUE(card.findChild<LimitBar*>(QStringLiteral("bar_Week"))
                    ->findChild<QLabel*>(QStringLiteral("forecast"))
                    ->isHidden());
    card.resize(330, card.sizeHint().height());
    card.show();
    layOut(&card);
    saveScreenshot(&card, QStringLiteral("claude-card-forecast"));
}

TEST(LimitsPastTheirReset, TheCardShowsTheWindowAsReadBeforeItsResetAndAsNewAfter) {
    // Codex's logs reported at 20:10: five hours at 52.8% until 23:51, the week at 12%.
    const TimeMs reset = QDateTime(QDate(2026, 12, 7), QTime(23, 51)).toMSecsSinceEpoch();
    ProviderUsage usage;
    usage.providerName = QStringLiteral("Codex");
    usage.planLimits = CodexPlanLimits{PlanWindow{52.8, 300, reset},
                                       PlanWindow{12, 10080, reset + 3 * 24 * 60 * kMinute},
                                       QStringLiteral("plus"), reset - 221 * kMinute};
    ProviderCard card;
    card.show(usage, reset - 215 * kMinute);
    auto* fiveHour = card.findChild<LimitBar*>(QStringLiteral("bar_5h"));
    ASSERT_TRUE(fiveHour);
    EXPECT_EQ(text(fiveHour, "percent"), "53%");
    EXPECT_EQ(text(fiveHour, "reset"), "Reset 12/07 23:51");

    // At 02:32 that window is long gone: a new one, with nothing known used.
    const TimeMs later = reset + 161 * kMinute;
    card.show(usage, later);
    ASSERT_EQ(card.findChild<LimitBar*>(QStringLiteral("bar_5h")), fiveHour);
    EXPECT_EQ(text(fiveHour, "percent"), "0%");
    EXPECT_EQ(text(fiveHour, "reset"), "Reset at 12/07 23:51 · new window");
    EXPECT_TRUE(fiveHour->findChild<QLabel*>(QStringLiteral("forecast"))->isHidden());
    auto* week = card.findChild<LimitBar*>(QStringLiteral("bar_Week"));
    ASSERT_TRUE(week);
    EXPECT_EQ(text(week, "percent"), "12%");
}

TEST_F(LimitsOnScreenTest, AWindowPastItsResetShowsAsNewOnTheCardsInThePanelAndTheTray) {
    // Codex last reported two hours ago, of a five-hour window that reset an hour ago.
    const qint64 seconds = now / 1000;
    home.write(QStringLiteral(".codex/sessions/2026/12/07/rollout-2026-12-07T10-00-00-c.jsonl"),
               codexMetaLine(QStringLiteral("019a0000-0000-7000-8000-0000000000c1"),
                             QStringLiteral("/home/dev/app"), 3 * 3600) +
                   codexRateLimitsLine(80, 42, seconds - 3600, seconds + 3 * 86400, 7200));
    QCoro::waitFor(aggregator.refresh());
    const QString codexReset = shownTime((seconds - 3600) * 1000, now);

    MenuBarPanel panel(&aggregator, &claude, [](const QString&) {});
    EXPECT_TRUE(text(&panel, "prompts_Codex").endsWith(" · 5h 0%, reset at " + codexReset))
        << text(&panel, "prompts_Codex").toStdString();
    TrayIcon tray(&aggregator, &claude, &windows);
    const QStringList tip = tray.tray()->toolTip().split('\n');
    ASSERT_EQ(tip.size(), 3) << tray.tray()->toolTip().toStdString();
    EXPECT_TRUE(tip[2].startsWith("Codex limits: 5-hour 0% (reset at " + codexReset +
                                  "), weekly 42% (resets "))
        << tip[2].toStdString();
    // The week at 42% still holds and sets the dot; the 80% of the window gone by does not.
    EXPECT_EQ(tray.tray()->icon().pixmap(64, 64).toImage(),
              TrayIcon::iconWithLevel(UsageStatusLevel::good).pixmap(64, 64).toImage());

    // The Claude session reset five minutes ago, after the site last reported it.
    ClaudeCard card(&claude, &aggregator, [](const QString&) {});
    const TimeMs claudeReset = now - 5 * kMinute;
    fetchLimits(QStringLiteral(R"({"five_hour":{"utilization":96,"resets_at":"%1"},)"
                               R"("seven_day":{"utilization":10}})")
                    .arg(QDateTime::fromMSecsSinceEpoch(claudeReset).toUTC().toString(Qt::ISODate))
                    .toUtf8());
    auto* session = card.findChild<LimitBar*>(QStringLiteral("bar_5h"));
    ASSERT_TRUE(session);
    EXPECT_EQ(text(session, "percent"), "0%");
    // The site's stamp has whole seconds: the minute shown is the one it falls in.
    const QString claudeShown = shownTime(claudeReset / 1000 * 1000, now);
    EXPECT_EQ(text(session, "reset"), "Reset at " + claudeShown + " · new window");
    EXPECT_EQ(text(&panel, "claudeFiveHour"), "0%");
    EXPECT_EQ(panel.findChild<QLabel*>(QStringLiteral("claudeFiveHour"))->toolTip(),
              "reset at " + claudeShown);
    EXPECT_TRUE(tray.tray()->toolTip().startsWith("Codex 3 Grok 1 Gemini 2 Claude 0%"))
        << tray.tray()->toolTip().toStdString();
    card.resize(330, card.sizeHint().height());
    card.show();
    layOut(&card);
    saveScreenshot(&card, QStringLiteral("claude-card-after-reset"));
}

}  // namespace
