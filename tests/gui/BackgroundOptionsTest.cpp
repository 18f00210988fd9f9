#include <QCheckBox>
#include <QComboBox>

#include "DesktopFixture.h"
#include "gui/dashboard/DashboardWindow.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

using BackgroundOptionsTest = DesktopFixture;

TEST_F(BackgroundOptionsTest, ChoicesAreSavedAndShownByEveryWindow) {
    auto window = std::make_unique<DashboardWindow>(&aggregator, &claude, &preferences,
                                                    [](const QString&) {});
    window->resize(1300, 760);
    window->show();
    auto* period = window->findChild<QComboBox*>("refreshEvery");
    auto* notifications = window->findChild<QCheckBox*>("notificationsSwitch");
    ASSERT_TRUE(period && notifications);
    EXPECT_EQ(period->currentText(), "Off");
    EXPECT_TRUE(notifications->isChecked());
    ASSERT_TRUE(waitUntil([&] { return aggregator.lastRefreshAt() && !claude.isRefreshing(); }))
        << "the first scan and Claude fetch never ended";
    layOut(window.get());
    saveScreenshot(window->findChild<QWidget*>("header"), QStringLiteral("dashboard-header"));

    period->setCurrentIndex(period->findText(QStringLiteral("15 minutes")));
    notifications->click();
    EXPECT_EQ(preferences.refreshEveryMinutes(), 15);
    EXPECT_FALSE(preferences.notificationsEnabled());

    // Saved: the next start reads them back.
    Preferences restarted;
    EXPECT_EQ(restarted.refreshEveryMinutes(), 15);
    EXPECT_FALSE(restarted.notificationsEnabled());

    // A second dashboard shows them, and a change in one shows in the other at once.
    DashboardWindow next(&aggregator, &claude, &preferences, [](const QString&) {});
    EXPECT_EQ(next.findChild<QComboBox*>("refreshEvery")->currentText(), "15 minutes");
    EXPECT_FALSE(next.findChild<QCheckBox*>("notificationsSwitch")->isChecked());
    next.findChild<QCheckBox*>("mascotSwitch")->click();
    EXPECT_FALSE(window->findChild<QCheckBox*>("mascotSwitch")->isChecked());
    ASSERT_TRUE(waitUntil([&] { return !window->mascotShown(); }));
    period->setCurrentIndex(period->findText(QStringLiteral("Off")));
    EXPECT_EQ(next.findChild<QComboBox*>("refreshEvery")->currentText(), "Off");
}

}  // namespace
