#include "alerts/DesktopNotification.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace qm::DesktopNotification {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");

}  // namespace

bool isAvailable(const QDBusConnection& bus) {
    if (!bus.isConnected()) return false;
    QDBusConnectionInterface* daemon = bus.interface();
    if (!daemon) return false;
    if (daemon->isServiceRegistered(kService).value()) return true;
    // Most notification daemons are started by the bus on their first message.
    const QDBusReply<QStringList> activatable = daemon->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kService);
}

bool show(const QString& title, const QString& message, const QDBusConnection& bus) {
    if (!isAvailable(bus)) return false;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/Notifications"),
                                       kService, QStringLiteral("Notify"));
    const QString entry = QString::fromLatin1(kDesktopEntry);
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), entry);
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(static_cast<uchar>(1)));
    // app name, replaces id, icon, summary, body, actions, hints, timeout (-1: the server's).
    call << QStringLiteral("Quotameter") << 0u << entry << title << message << QStringList()
         << hints << -1;
    return bus.send(call);
}

}  // namespace qm::DesktopNotification
