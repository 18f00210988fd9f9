#pragma once

#include <QList>
#include <QRect>
#include <QSize>
#include <optional>

class QWidget;

namespace qm::gui::WindowBehaviour {

enum class CloseKeys { escapeAndCtrlW, ctrlW };

// What every top-level window of the application does: Ctrl+W (and Escape, for all but the
// main window) closes it; each time it is shown it lies within its screen's available area (a
// minimum size larger than that area gives way); on first showing, the keyboard focus goes to
// its first control. The first window installed also puts the application's own rules in
// place: Return presses the focused button (ReturnPressesButtons) and check boxes stay visible
// on a dark palette (VisibleIndicatorStyle).
void install(QWidget* window, CloseKeys keys = CloseKeys::escapeAndCtrlW);

// The minimum size the window asked for when install() was called, before any screen shrank
// it.
QSize declaredMinimum(const QWidget* window);

// `wanted` moved and shrunk to lie within `area`; a window already inside keeps its place.
QRect fitted(const QRect& wanted, const QRect& area);
// The minimum size a window can keep on a screen of `area`.
QSize fittedMinimum(const QSize& minimum, const QRect& area);

// Where a window opens: where it was left (`saved`), fitted into the screen area that holds
// that place's centre; with no saved place, or one on a screen that is gone, a window of
// `size` centred in `pointerArea` (the area of the screen with the mouse pointer).
QRect openingPlace(const std::optional<QRect>& saved, const QSize& size, const QList<QRect>& areas,
                   const QRect& pointerArea);

}  // namespace qm::gui::WindowBehaviour
