#include "alerts/DesktopNotification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace qm::DesktopNotification {

bool show(const QString& title, const QString& message) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // app name, replaces id, icon, summary, body, actions, hints, timeout (-1: the server's).
    call << QStringLiteral("Quotameter") << 0u << QStringLiteral("dialog-warning") << title
         << message << QStringList() << QVariantMap() << -1;
    return bus.send(call);
}

}  // namespace qm::DesktopNotification
