#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
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
    auto* status = window.findChild<QLabel*>("loginStatus");
    EXPECT_EQ(status->text(), "Checking the sign-in...");
    ASSERT_TRUE(waitUntil([&] { return !claude.isRefreshing(); }));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(status->text(), "Not signed in yet. Finish signing in above, then press Done.");
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

TEST_F(ClaudeLoginWindowTest, HidingOrMinimisingKeepsThePageOnlyClosingHandsItBack) {
    ClaudeLoginWindow window(&claude);
    window.show();
    waitForLoginPage();
    // The user is part-way through signing in, on another page of the site.
    QWebEnginePage* page = claude.session()->page();
    QSignalSpy loaded(page, &QWebEnginePage::loadFinished);
    page->load(site.url("/auth/signin"));
    ASSERT_TRUE(loaded.wait(15000));
    const QUrl signingIn = page->url();
    QWebEngineView* view = window.view();
    QSignalSpy started(page, &QWebEnginePage::loadStarted);

    window.showMinimized();
    window.hide();
    settle();
    window.showNormal();
    settle(300);
    EXPECT_EQ(window.view(), view);
    EXPECT_EQ(page->url(), signingIn);
    EXPECT_EQ(started.count(), 0) << "the login page was loaded again";

    // Escape closes it like Cancel: the page goes back to its hidden use.
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.view());
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
