#include <QCheckBox>
#include <QComboBox>

#include "DesktopFixture.h"
#include "alerts/AlertSettings.h"
#include "gui/dashboard/DashboardWindow.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

using BackgroundOptionsTest = DesktopFixture;

TEST_F(BackgroundOptionsTest, RefreshPeriodAndNotificationsAreSavedAndShownByTheNextWindow) {
    auto window = std::make_unique<DashboardWindow>(&aggregator, &claude, [](const QString&) {});
    window->resize(1300, 760);
    window->show();
    auto* period = window->findChild<QComboBox*>("refreshEvery");
    auto* notifications = window->findChild<QCheckBox*>("notificationsSwitch");
    ASSERT_TRUE(period && notifications);
    EXPECT_EQ(period->currentText(), "Off");
    EXPECT_TRUE(notifications->isChecked());
    ASSERT_TRUE(waitUntil([&] { return aggregator.lastRefreshAt() && !claude.isRefreshing(); }));
    settle();
    saveScreenshot(window->findChild<QWidget*>("header"), QStringLiteral("dashboard-header"));

    period->setCurrentIndex(period->findText(QStringLiteral("15 minutes")));
    notifications->click();
    EXPECT_EQ(AlertSettings::refreshEveryMinutes(), 15);
    EXPECT_FALSE(AlertSettings::notificationsEnabled());

    DashboardWindow next(&aggregator, &claude, [](const QString&) {});
    EXPECT_EQ(next.findChild<QComboBox*>("refreshEvery")->currentText(), "15 minutes");
    EXPECT_FALSE(next.findChild<QCheckBox*>("notificationsSwitch")->isChecked());
}

}  // namespace
