#include "gui/dashboard/BackgroundOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "core/Preferences.h"

namespace qm::gui {

BackgroundOptions::BackgroundOptions(Preferences* preferences, QWidget* parent)
    : QWidget(parent),
      preferences_(preferences),
      period_(new QComboBox(this)),
      notifications_(new QCheckBox(this)) {
    // Stacked: it sits in the settings menu's narrow column.
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout;
    auto* label = new QLabel(tr("Refresh every"), this);
    label->setBuddy(period_);
    period_->setObjectName(QStringLiteral("refreshEvery"));
    // The logs are watched; what is fetched is what this paces.
    const QString fetched =
        tr("How often the Claude limits are fetched from claude.ai. The tools' logs are "
           "watched and read as they are written.");
    label->setToolTip(fetched);
    period_->setToolTip(fetched);
    for (const int minutes : Preferences::kRefreshChoices) {
        period_->addItem(minutes == 0 ? tr("Off") : tr("%1 minutes").arg(minutes), minutes);
    }
    notifications_->setText(tr("Notifications"));
    notifications_->setObjectName(QStringLiteral("notificationsSwitch"));
    notifications_->setToolTip(
        tr("Warn before a Claude or Codex limit or an account budget is reached"));
    row->addWidget(label);
    row->addWidget(period_, 1);
    column->addLayout(row);
    column->addWidget(notifications_);

    showChoices();
    connect(preferences_, &Preferences::changed, this, &BackgroundOptions::showChoices);
    connect(period_, &QComboBox::currentIndexChanged, this,
            [this] { preferences_->setRefreshEveryMinutes(period_->currentData().toInt()); });
    connect(notifications_, &QCheckBox::toggled, preferences_,
            &Preferences::setNotificationsEnabled);
}

void BackgroundOptions::showChoices() {
    period_->setCurrentIndex(period_->findData(preferences_->refreshEveryMinutes()));
    notifications_->setChecked(preferences_->notificationsEnabled());
}

}  // namespace qm::gui
