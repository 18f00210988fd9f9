#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QVBoxLayout>

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
    // Return and the keypad's Enter press it too.
    for (const auto& [key, modifier] : {std::pair{Qt::Key_Return, Qt::NoModifier},
                                        std::pair{Qt::Key_Enter, Qt::KeypadModifier}}) {
        panel.show();
        open->setFocus();
        QTest::keyClick(open, key, modifier);
        EXPECT_FALSE(panel.isVisible());
    }
    EXPECT_EQ(opened, QStringList(3, QStringLiteral("dashboard")));

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

    // The newer tools too have a line each once they have used something; the title stays.
    refreshFinding({toolWithLogs(ProviderKind::openCode, 4, 12'300, 0.0456),
                    toolWithLogs(ProviderKind::qwenCode, 0, 0, 0)});
    EXPECT_EQ(tray.tray()->toolTip(),
              "Codex 3 Grok 1 Gemini 2 Claude 42%\nClaude Code: 1.4k tokens, $0.0021\n"
              "OpenCode: 12.3k tokens, $0.0456");
    refreshFinding({toolWithLogs(ProviderKind::qwenCode, 2, 800, 0.0012)});
    EXPECT_TRUE(tray.tray()->toolTip().endsWith(
        "OpenCode: 12.3k tokens, $0.0456\nQwen Code: 800 tokens, $0.0012"))
        << tray.tray()->toolTip().toStdString();

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

// Return presses the focused button in a plain window, and nothing else changes its meaning: a
// line edit still takes it, and a dialog's Return still goes to its default button.
TEST(ReturnKeyTest, ReturnPressesTheFocusedButtonAndLeavesFieldsAndDialogsAlone) {
    QWidget window;
    auto* field = new QLineEdit(&window);
    auto* button = new QPushButton(QStringLiteral("Go"), &window);
    auto* box = new QCheckBox(QStringLiteral("Often"), &window);
    auto* column = new QVBoxLayout(&window);
    for (QWidget* w : std::initializer_list<QWidget*>{field, button, box}) column->addWidget(w);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QSignalSpy clicked(button, &QPushButton::clicked);
    QSignalSpy entered(field, &QLineEdit::returnPressed);

    button->setFocus();
    QTest::keyClick(button, Qt::Key_Return);
    EXPECT_EQ(clicked.count(), 1);
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(box->isChecked());
    // With a modifier it is some other command's key.
    QTest::keyClick(box, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_TRUE(box->isChecked());
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(entered.count(), 1);
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_TRUE(box->isChecked());

    QDialog dialog;
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setDefault(true);
    auto* option = new QCheckBox(QStringLiteral("Remember"), &dialog);
    auto* rows = new QVBoxLayout(&dialog);
    rows->addWidget(option);
    rows->addWidget(ok);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    option->setFocus();
    QTest::keyClick(option, Qt::Key_Return);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(option->isChecked());
}

// How far apart two colours are: the largest difference of a channel.
int colourDistance(const QColor& a, const QColor& b) {
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                     std::abs(a.blue() - b.blue())});
}

// From the centre of the level's dot (half the icon's side across, in its bottom right
// corner) outwards along `step`: past the dot, the next pixels are the ring's colour, before
// any of the corgi's.
bool ringAround(const QImage& image, QPoint step, const QColor& dot, const QColor& ring) {
    QPoint at(image.width() * 3 / 4, image.height() * 3 / 4);
    while (image.rect().contains(at) && colourDistance(image.pixelColor(at), dot) < 40) at += step;
    for (int i = 0; i < 2 && image.rect().contains(at); ++i, at += step) {
        if (colourDistance(image.pixelColor(at), ring) < 40) return true;
    }
    return false;
}

TEST(TrayIconArtTest, TheLevelDotHasARingOnEveryPaletteAndSize) {
    const QPalette saved = QApplication::palette();
    const QImage plain = TrayIcon::appIcon().pixmap(64, 64).toImage();
    EXPECT_EQ(plain.size(), QSize(64, 64));
    EXPECT_EQ(plain, TrayIcon::iconWithLevel(std::nullopt).pixmap(64, 64).toImage());
    QDir().mkpath(QStringLiteral(QM_SCREENSHOT_DIR));
    for (const QColor window : {QColor(0xef, 0xef, 0xef), QColor(0x2b, 0x2b, 0x2b)}) {
        QPalette palette = saved;
        palette.setColor(QPalette::Window, window);
        QApplication::setPalette(palette);
        // Orange on the orange coat is the case the ring is for.
        for (UsageStatusLevel level : {UsageStatusLevel::warn, UsageStatusLevel::bad}) {
            const QIcon icon = TrayIcon::iconWithLevel(level);
            const QColor dot = Look::levelColour(level);
            // Every size side by side on the panel's colour, for the pictures.
            QImage sizes(16 + 22 + 24 + 32 + 48 + 64 + 6 * 4, 64, QImage::Format_ARGB32);
            sizes.fill(window);
            QPainter strip(&sizes);
            int x = 0;
            for (int side : {16, 22, 24, 32, 48, 64}) {
                const QImage image = icon.pixmap(side, side).toImage();
                ASSERT_EQ(image.size(), QSize(side, side));
                const std::string where = QStringLiteral("%1 px on %2, level %3")
                                              .arg(side)
                                              .arg(window.name())
                                              .arg(int(level))
                                              .toStdString();
                EXPECT_LT(colourDistance(image.pixelColor(side * 3 / 4, side * 3 / 4), dot), 40)
                    << where;
                for (const QPoint step : {QPoint(-1, 0), QPoint(0, -1), QPoint(-1, -1)})
                    EXPECT_TRUE(ringAround(image, step, dot, window)) << where;
                strip.drawImage(x, 0, image);
                x += side + 4;
            }
            strip.end();
            // Four times larger, pixel for pixel, to look at.
            sizes.scaled(sizes.size() * 4)
                .save(QStringLiteral(QM_SCREENSHOT_DIR "/tray-icon-%1-level%2.png")
                          .arg(window.lightness() > 128 ? "light" : "dark")
                          .arg(int(level)));
            // At twice the scale a 22-point tray gets 44 pixels drawn for it, not 22 stretched.
            const QPixmap sharp = icon.pixmap(QSize(22, 22), 2.0);
            EXPECT_EQ(sharp.size(), QSize(44, 44));
            EXPECT_EQ(sharp.devicePixelRatio(), 2.0);
        }
    }
    QApplication::setPalette(saved);
}

}  // namespace
