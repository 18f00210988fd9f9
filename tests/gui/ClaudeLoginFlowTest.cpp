#include "DesktopFixture.h"
#include "gui/AppWindows.h"
#include "gui/WindowRegistry.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

class ClaudeLoginFlowTest : public DesktopFixture {};

// The login window is the browser process's; "Done" pressed there reaches the store as
// loginDoneRequested(), which is where this test presses it.
TEST_F(ClaudeLoginFlowTest, DoneChecksTheSignInAndClosesTheBrowsersWindowOnlyOnSuccess) {
    WindowRegistry registry;
    declareWindows(registry, stores());
    EXPECT_EQ(registry.open(QStringLiteral("claude-login")), nullptr);
    EXPECT_TRUE(claude.isLoginWindowShown());
    EXPECT_TRUE(claude.hasSession());
    ASSERT_TRUE(waitUntil([&] { return site.requestCount("/login") == 1; }));

    // Not signed in yet: the check fails and the window stays.
    Q_EMIT claude.loginDoneRequested();
    EXPECT_TRUE(claude.isRefreshing());
    ASSERT_TRUE(waitUntil([&] { return !claude.isRefreshing(); }));
    // The browser answers in order: a close sent after the failed check would be reported
    // before the answer to this later fetch.
    QCoro::waitFor(claude.refresh());
    EXPECT_TRUE(claude.isLoginWindowShown());
    EXPECT_EQ(claude.statusKind(), ClaudeUsageStatusKind::needsLogin);

    // Signed in on the page (opened again, it loads the login page, which signs in here).
    site.signInOnLoginPage();
    claude.closeLoginWindow();
    ASSERT_TRUE(waitUntil([&] { return !claude.isLoginWindowShown(); }));
    registry.open(QStringLiteral("claude-login"));
    ASSERT_TRUE(waitUntil([&] { return site.requestCount("/login") == 2; }));
    Q_EMIT claude.loginDoneRequested();
    ASSERT_TRUE(waitUntil([&] { return !claude.isLoginWindowShown(); }));
    EXPECT_TRUE(claude.latest());
    EXPECT_EQ(claude.statusKind(), ClaudeUsageStatusKind::connected);
}

}  // namespace
