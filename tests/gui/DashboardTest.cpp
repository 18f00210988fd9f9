#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QToolButton>

#include "DarkPalette.h"
#include "DesktopFixture.h"
#include "gui/dashboard/CardGrid.h"
#include "gui/dashboard/DashboardWindow.h"
#include "gui/dashboard/ProviderCard.h"
#include "gui/dashboard/TopSection.h"
#include "gui/mascot/CorgiMascot.h"
#include "gui/panel/MenuBarPanel.h"
#include "gui/widgets/ElidedLabel.h"
#include "gui/widgets/Look.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

class DashboardTest : public DesktopFixture {
protected:
    std::unique_ptr<DashboardWindow> makeWindow() {
        return std::make_unique<DashboardWindow>(&aggregator, &claude, &preferences,
                                                 [this](const QString& id) { opened << id; });
    }
    QStringList opened;
};

// F5 and Ctrl+R refresh from anywhere in the window, as the button's tool tip says.
TEST_F(DashboardTest, F5AndCtrlRRefresh) {
    auto window = makeWindow();
    window->show();
    ASSERT_TRUE(
        waitUntil([&] { return aggregator.lastRefreshAt() && !aggregator.isRefreshing(); }));
    auto* refresh = window->findChild<QPushButton*>("refresh");
    EXPECT_TRUE(refresh->toolTip().contains("F5")) << refresh->toolTip().toStdString();
    QSignalSpy clicks(refresh, &QPushButton::clicked);
    window->activateWindow();
    QTest::keyClick(window.get(), Qt::Key_F5);
    ASSERT_TRUE(waitUntil([&] { return !aggregator.isRefreshing(); }));
    QTest::keyClick(window.get(), Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(clicks.count(), 2);
}

TEST_F(DashboardTest, CardsShowTheToolsFiguresWithFallbacks) {
    auto window = makeWindow();
    EXPECT_EQ(text(window.get(), "lastRefresh"), "Waiting for first refresh");
    window->show();
    ASSERT_TRUE(waitUntil([&] { return aggregator.lastRefreshAt() && !claude.isRefreshing(); }))
        << "the first scan and Claude fetch never ended";
    // One local scan and one Claude fetch on the first appearance.
    EXPECT_EQ(site.requestCount("/api/organizations"), 1);
    EXPECT_EQ(text(window.get(), "lastRefresh"), "Updated now");

    auto* codex = window->findChild<QWidget*>("card_Codex");
    ASSERT_TRUE(codex) << "no Codex card";
    EXPECT_EQ(text(codex, "prompts"), "3");
    EXPECT_EQ(text(codex, "tokens"), "1.2k");
    EXPECT_EQ(text(codex, "model"), "gpt-5");
    EXPECT_EQ(text(codex, "project"), "app");
    EXPECT_TRUE(text(codex, "cost").startsWith('$'));
    auto* grok = window->findChild<QWidget*>("card_Grok");
    ASSERT_TRUE(grok);
    EXPECT_EQ(text(grok, "sessions"), "1");
    // Claude Code is the fourth card, after Gemini.
    QStringList cards;
    for (auto* card : window->findChildren<ProviderCard*>()) cards << card->objectName();
    EXPECT_EQ(cards, (QStringList{"card_Codex", "card_Grok", "card_Gemini", "card_Claude Code"}));
    auto* claudeCode = window->findChild<QWidget*>("card_Claude Code");
    EXPECT_EQ(text(claudeCode, "prompts"), "2");
    EXPECT_EQ(text(claudeCode, "tokens"), "1.4k");
    EXPECT_EQ(text(claudeCode, "project"), "web");

    auto* claudeCard = window->findChild<QWidget*>("claudeCard");
    // Said once, in plain words: the header line above it stays empty.
    EXPECT_EQ(text(claudeCard, "claudeEmptyStatus"), "Sign in to Claude to see your limits.");
    EXPECT_EQ(text(claudeCard, "claudeStatusText"), "");
    window->resize(1100, 820);
    layOut(window.get());
    saveScreenshot(window.get(), QStringLiteral("dashboard-signed-out"));

    // Header buttons open windows by id.
    QTest::mouseClick(window->findChild<QPushButton*>("trends"), Qt::LeftButton);
    QTest::mouseClick(window->findChild<QPushButton*>("accounts"), Qt::LeftButton);
    QTest::mouseClick(window->findChild<QPushButton*>("claudeLoginButton"), Qt::LeftButton);
    EXPECT_EQ(opened, (QStringList{"trends", "accounts", "claude-login"}));
}

TEST_F(DashboardTest, ARefreshShowsNewFiguresInTheSameCardsAndPanelRows) {
    auto window = makeWindow();
    MenuBarPanel panel(&aggregator, &claude, [](const QString&) {});
    window->resize(1100, 820);
    window->show();
    ASSERT_TRUE(waitUntil([&] { return aggregator.lastRefreshAt() && !claude.isRefreshing(); }))
        << "the first scan and Claude fetch never ended";
    layOut(window.get());
    auto* codex = window->findChild<QWidget*>("card_Codex");
    ASSERT_TRUE(codex) << "no Codex card";
    EXPECT_EQ(text(codex, "prompts"), "3");
    EXPECT_EQ(text(&panel, "prompts_Codex"), "3 prompts");
    const QList<QWidget*> cardWidgets = window->findChildren<QWidget*>();
    const QList<QWidget*> panelWidgets = panel.findChildren<QWidget*>();
    // The user is pointing at the Codex cost and has the Trends button focused.
    auto* cost = codex->findChild<QLabel*>("cost");
    QTest::mouseMove(cost, cost->rect().center());
    auto* trends = window->findChild<QPushButton*>("trends");
    trends->setFocus();
    ASSERT_TRUE(waitUntil([&] { return cost->underMouse(); }, 2000))
        << "the pointer never reached the cost";

    // One more prompt in the Codex log.
    QFile log(home.path() + "/.codex/sessions/2025/06/01/rollout-sample.jsonl");
    ASSERT_TRUE(log.open(QIODevice::Append));
    log.write(codexPromptLine(QStringLiteral("And the changelog"), 100) +
              codexUserMessageLine(QStringLiteral("And the changelog"), 100));
    log.close();
    QCoro::waitFor(aggregator.refresh());

    EXPECT_EQ(text(codex, "prompts"), "4");
    EXPECT_EQ(text(&panel, "prompts_Codex"), "4 prompts");
    // Nothing was made again: every widget is the one that was there, so the pointer and the
    // focus stay where they were.
    EXPECT_EQ(window->findChildren<QWidget*>(), cardWidgets);
    EXPECT_EQ(panel.findChildren<QWidget*>(), panelWidgets);
    EXPECT_TRUE(cost->underMouse()) << "the cost's label was made again";
    EXPECT_EQ(window->focusWidget(), trends);
}

// The names of the cards, in their order in the grid.
QStringList cardNamesOf(QWidget* window) {
    QStringList names;
    for (auto* card : window->findChildren<ProviderCard*>()) names << card->objectName();
    return names;
}

TEST_F(DashboardTest, TheNewerToolsHaveACardAndARowOnlyWhileTheyHaveLogs) {
    auto window = makeWindow();
    MenuBarPanel panel(&aggregator, &claude, [](const QString&) {});
    QCoro::waitFor(aggregator.refresh());
    // Never run here: no card, no row, no line in Recent Activity.
    const QStringList four{"card_Codex", "card_Grok", "card_Gemini", "card_Claude Code"};
    EXPECT_EQ(cardNamesOf(window.get()), four);
    for (const char* name : {"prompts_OpenCode", "prompts_Qwen Code"})
        EXPECT_FALSE(panel.findChild<QLabel*>(name)) << name;
    EXPECT_FALSE(window->findChild<QWidget*>("recent_OpenCode"));

    // OpenCode ran an hour ago; Qwen Code has logs, none of them recent.
    refreshFinding({toolWithLogs(ProviderKind::openCode, 4, 12'300, 0.0456),
                    toolWithLogs(ProviderKind::qwenCode, 0, 0, 0)});
    EXPECT_EQ(cardNamesOf(window.get()), four + QStringList({"card_OpenCode", "card_Qwen Code"}));
    auto* openCode = window->findChild<QWidget*>("card_OpenCode");
    EXPECT_EQ(text(openCode, "prompts"), "4");
    EXPECT_EQ(text(openCode, "tokens"), "12.3k");
    EXPECT_EQ(text(openCode, "cost"), "$0.0456");
    EXPECT_EQ(openCode->findChild<StatusDot*>("toolMark")->colour(),
              Look::toolColour(ProviderKind::openCode));
    EXPECT_EQ(text(window->findChild<QWidget*>("card_Qwen Code"), "badge"),
              "Nothing in the last 5 hours");
    EXPECT_EQ(text(window->findChild<QWidget*>("recent_OpenCode"), "task"),
              "Add the refund button");
    EXPECT_EQ(text(&panel, "prompts_OpenCode"), "4 prompts");
    EXPECT_EQ(text(&panel, "tokens_OpenCode"), "12.3k");
    EXPECT_EQ(text(&panel, "prompts_Qwen Code"), "0 prompts");

    // Its logs gone, a tool's card and row go with them; the others stay where they were.
    auto* kept = window->findChild<QWidget*>("card_Codex");
    refreshFinding({ProviderUsage::placeholder(ProviderKind::openCode)});
    EXPECT_EQ(cardNamesOf(window.get()), four + QStringList{"card_Qwen Code"});
    EXPECT_FALSE(panel.findChild<QLabel*>("prompts_OpenCode"));
    EXPECT_FALSE(window->findChild<QWidget*>("recent_OpenCode"));
    EXPECT_EQ(window->findChild<QWidget*>("card_Codex"), kept);
}

// Six tools in the dashboard and the panel, light and dark, wide and narrow, for the pictures:
// every card and row whole and within its window.
TEST_F(DashboardTest, SixToolsFitTheDashboardAndThePanel) {
    refreshFinding({toolWithLogs(ProviderKind::openCode, 4, 12'300, 0.0456),
                    toolWithLogs(ProviderKind::qwenCode, 12, 1'260'000, 1.875)});
    const QPalette light = QApplication::palette();
    struct LightAgain {
        QPalette light;
        ~LightAgain() { QApplication::setPalette(light); }
    } lightAgain{light};
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? darkPalette() : light);
        const QString look = dark ? QStringLiteral("dark") : QStringLiteral("light");
        auto window = makeWindow();
        window->show();
        // Tall enough, when narrow, for the third row of cards.
        for (const auto& [width, columns] : {std::pair{1300, 4}, std::pair{820, 2}}) {
            window->resize(width, width > 1000 ? 900 : 1200);
            layOut(window.get());
            EXPECT_EQ(window->findChild<CardGrid*>()->columns(), columns) << width;
            const QList<ProviderCard*> cards = window->findChildren<ProviderCard*>();
            ASSERT_EQ(cards.size(), 6);
            for (ProviderCard* card : cards) {
                EXPECT_GE(card->width(), CardGrid::kMinColumn) << card->objectName().toStdString();
                EXPECT_EQ(card->y() == cards[0]->y(), cards.indexOf(card) < columns)
                    << "not in the first row: " << card->objectName().toStdString();
            }
            saveScreenshot(window.get(), QStringLiteral("dashboard-six-tools-%1-%2")
                                             .arg(look, width > 1000 ? "wide" : "narrow"));
            saveScreenshot(window->findChild<QWidget*>("recentActivity"),
                           QStringLiteral("recent-activity-six-tools-%1-%2")
                               .arg(look, width > 1000 ? "wide" : "narrow"));
        }
        MenuBarPanel panel(&aggregator, &claude, [](const QString&) {});
        panel.show();
        layOut(&panel);
        for (const char* name : {"tokens_Codex", "tokens_OpenCode", "tokens_Qwen Code"}) {
            auto* figure = panel.findChild<QLabel*>(name);
            ASSERT_TRUE(figure) << name;
            EXPECT_GE(figure->width(), figure->sizeHint().width()) << name;
            EXPECT_LE(figure->geometry().right(), panel.width()) << name;
        }
        EXPECT_EQ(text(&panel, "tokens_Qwen Code"), "1.3M");
        saveScreenshot(&panel, QStringLiteral("panel-six-tools-%1").arg(look));
    }
}

TEST_F(DashboardTest, EmptyFieldsShowDashesAndOnlyTheFirstWarning) {
    // A home without tool folders: every card carries the readers' warnings.
    TempDir empty;
    UsageAggregator bare(empty.path());
    QCoro::waitFor(bare.refresh());
    DashboardWindow window(&bare, &claude, &preferences, [](const QString&) {});
    auto* gemini = window.findChild<QWidget*>("card_Gemini");
    ASSERT_TRUE(gemini);
    EXPECT_EQ(text(gemini, "project"), "-");
    EXPECT_EQ(text(gemini, "model"), "-");
    EXPECT_EQ(text(gemini, "cost"), "$0.0000");
    EXPECT_EQ(text(&window, "task"), "No recent task");
    const auto warnings = bare.usage(ProviderKind::gemini)->warnings;
    ASSERT_FALSE(warnings.isEmpty());
    EXPECT_EQ(text(gemini, "warning"), warnings.first());
}

TEST_F(DashboardTest, ADashboardShownWhileClaudeFetchesStartsNoSecondFetch) {
    signIn();
    const int before = site.requestCount(site.usagePath());
    auto first = claude.refresh();
    ASSERT_TRUE(claude.isRefreshing()) << "the first fetch did not start";
    auto window = makeWindow();
    window->show();
    QCoro::waitFor(first);
    ASSERT_TRUE(waitUntil([&] { return aggregator.lastRefreshAt().has_value(); }));
    // The window's start-up refresh decides on Claude when the logs' refresh ends; one more
    // refresh of the logs, finished, orders that decision before the checks below.
    QCoro::waitFor(aggregator.refresh());
    EXPECT_EQ(site.requestCount(site.usagePath()), before + 1);
    EXPECT_FALSE(claude.isRefreshing()) << "the window started a second fetch";
    window->resize(1100, 900);
    layOut(window.get());
    saveScreenshot(window.get(), QStringLiteral("dashboard"));
}

TEST_F(DashboardTest, MascotSwitchFadesTheDogAndItsStripAndIsRemembered) {
    auto window = makeWindow();
    window->resize(window->minimumSize());
    window->show();
    auto* scroll = window->findChild<QScrollArea*>();
    auto* mascot = window->findChild<CorgiMascot*>("mascot");
    EXPECT_TRUE(window->mascotShown()) << "the dog is off at first";
    EXPECT_TRUE(mascot->isAnimating()) << "the dog stands still";
    layOut(window.get());
    // The dog walks below the scrolling cards, never over them, even at the smallest size.
    EXPECT_GE(mascot->geometry().top(), scroll->geometry().bottom());
    const int scrollHeightWithDog = scroll->height();

    auto* toggle = window->findChild<QCheckBox*>("mascotSwitch");
    EXPECT_TRUE(toggle->isChecked());
    toggle->click();
    ASSERT_TRUE(waitUntil([&] { return !mascot->isVisible(); }, 2000)) << "the dog never faded out";
    layOut(window.get());
    EXPECT_GT(scroll->height(), scrollHeightWithDog) << "the cards did not take the dog's room";
    EXPECT_FALSE(mascot->isAnimating()) << "the hidden dog still walks";
    EXPECT_FALSE(preferences.mascotEnabled());

    // A new window (the next launch) starts with the dog off.
    auto next = makeWindow();
    next->show();
    EXPECT_FALSE(next->mascotShown());
    EXPECT_FALSE(next->findChild<QCheckBox*>("mascotSwitch")->isChecked());
    toggle->click();
    ASSERT_TRUE(waitUntil([&] { return window->mascotShown(); }, 2000));
    EXPECT_TRUE(preferences.mascotEnabled());
}

TEST_F(DashboardTest, TheHeaderKeepsDailyControlsAndTheSettingsMenuTheRest) {
    auto window = makeWindow();
    window->show();
    layOut(window.get());
    // At the default size the Claude card sits beside the header.
    EXPECT_TRUE(window->findChild<TopSection*>()->isSideBySide()) << "the Claude card is stacked";
    auto* header = window->findChild<QWidget*>("header");
    for (const char* name : {"trends", "accounts", "refresh"}) {
        auto* button = header->findChild<QPushButton*>(name);
        ASSERT_TRUE(button) << name;
        EXPECT_TRUE(button->isVisible()) << name;
        EXPECT_FALSE(button->icon().isNull()) << name;
    }
    auto* settings = header->findChild<QToolButton*>("settingsButton");
    ASSERT_TRUE(settings);
    EXPECT_FALSE(settings->icon().isNull());
    // The once-set choices live in its menu, not in the header row.
    QMenu* menu = settings->menu();
    ASSERT_TRUE(menu);
    for (const char* name :
         {"mascotSwitch", "autostartSwitch", "refreshEvery", "notificationsSwitch"}) {
        auto* choice = window->findChild<QWidget*>(name);
        ASSERT_TRUE(choice) << name;
        EXPECT_TRUE(menu->isAncestorOf(choice)) << name;
    }
    // Other parts add their entries (the prices) below the choices.
    EXPECT_EQ(window->menu(), menu);
    menu->popup(settings->mapToGlobal(QPoint(0, settings->height())));
    layOut(menu);
    saveScreenshot(menu, QStringLiteral("dashboard-settings-menu"));
    menu->hide();
}

TEST_F(DashboardTest, NarrowWindowStacksTheClaudeCardAndFoldsTheGrid) {
    auto window = makeWindow();
    window->resize(1300, 760);
    window->show();
    ASSERT_TRUE(waitUntil([&] { return aggregator.lastRefreshAt() && !claude.isRefreshing(); }))
        << "the first scan and Claude fetch never ended";
    layOut(window.get());
    auto* top = window->findChild<TopSection*>();
    auto* grid = window->findChild<CardGrid*>();
    EXPECT_TRUE(top->isSideBySide()) << "the Claude card is stacked in a wide window";
    EXPECT_EQ(grid->columns(), 4);
    for (auto* card : window->findChildren<QWidget*>(QRegularExpression("^card_"))) {
        EXPECT_LE(card->width(), CardGrid::kMaxColumn);
        EXPECT_GE(card->width(), CardGrid::kMinColumn);
    }
    saveScreenshot(window.get(), QStringLiteral("dashboard-wide"));

    window->resize(window->minimumWidth(), 760);
    layOut(window.get());
    // The header's controls are few enough that even the narrowest window keeps the card
    // beside it; narrower than header and card together, it stacks.
    EXPECT_TRUE(top->isSideBySide()) << "the Claude card is stacked at the minimum width";
    EXPECT_EQ(grid->columns(), 2);
    top->resize(TopSection::kCardWidth + 100, top->height());
    EXPECT_FALSE(top->isSideBySide()) << "the card stays beside a header too narrow for both";
    // Nothing scrolls sideways at the minimum width.
    EXPECT_FALSE(window->findChild<QScrollArea*>()->horizontalScrollBar()->isVisible())
        << "the narrowest window scrolls sideways";
    saveScreenshot(window.get(), QStringLiteral("dashboard-narrow"));
}

}  // namespace

namespace {

TEST(ProviderCardTest, SeveralWarningsShowOnlyTheFirstInAtMostTwoLines) {
    ProviderUsage usage = ProviderUsage::placeholder(ProviderKind::codex);
    const QString first = QStringLiteral(
                              "A session file could not be read, so the totals may be "
                              "low; it is skipped until it changes. ")
                              .repeated(3);
    usage.warnings = {first, QStringLiteral("second"), QStringLiteral("third")};
    ProviderCard card;
    card.show(usage, 0);
    card.resize(260, 400);
    card.CardFrame::show();
    layOut(&card);
    auto* warning = card.findChild<ElidedLabel*>("warning");
    EXPECT_EQ(warning->text(), first);
    EXPECT_TRUE(warning->isVisible()) << "the warning is hidden";
    const QStringList lines = warning->visibleLines(warning->width());
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].endsWith(QChar(0x2026))) << "not elided: " << lines[1].toStdString();
    EXPECT_EQ(warning->height(), warning->fontMetrics().lineSpacing() * 2);
    saveScreenshot(&card, QStringLiteral("provider-card-warning"));
    // A short warning takes one line.
    usage.warnings = {QStringLiteral("Gemini directory was not found.")};
    card.show(usage, 0);
    EXPECT_EQ(warning->visibleLines(warning->width()).size(), 1);

    usage.warnings.clear();
    card.show(usage, 0);
    EXPECT_FALSE(warning->isVisible());
}

}  // namespace
