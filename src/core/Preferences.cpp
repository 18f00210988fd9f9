#include "core/Preferences.h"

#include <QSettings>
#include <algorithm>

namespace qm {
namespace {

const QString kRefreshKey = QStringLiteral("refreshEveryMinutes");
const QString kNotificationsKey = QStringLiteral("notificationsEnabled");
const QString kMascotKey = QStringLiteral("mascotEnabled");

// A temporary QSettings writes its value through when it is destroyed, so setValue() on one is
// not lost. clazy:excludeall=writing-to-temporary
QSettings settings() {
    return QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter"));
}

}  // namespace

Preferences::Preferences(QObject* parent) : QObject(parent) {
    const QSettings stored = settings();
    bool ok = false;
    const int minutes = stored.value(kRefreshKey, 0).toInt(&ok);
    if (ok && std::ranges::find(kRefreshChoices, minutes) != kRefreshChoices.end()) {
        refreshEveryMinutes_ = minutes;
    }
    notificationsEnabled_ = stored.value(kNotificationsKey, true).toBool();
    mascotEnabled_ = stored.value(kMascotKey, true).toBool();
}

void Preferences::setRefreshEveryMinutes(int minutes) {
    if (std::ranges::find(kRefreshChoices, minutes) == kRefreshChoices.end()) return;
    if (minutes == refreshEveryMinutes_) return;
    refreshEveryMinutes_ = minutes;
    settings().setValue(kRefreshKey, minutes);
    Q_EMIT changed();
}

void Preferences::setNotificationsEnabled(bool enabled) {
    if (enabled == notificationsEnabled_) return;
    notificationsEnabled_ = enabled;
    settings().setValue(kNotificationsKey, enabled);
    Q_EMIT changed();
}

void Preferences::setMascotEnabled(bool enabled) {
    if (enabled == mascotEnabled_) return;
    mascotEnabled_ = enabled;
    settings().setValue(kMascotKey, enabled);
    Q_EMIT changed();
}

}  // namespace qm
