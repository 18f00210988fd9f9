#include "gui/dashboard/BackgroundOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "alerts/AlertSettings.h"

namespace qm::gui {

BackgroundOptions::BackgroundOptions(QWidget* parent)
    : QWidget(parent), period_(new QComboBox(this)), notifications_(new QCheckBox(this)) {
    // Stacked: it sits in the settings menu's narrow column.
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout;
    auto* label = new QLabel(QStringLiteral("Refresh every"), this);
    label->setBuddy(period_);
    period_->setObjectName(QStringLiteral("refreshEvery"));
    for (const int minutes : AlertSettings::kRefreshChoices) {
        period_->addItem(
            minutes == 0 ? QStringLiteral("Off") : QStringLiteral("%1 minutes").arg(minutes),
            minutes);
    }
    period_->setCurrentIndex(period_->findData(AlertSettings::refreshEveryMinutes()));
    notifications_->setText(QStringLiteral("Notifications"));
    notifications_->setObjectName(QStringLiteral("notificationsSwitch"));
    notifications_->setToolTip(
        QStringLiteral("Warn before a Claude or Codex limit or an account budget is reached"));
    notifications_->setChecked(AlertSettings::notificationsEnabled());
    row->addWidget(label);
    row->addWidget(period_, 1);
    column->addLayout(row);
    column->addWidget(notifications_);

    connect(period_, &QComboBox::currentIndexChanged, this,
            [this] { AlertSettings::setRefreshEveryMinutes(period_->currentData().toInt()); });
    connect(notifications_, &QCheckBox::toggled, this, &AlertSettings::setNotificationsEnabled);
}

}  // namespace qm::gui
