#pragma once

#include <QString>
#include <QStringList>

namespace qm::gui {

class WindowRegistry;
struct AppStores;

// The window ids in declaration order, as `quotameter --open` accepts them.
QStringList windowIds();
// The title of a window id, empty for an unknown one.
QString windowTitle(const QString& id);

// Declares every window of the application with the stores it shows.
void declareWindows(WindowRegistry& registry, const AppStores& stores);

}  // namespace qm::gui
