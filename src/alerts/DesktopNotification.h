#pragma once

#include <QDBusConnection>
#include <QString>

namespace qm::DesktopNotification {

// The name and icon the desktop shows beside our messages and files them under in its history:
// the installed menu entry and its hicolor icon share this id.
inline constexpr const char* kDesktopEntry = "org.quotameter.Quotameter";

// Whether the desktop's notification service (org.freedesktop.Notifications) is on the bus,
// running or ready to be started by it.
bool isAvailable(const QDBusConnection& bus = QDBusConnection::sessionBus());

// Hands a message to that service, without waiting for its answer. False, and nothing sent,
// when the service is not there; the caller then shows it some other way.
bool show(const QString& title, const QString& message,
          const QDBusConnection& bus = QDBusConnection::sessionBus());

}  // namespace qm::DesktopNotification
