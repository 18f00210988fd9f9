#include <QAbstractScrollArea>
#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QTabBar>

#include "DarkPalette.h"
#include "DesktopFixture.h"
#include "accounts/AccountStore.h"
#include "accounts/KeychainStore.h"
#include "accounts/MemorySecretBackend.h"
#include "gui/AppWindows.h"
#include "gui/WindowRegistry.h"
#include "gui/accounts/AccountsWindow.h"
#include "gui/mascot/CorgiMascot.h"
#include "gui/panel/MenuBarPanel.h"
#include "gui/widgets/WindowBehaviour.h"
#include "hosts/RemoteHostStore.h"
#include "relay/GeminiRelayStore.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

// Every window at twice the scale. Set while the program starts, before the test main makes
// the application, which reads it once.
[[maybe_unused]] const bool kScaledTwice = qputenv("QT_SCALE_FACTOR", "2");

std::string text(const QRect& r) {
    return QStringLiteral("%1,%2 %3x%4")
        .arg(r.x())
        .arg(r.y())
        .arg(r.width())
        .arg(r.height())
        .toStdString();
}

// The primary screen's pixels, "1920x1080": the screen the test process was given (ctest runs
// it on a 1920 x 1080 and on a 1366 x 768 laptop screen), for the pictures' names.
QString screenName() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize pixels = screen->geometry().size() * screen->devicePixelRatio();
    return QStringLiteral("%1x%2").arg(pixels.width()).arg(pixels.height());
}

bool ignoresSize(const QWidget* widget, Qt::Orientation orientation) {
    const QSizePolicy policy = widget->sizePolicy();
    const auto direction =
        orientation == Qt::Horizontal ? policy.horizontalPolicy() : policy.verticalPolicy();
    return direction == QSizePolicy::Ignored;
}

// What a user could not see whole under `root`: a widget reaching out of it, or one given less
// room than it needs (below its minimum size hint, or, when its height follows its width,
// below that height). What a scroll area holds is reached by scrolling: its page is checked
// on its own.
void collectClipped(QWidget* root, QStringList& found) {
    const QList<QWidget*> children = root->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* w : children) {
        if (!w->isVisibleTo(root) || w->isWindow()) continue;
        const QString name = QStringLiteral("%1 \"%2\" (%3)")
                                 .arg(QString::fromLatin1(w->metaObject()->className()),
                                      w->objectName(), root->objectName());
        if (!root->rect().contains(w->geometry()))
            found << name + QStringLiteral(" reaches out of its parent");
        // As a layout sees it: a minimum size set on the widget (a fixed size) over its hint.
        const QSize hint = w->minimumSizeHint();
        const QSize need(w->minimumWidth() > 0 ? w->minimumWidth() : hint.width(),
                         w->minimumHeight() > 0 ? w->minimumHeight() : hint.height());
        if (need.isValid() && ((!ignoresSize(w, Qt::Horizontal) && w->width() < need.width()) ||
                               (!ignoresSize(w, Qt::Vertical) && w->height() < need.height())))
            found << name + QStringLiteral(" is squeezed below its minimum");
        if (w->hasHeightForWidth() && w->height() < w->heightForWidth(w->width()))
            found << name + QStringLiteral(" is too short for its lines");
        if (auto* scroll = qobject_cast<QScrollArea*>(w); scroll && scroll->widget()) {
            collectClipped(scroll->widget(), found);
            continue;
        }
        if (qobject_cast<QAbstractScrollArea*>(w)) continue;  // a list scrolls its rows
        collectClipped(w, found);
    }
}

QStringList clipped(QWidget* window) {
    QStringList found;
    collectClipped(window, found);
    return found;
}

// Every window of the application, declared as the application declares them, on whatever
// screen the test process was given (a 1920 x 1080 or 1366 x 768 screen at scale 2 under
// ctest).
class WindowsOnScreenTest : public DesktopFixture {
protected:
    WindowsOnScreenTest() {
        all_ = stores();
        all_.accounts = &accounts;
        all_.relay = &relay;
        all_.remoteHosts = &remoteHosts;
        for (const char* name : {"devbox", "user@workstation.example.org"})
            hosts::RemoteHostList(config).add(QString::fromLatin1(name));
        remoteHosts.reload();
        declareWindows(windows, all_);
    }
    ~WindowsOnScreenTest() override { QApplication::setPalette(lightPalette_); }

    static QRect area() { return QGuiApplication::primaryScreen()->availableGeometry(); }
    static void activate(QWidget* window) {
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    }
    // The accounts window of `registry` on its Machines tab.
    static QWidget* machinesTab(WindowRegistry& registry) {
        QWidget* window = registry.open(QStringLiteral("accounts"));
        auto* tabs = window->findChild<QTabBar*>(QStringLiteral("providerPicker"));
        tabs->setCurrentIndex(tabs->count() - 1);
        return window;
    }

    QString config = data.filePath("cfg/config.json");
    AccountStore accounts{AccountConfigStore(config),
                          KeychainStore(std::make_shared<MemorySecretBackend>())};
    GeminiRelayStore relay{GeminiRelayEnvironment{}};
    hosts::RemoteHostStore remoteHosts{config, data.filePath("hosts-cache")};
    AppStores all_;
    WindowRegistry windows;  // after the stores, so the windows go first
    QPalette lightPalette_ = QApplication::palette();
};

TEST_F(WindowsOnScreenTest, EveryWindowOpensInsideTheScreenWithNothingCutOff) {
    if (qEnvironmentVariable("QT_SCALE_FACTOR") == QLatin1String("2")) {
        EXPECT_EQ(QGuiApplication::primaryScreen()->devicePixelRatio(), 2.0);
    }
    for (const QString& id : windowIds()) {
        if (id == QLatin1String("claude-login")) continue;  // the browser process's window
        QWidget* window = windows.open(id);
        ASSERT_TRUE(window) << id.toStdString();
        layOut(window);
        EXPECT_TRUE(area().contains(window->frameGeometry()))
            << id.toStdString() << " at " << text(window->frameGeometry()) << " on "
            << text(area());
        // On a 1366 x 768 screen at scale 1, below a top panel and a title bar.
        const QSize minimum = WindowBehaviour::declaredMinimum(window);
        EXPECT_LE(minimum.width(), 1366) << id.toStdString();
        EXPECT_LE(minimum.height(), 768 - 32 - 36) << id.toStdString();
        EXPECT_EQ(clipped(window), QStringList()) << id.toStdString();
        saveScreenshot(window, id + QLatin1Char('-') + screenName());
        window->close();
    }
    // Opened again after the user moved it half off the screen: back inside.
    QWidget* dashboard = windows.open(QStringLiteral("dashboard"));
    dashboard->hide();
    dashboard->move(area().right() - 100, area().bottom() - 100);
    dashboard->show();
    EXPECT_TRUE(area().contains(dashboard->frameGeometry())) << text(dashboard->frameGeometry());
}

TEST_F(WindowsOnScreenTest, TheMachinesTabAndTheDashboardFitTheSmallestWindowInBothPalettes) {
    for (const bool dark : {false, true}) {
        // The desktop's palette is set before the application makes its windows.
        QApplication::setPalette(dark ? darkPalette() : lightPalette_);
        const QString palette = dark ? QStringLiteral("dark") : QStringLiteral("light");
        WindowRegistry windows;
        declareWindows(windows, all_);
        QWidget* accounts = machinesTab(windows);
        accounts->resize(accounts->minimumSize());
        layOut(accounts);
        EXPECT_TRUE(area().contains(accounts->frameGeometry())) << text(accounts->frameGeometry());
        EXPECT_EQ(clipped(accounts), QStringList()) << palette.toStdString();
        saveScreenshot(accounts, QStringLiteral("machines-%1-%2").arg(palette, screenName()));
        accounts->close();

        QWidget* dashboard = windows.open(QStringLiteral("dashboard"));
        dashboard->resize(dashboard->minimumSize());
        layOut(dashboard);
        EXPECT_EQ(clipped(dashboard), QStringList()) << palette.toStdString();
        // The dog keeps to its share of the window, whatever the screen.
        auto* mascot = dashboard->findChild<CorgiMascot*>();
        ASSERT_TRUE(mascot);
        EXPECT_LE(mascot->height(),
                  std::max(CorgiMascot::kMinimumHeight, int(dashboard->height() * 0.13)))
            << mascot->height() << " of " << dashboard->height();
        saveScreenshot(dashboard, QStringLiteral("dashboard-%1-%2").arg(palette, screenName()));
        dashboard->close();

        MenuBarPanel panel(&aggregator, &claude, [](const QString&) {});
        panel.popUpAt(QRect(area().right() - 40, area().top(), 22, 22));
        layOut(&panel);
        EXPECT_TRUE(area().contains(panel.frameGeometry())) << text(panel.frameGeometry());
        saveScreenshot(&panel, QStringLiteral("panel-%1-%2").arg(palette, screenName()));
    }
}

TEST_F(WindowsOnScreenTest, AWindowOpensOnTheScreenWithThePointer) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.size() < 2) GTEST_SKIP() << "one screen";
    const QRect second = screens[1]->availableGeometry();
    QCursor::setPos(screens[1]->geometry().center());
    ASSERT_EQ(QGuiApplication::screenAt(QCursor::pos()), screens[1]);
    QWidget* trends = windows.open(QStringLiteral("trends"));
    layOut(trends);
    EXPECT_TRUE(second.contains(trends->frameGeometry()))
        << text(trends->frameGeometry()) << " on " << text(second);
    // Centred, give or take the title bar.
    EXPECT_LE((trends->frameGeometry().center() - second.center()).manhattanLength(), 40);
    QCursor::setPos(screens[0]->geometry().center());
}

TEST_F(WindowsOnScreenTest, EscapeAndCtrlWCloseEveryWindowButTheDashboardOnlyOnCtrlW) {
    for (const QString& id : windowIds()) {
        if (id == QLatin1String("claude-login")) continue;  // the browser process's window
        for (const auto& [key, modifiers] : {std::pair{Qt::Key_Escape, Qt::NoModifier},
                                             std::pair{Qt::Key_W, Qt::ControlModifier}}) {
            QWidget* window = windows.open(id);
            activate(window);
            // The keyboard starts on the window's first control.
            ASSERT_TRUE(waitUntil([&] { return window->focusWidget() != nullptr; }, 2000))
                << id.toStdString();
            QTest::keyClick(window, key, modifiers);
            const bool closes = id != QLatin1String("dashboard") || key == Qt::Key_W;
            EXPECT_EQ(!window->isVisible(), closes) << id.toStdString() << " key " << key;
            window->close();
        }
    }
    // The add dialog, over the accounts window.
    auto* accountsWindow = static_cast<AccountsWindow*>(windows.open(QStringLiteral("accounts")));
    accountsWindow->openAddDialog();
    QDialog* dialog = accountsWindow->addDialog();
    ASSERT_TRUE(dialog);
    activate(dialog);
    QTest::keyClick(dialog, Qt::Key_W, Qt::ControlModifier);
    EXPECT_TRUE(waitUntil([&] { return !accountsWindow->addDialog(); }, 2000));
}

}  // namespace
