#include "alerts/AlertSettings.h"

#include <QSettings>
#include <algorithm>

namespace qm::AlertSettings {

namespace {
const QString kRefreshKey = QStringLiteral("refreshEveryMinutes");
const QString kNotificationsKey = QStringLiteral("notificationsEnabled");
}  // namespace

int refreshEveryMinutes() {
    bool ok = false;
    const int minutes = QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter"))
                            .value(kRefreshKey, 0)
                            .toInt(&ok);
    return ok && std::ranges::find(kRefreshChoices, minutes) != kRefreshChoices.end() ? minutes : 0;
}

void setRefreshEveryMinutes(int minutes) {
    QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter"))
        .setValue(kRefreshKey, minutes);
}

bool notificationsEnabled() {
    return QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter"))
        .value(kNotificationsKey, true)
        .toBool();
}

void setNotificationsEnabled(bool enabled) {
    QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter"))
        .setValue(kNotificationsKey, enabled);
}

}  // namespace qm::AlertSettings
