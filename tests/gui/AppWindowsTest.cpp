#include "DesktopFixture.h"
#include "gui/AppWindows.h"
#include "gui/WindowRegistry.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

class AppWindowsTest : public DesktopFixture {};

TEST_F(AppWindowsTest, EveryWindowOpensOnceByIdWithItsTitle) {
    EXPECT_EQ(windowIds(),
              (QStringList{"dashboard", "claude-login", "accounts", "relay", "trends"}));
    WindowRegistry registry;
    declareWindows(registry, stores());
    const QStringList titles{"Quotameter", "Claude Login", "API Accounts", "Gemini Relay",
                             "Usage Trends"};
    for (int i = 0; i < windowIds().size(); ++i) {
        // The login window is the browser process's own.
        if (windowIds()[i] == QLatin1String("claude-login")) continue;
        QWidget* window = registry.open(windowIds()[i]);
        ASSERT_TRUE(window) << windowIds()[i].toStdString();
        EXPECT_EQ(window->windowTitle(), titles[i]);
        EXPECT_TRUE(window->isVisible());
        window->close();
        EXPECT_EQ(registry.open(windowIds()[i]), window);
        window->close();
    }
    EXPECT_EQ(registry.open(QStringLiteral("nowhere")), nullptr);
    EXPECT_EQ(windowTitle(QStringLiteral("nowhere")), QString());
    // The registry goes first and takes its windows (the login view included) with it.
}

}  // namespace
