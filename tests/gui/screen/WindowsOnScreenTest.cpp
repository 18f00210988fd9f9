#include <QApplication>
#include <QDialog>
#include <QScreen>

#include "DesktopFixture.h"
#include "accounts/AccountStore.h"
#include "accounts/KeychainStore.h"
#include "accounts/MemorySecretBackend.h"
#include "gui/AppWindows.h"
#include "gui/WindowRegistry.h"
#include "gui/accounts/AccountsWindow.h"
#include "gui/widgets/WindowBehaviour.h"
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

// Every window of the application, declared as the application declares them, on whatever
// screen the test process was given (a 1920 x 1080 screen at scale 2 under ctest).
class WindowsOnScreenTest : public DesktopFixture {
protected:
    WindowsOnScreenTest() {
        AppStores all = stores();
        all.accounts = &accounts;
        all.relay = &relay;
        declareWindows(windows, all);
    }

    static QRect area() { return QGuiApplication::primaryScreen()->availableGeometry(); }
    static void activate(QWidget* window) {
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    }

    AccountStore accounts{AccountConfigStore(AccountConfigStore::pathIn(data.filePath("cfg"))),
                          KeychainStore(std::make_shared<MemorySecretBackend>())};
    GeminiRelayStore relay{GeminiRelayEnvironment{}};
    WindowRegistry windows;  // last, so the windows go before the stores
};

TEST_F(WindowsOnScreenTest, EveryWindowOpensInsideTheScreenAndItsMinimumFitsASmallLaptop) {
    if (qEnvironmentVariable("QT_SCALE_FACTOR") == QLatin1String("2")) {
        EXPECT_EQ(area().size(), QSize(960, 540));
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
        saveScreenshot(window, id);
        window->close();
    }
    // Opened again after the user moved it half off the screen: back inside.
    QWidget* dashboard = windows.open(QStringLiteral("dashboard"));
    dashboard->hide();
    dashboard->move(area().right() - 100, area().bottom() - 100);
    dashboard->show();
    EXPECT_TRUE(area().contains(dashboard->frameGeometry())) << text(dashboard->frameGeometry());
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
