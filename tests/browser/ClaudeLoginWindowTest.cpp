#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWebEngineView>
#include <QWindow>

#include "ClaudeSiteFixture.h"
#include "browser/ClaudeLoginWindow.h"
#include "support/Screenshots.h"

using namespace qm;
using namespace qm::test;

namespace {

class ClaudeLoginWindowTest : public ClaudeSiteFixture {
protected:
    static QPushButton* button(QWidget* window, const char* name) {
        return window->findChild<QPushButton*>(QString::fromLatin1(name));
    }
    void waitForLoginPage() {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return session->page()->url().path() == QLatin1String("/login"); }, 15000));
    }

    std::unique_ptr<ClaudeWebSession> session = makeSession();
};

TEST_F(ClaudeLoginWindowTest, DoneAsksTheApplicationAndWaitsForItsAnswer) {
    ClaudeLoginWindow window(session.get());
    QSignalSpy done(&window, &ClaudeLoginWindow::doneRequested);
    QSignalSpy closed(&window, &ClaudeLoginWindow::closed);
    window.show();
    ASSERT_TRUE(window.view());
    // The window shows the session's own page; it never makes another.
    EXPECT_EQ(window.view()->page(), session->page());
    EXPECT_TRUE(session->allowsGoogleLogin());
    waitForLoginPage();

    // "Done" is heard at once and waits (a second press asks nothing more) for the answer.
    QTest::mouseClick(button(&window, "done"), Qt::LeftButton);
    QTest::mouseClick(button(&window, "done"), Qt::LeftButton);
    EXPECT_EQ(done.count(), 1);
    EXPECT_FALSE(button(&window, "done")->isEnabled());
    window.setStatus(
        {QStringLiteral("Not signed in yet."), QStringLiteral("Login required"), false, false});
    auto* status = window.findChild<QLabel*>("loginStatus");
    EXPECT_EQ(status->text(), "Not signed in yet.");
    EXPECT_EQ(status->toolTip(), "Login required");
    EXPECT_TRUE(button(&window, "done")->isEnabled());

    saveScreenshot(&window, QStringLiteral("claude-login"));

    // An error reads in a colour apart from the ordinary status.
    const QColor ordinary = status->palette().color(QPalette::WindowText);
    window.setStatus({QStringLiteral("Can't reach claude.ai. Check the connection, then Refresh."),
                      {},
                      true,
                      false});
    EXPECT_NE(status->palette().color(QPalette::WindowText), ordinary);
    saveScreenshot(&window, QStringLiteral("claude-login-unreachable"));

    // Cancel hands the page back to its hidden use, where it still works.
    QTest::mouseClick(button(&window, "cancel"), Qt::LeftButton);
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(window.view()) << "Cancel kept the page in the window";
    const ClaudeUsageResult result = QCoro::waitFor(session->fetchUsage());
    EXPECT_EQ(describe(result), "Login required");
}

TEST_F(ClaudeLoginWindowTest, HidingOrMinimisingKeepsThePageOnlyClosingHandsItBack) {
    ClaudeLoginWindow window(session.get());
    QSignalSpy closed(&window, &ClaudeLoginWindow::closed);
    window.show();
    waitForLoginPage();
    // The user is part-way through signing in, on another page of the site.
    QWebEnginePage* page = session->page();
    loadAndWait(page, site.url("/auth/signin"));
    const QUrl signingIn = page->url();
    QWebEngineView* view = window.view();
    QSignalSpy started(page, &QWebEnginePage::loadStarted);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    window.showMinimized();
    window.hide();
    // The window system has taken the window away (minimised, then hidden) before it is
    // shown again.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.windowHandle()->isExposed(); }, 15000))
        << "the hidden window is still on screen";
    window.showNormal();
    // A round trip through the page's renderer: the document is still the one being signed
    // in on, and a reload started by showing the window would have been reported by now.
    EXPECT_EQ(
        evaluate(page, QStringLiteral("location.pathname"), QWebEngineScript::MainWorld).toString(),
        signingIn.path());
    EXPECT_EQ(window.view(), view);
    EXPECT_EQ(page->url(), signingIn);
    EXPECT_EQ(started.count(), 0) << "the login page was loaded again";
    EXPECT_EQ(closed.count(), 0);

    // Escape closes it like Cancel; shown again, it shows the same page.
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.view());
    EXPECT_EQ(closed.count(), 1);
    window.show();
    ASSERT_TRUE(window.view());
    EXPECT_EQ(window.view()->page(), page);
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
