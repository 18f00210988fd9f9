#pragma once

#include <QRect>
#include <QString>
#include <optional>

class QWidget;

namespace qm::gui::WindowPlaces {

// Where each window was left, by window id, in the application's settings: its frame's top
// left corner and its inner size. Kept across runs, so a window opens where the user put it.

// Puts a window that is about to be shown for the first time where it was left, fitted into the
// screens as they are now; on its first opening, or when that place was on a screen that is
// gone, centred on the screen that has the mouse pointer.
void place(QWidget* window, const QString& id);
// From now on, keeps the window's place whenever the user moves, resizes or closes it.
void follow(QWidget* window, const QString& id);
// Keeps the window's place now (unless it is maximised or full screen).
void keep(const QWidget* window, const QString& id);

std::optional<QRect> saved(const QString& id);
void save(const QString& id, const QRect& place);

}  // namespace qm::gui::WindowPlaces
