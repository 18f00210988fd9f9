#include <QLabel>
#include <QPushButton>
#include <QWebEngineView>

#include "DesktopFixture.h"
#include "gui/claude/ClaudeLoginWindow.h"
#include "gui/widgets/Look.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

class ClaudeLoginWindowTest : public DesktopFixture {
protected:
    static QPushButton* button(QWidget* window, const char* name) {
        return window->findChild<QPushButton*>(QString::fromLatin1(name));
    }
    void waitForLoginPage() {
        ASSERT_TRUE(waitUntil(
            [&] { return claude.session()->page()->url().path() == QLatin1String("/login"); }));
    }
};

TEST_F(ClaudeLoginWindowTest, DoneChecksTheSignInAndClosesOnlyOnSuccess) {
    ClaudeLoginWindow window(&claude);
    window.show();
    ASSERT_TRUE(window.view());
    // The window shows the session's own page; it never makes another.
    EXPECT_EQ(window.view()->page(), claude.session()->page());
    EXPECT_TRUE(claude.session()->allowsGoogleLogin());
    waitForLoginPage();
    saveScreenshot(&window, QStringLiteral("claude-login"));

    // Not signed in yet: the check fails and the window stays with the status below.
    QTest::mouseClick(button(&window, "done"), Qt::LeftButton);
    EXPECT_FALSE(button(&window, "done")->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return !claude.isRefreshing(); }));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.findChild<QLabel*>("loginStatus")->text(), "Login required");
    EXPECT_TRUE(button(&window, "done")->isEnabled());

    signIn();
    QTest::mouseClick(button(&window, "done"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window.isVisible(); }));
    EXPECT_TRUE(claude.latest());
    // The page went back to its hidden use and still fetches with the kept cookie.
    EXPECT_FALSE(window.view());
    QCoro::waitFor(claude.refresh());
    EXPECT_EQ(claude.statusKind(), ClaudeUsageStatusKind::connected);
}

TEST_F(ClaudeLoginWindowTest, CancelAndReopenShowTheSamePageAgain) {
    auto window = std::make_unique<ClaudeLoginWindow>(&claude);
    window->show();
    waitForLoginPage();
    QTest::mouseClick(button(window.get(), "cancel"), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->view());
    window->show();
    ASSERT_TRUE(window->view());
    EXPECT_EQ(window->view()->page(), claude.session()->page());
    // Closing while a check runs is safe: the answer finds no window.
    QTest::mouseClick(button(window.get(), "done"), Qt::LeftButton);
    window.reset();
    ASSERT_TRUE(waitUntil([&] { return !claude.isRefreshing(); }));
}

TEST_F(ClaudeLoginWindowTest, AnUnreachableSiteLeavesTheWindowOpenWithTheErrorInRed) {
    ClaudeUsageStore offline(ClaudeUsageStore::SessionFactory([this] {
        auto timings = quick();
        timings.navigationTimeout = std::chrono::milliseconds(1500);
        timings.answerTimeout = std::chrono::milliseconds(1500);
        return std::make_unique<ClaudeWebSession>(data.filePath("offline"),
                                                  QUrl("http://127.0.0.1:9"),
                                                  QStringLiteral("localhost"), timings);
    }));
    ClaudeLoginWindow window(&offline);
    window.show();
    QTest::mouseClick(button(&window, "done"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !offline.isRefreshing(); }));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(offline.statusKind(), ClaudeUsageStatusKind::error);
    auto* status = window.findChild<QLabel*>("loginStatus");
    EXPECT_EQ(status->text(), offline.statusText());
    EXPECT_EQ(status->palette().color(QPalette::WindowText),
              Look::levelColour(UsageStatusLevel::bad));
    saveScreenshot(&window, QStringLiteral("claude-login-unreachable"));
}

}  // namespace
