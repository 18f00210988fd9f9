#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include "DesktopFixture.h"
#include "gui/TrayIcon.h"
#include "gui/WindowRegistry.h"
#include "gui/panel/MenuBarPanel.h"
#include "gui/widgets/Look.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

class PanelAndTrayTest : public DesktopFixture {
protected:
    WindowRegistry windows;
};

TEST_F(PanelAndTrayTest, FirstShowScansAndFetchesOnceAndLaterShowsStartNothing) {
    MenuBarPanel panel(&aggregator, &claude, [this](const QString& id) { windows.open(id); });
    EXPECT_FALSE(claude.hasSession());  // no browser before the panel is first shown
    EXPECT_EQ(text(&panel, "claudeStatus"), "Login required");
    EXPECT_EQ(text(&panel, "claudeFiveHour"), "-");
    EXPECT_EQ(panel.findChild<StatusDot*>("claudeDot")->colour(), Look::secondary());

    panel.popUpAt(QRect(300, 0, 22, 22));
    // The session exists a moment before its first fetch starts: wait for the fetch itself.
    ASSERT_TRUE(waitUntil([&] {
        return claude.hasSession() && !claude.isRefreshing() &&
               site.requestCount("/api/organizations") > 0;
    })) << "the first appearance never fetched the limits";
    EXPECT_TRUE(aggregator.lastRefreshAt()) << "the first appearance scanned no logs";
    EXPECT_EQ(site.requestCount("/api/organizations"), 1);
    EXPECT_EQ(text(&panel, "prompts_Codex"), "3 prompts");
    EXPECT_EQ(text(&panel, "prompts_Gemini"), "2 prompts");
    EXPECT_EQ(text(&panel, "prompts_Claude Code"), "2 prompts");
    EXPECT_EQ(text(&panel, "tokens_Claude Code"), "1.4k");
    saveScreenshot(&panel, QStringLiteral("panel-signed-out"));

    // Signed in: the next appearance still fetches, because there are no limits yet. The fetch
    // is under way two turns of the event loop after the panel's paint: the moment the check
    // below, that a later appearance starts nothing, waits for.
    signIn();
    panel.hide();
    AfterPaint secondSeen(&panel);
    panel.popUpAt(QRect(300, 0, 22, 22));
    ASSERT_TRUE(waitUntil([&] { return secondSeen.passed(); })) << "the panel never painted";
    EXPECT_TRUE(claude.isRefreshing() || claude.latest())
        << "the second appearance fetched nothing";
    ASSERT_TRUE(waitUntil([&] { return claude.latest().has_value(); }))
        << claude.statusText().toStdString();
    EXPECT_EQ(text(&panel, "claudeStatus"), "Connected");
    EXPECT_EQ(text(&panel, "claudeFiveHour"), "43%");
    EXPECT_EQ(panel.findChild<StatusDot*>("claudeDot")->colour(),
              Look::levelColour(UsageStatusLevel::good));
    const auto scanned = aggregator.lastRefreshAt();
    const int fetches = site.requestCount(site.usagePath());

    panel.hide();
    AfterPaint thirdSeen(&panel);
    panel.popUpAt(QRect(300, 0, 22, 22));
    // A refresh is started in the turn after the paint and marks its store at once.
    ASSERT_TRUE(waitUntil([&] { return thirdSeen.passed(); })) << "the panel never painted";
    EXPECT_FALSE(aggregator.isRefreshing()) << "a later appearance scanned the logs again";
    EXPECT_FALSE(claude.isRefreshing()) << "a later appearance fetched the limits again";
    EXPECT_EQ(aggregator.lastRefreshAt(), scanned);
    EXPECT_EQ(site.requestCount(site.usagePath()), fetches);
    saveScreenshot(&panel, QStringLiteral("panel"));

    // Escape closes the popup.
    QTest::keyClick(&panel, Qt::Key_Escape);
    EXPECT_FALSE(panel.isVisible()) << "Escape left the panel open";
}

TEST_F(PanelAndTrayTest, PanelButtonsOpenTheDashboardAndRefresh) {
    QStringList opened;
    MenuBarPanel panel(&aggregator, &claude, [&](const QString& id) { opened << id; });
    QCoro::waitFor(aggregator.refresh());
    // From the keyboard as with the mouse: the panel opens with "Open Dashboard" focused, and
    // Tab goes on to Refresh, its right neighbour (the desktop test presses Space).
    panel.show();
    auto* open = panel.findChild<QPushButton*>("openDashboard");
    auto* refresh = panel.findChild<QPushButton*>("refresh");
    ASSERT_EQ(panel.focusWidget(), open);
    QTest::keyClick(open, Qt::Key_Tab);
    EXPECT_EQ(panel.focusWidget(), refresh);
    QTest::keyClick(refresh, Qt::Key_Backtab);
    ASSERT_EQ(panel.focusWidget(), open);
    QTest::keyClick(open, Qt::Key_Space);
    EXPECT_EQ(opened, QStringList{QStringLiteral("dashboard")});

    QTest::mouseClick(refresh, Qt::LeftButton);
    EXPECT_TRUE(aggregator.isRefreshing());
    EXPECT_FALSE(refresh->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return !aggregator.isRefreshing(); }));
    EXPECT_TRUE(refresh->isEnabled());
}

TEST_F(PanelAndTrayTest, TrayTitleCarriesClaudeOnlyOnceLimitsAreKnown) {
    TrayIcon tray(&aggregator, &claude, &windows);
    // No zeros before the logs are read: they would claim the tools were unused.
    EXPECT_EQ(tray.tray()->toolTip(), "Reading logs…");
    QCoro::waitFor(aggregator.refresh());
    // Claude Code has a line of its own in the tool tip; the title keeps its form.
    EXPECT_EQ(tray.title(), "Codex 3 Grok 1 Gemini 2");
    EXPECT_EQ(tray.tray()->toolTip(), "Codex 3 Grok 1 Gemini 2\nClaude Code: 1.4k tokens, $0.0021");
    fetchLimits(R"({"five_hour":{"utilization":41.6},"seven_day":{"utilization":1}})");
    EXPECT_EQ(tray.tray()->toolTip(),
              "Codex 3 Grok 1 Gemini 2 Claude 42%\nClaude Code: 1.4k tokens, $0.0021");

    QStringList actions;
    for (QAction* action : tray.menu()->actions()) {
        if (!action->isSeparator()) actions << action->text();
    }
    EXPECT_EQ(actions, (QStringList{"Show Panel", "Open Dashboard", "Refresh", "Claude Login",
                                    "API Accounts", "Gemini Relay", "Usage Trends", "Quit"}));

    // A click toggles the panel: open, then closed.
    tray.togglePanel(QRect(300, 0, 22, 22));
    ASSERT_TRUE(tray.panel());
    EXPECT_TRUE(tray.panel()->isVisible());
    tray.togglePanel(QRect(300, 0, 22, 22));
    EXPECT_FALSE(tray.panel()->isVisible());
    // Hosts that answer every click with the menu reach the panel through "Show Panel", which
    // opens it even right after it closed, and leaves an open one open.
    QAction* showPanel = tray.menu()->actions().first();
    showPanel->trigger();
    EXPECT_TRUE(tray.panel()->isVisible());
    showPanel->trigger();
    EXPECT_TRUE(tray.panel()->isVisible());
}

TEST(TrayIconArtTest, TheIconIsTheCorgiAndTheLevelMarkChangesIt) {
    const QImage plain = TrayIcon::appIcon().pixmap(64, 64).toImage();
    EXPECT_EQ(plain.size(), QSize(64, 64));
    const QImage marked = TrayIcon::iconWithLevel(UsageStatusLevel::bad).pixmap(64, 64).toImage();
    EXPECT_NE(plain, marked);
    EXPECT_EQ(plain, TrayIcon::iconWithLevel(std::nullopt).pixmap(64, 64).toImage());
    QDir().mkpath(QStringLiteral(QM_SCREENSHOT_DIR));
    marked.save(QStringLiteral(QM_SCREENSHOT_DIR "/tray-icon-bad.png"));
}

}  // namespace
