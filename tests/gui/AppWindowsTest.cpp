#include <QScreen>

#include "DesktopFixture.h"
#include "gui/AppWindows.h"
#include "gui/WindowPlaces.h"
#include "gui/WindowRegistry.h"
#include "gui/widgets/WindowBehaviour.h"

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

TEST(WindowPlaceTest, ASavedPlaceIsKeptOnItsScreenAndOtherwiseTheWindowIsCentred) {
    using WindowBehaviour::openingPlace;
    const QRect laptop(0, 0, 1366, 740);
    const QRect monitor(1366, 0, 1920, 1050);
    // No place yet: centred on the screen with the pointer.
    EXPECT_EQ(openingPlace(std::nullopt, QSize(800, 600), {laptop, monitor}, monitor),
              QRect(1366 + 560, 225, 800, 600));
    // Where the user left it, on either screen.
    EXPECT_EQ(openingPlace(QRect(1500, 40, 900, 700), QSize(800, 600), {laptop, monitor}, laptop),
              QRect(1500, 40, 900, 700));
    // Its screen is gone: centred where the pointer is, at the size the user gave it...
    EXPECT_EQ(openingPlace(QRect(1500, 40, 900, 700), QSize(800, 600), {laptop}, laptop),
              QRect(233, 20, 900, 700));
    // ...and never larger than that screen.
    EXPECT_EQ(openingPlace(QRect(1500, 40, 1900, 1000), QSize(800, 600), {laptop}, laptop), laptop);
    // Half off its screen: moved back inside.
    EXPECT_EQ(openingPlace(QRect(1000, 500, 600, 400), QSize(800, 600), {laptop}, laptop),
              QRect(766, 340, 600, 400));
}

TEST_F(AppWindowsTest, AWindowOpensCentredThenWhereTheUserLeftIt) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QString id = QStringLiteral("trends");
    {
        WindowRegistry registry;
        declareWindows(registry, stores());
        QWidget* window = registry.open(id);
        layOut(window);
        // Centred, give or take the title bar.
        EXPECT_LE((window->frameGeometry().center() - area.center()).manhattanLength(), 40)
            << window->frameGeometry().center().x() << "," << window->frameGeometry().center().y();
        window->move(area.topLeft() + QPoint(100, 120));
        window->resize(900, 640);
        window->close();
    }
    {
        // The next run of the application: there again, at that size.
        WindowRegistry registry;
        declareWindows(registry, stores());
        QWidget* window = registry.open(id);
        layOut(window);
        EXPECT_EQ(window->pos(), area.topLeft() + QPoint(100, 120));
        EXPECT_EQ(window->size(), QSize(900, 640));
        // Moved again, and the application quits with the window open.
        window->move(area.topLeft() + QPoint(300, 200));
        layOut(window);
    }
    {
        WindowRegistry registry;
        declareWindows(registry, stores());
        EXPECT_EQ(registry.open(id)->pos(), area.topLeft() + QPoint(300, 200));
    }
    // Left on a screen that is no longer there: centred on this one.
    WindowPlaces::save(id, QRect(area.right() + 4000, 100, 900, 640));
    WindowRegistry registry;
    declareWindows(registry, stores());
    QWidget* window = registry.open(id);
    layOut(window);
    EXPECT_TRUE(area.contains(window->frameGeometry()));
    EXPECT_LE((window->frameGeometry().center() - area.center()).manhattanLength(), 40);
    EXPECT_EQ(window->size(), QSize(900, 640));
}

}  // namespace
