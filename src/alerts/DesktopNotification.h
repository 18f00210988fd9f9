#pragma once

#include <QString>

namespace qm::DesktopNotification {

// Asks the desktop's notification service (org.freedesktop.Notifications on the session bus)
// to show a message, without waiting for the answer. Used where there is no tray icon to show
// it through; false when no session bus answers.
bool show(const QString& title, const QString& message);

}  // namespace qm::DesktopNotification
