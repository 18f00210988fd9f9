#pragma once

#include <QRect>
#include <QSize>

class QWidget;

namespace qm::gui::WindowBehaviour {

enum class CloseKeys { escapeAndCtrlW, ctrlW };

// What every top-level window of the application does: Ctrl+W (and Escape, for all but the
// main window) closes it; each time it is shown it lies within its screen's available area (a
// minimum size larger than that area gives way); on first showing, the keyboard focus goes to
// its first control.
void install(QWidget* window, CloseKeys keys = CloseKeys::escapeAndCtrlW);

// The minimum size the window asked for when install() was called, before any screen shrank
// it.
QSize declaredMinimum(const QWidget* window);

// `wanted` moved and shrunk to lie within `area`; a window already inside keeps its place.
QRect fitted(const QRect& wanted, const QRect& area);
// The minimum size a window can keep on a screen of `area`.
QSize fittedMinimum(const QSize& minimum, const QRect& area);

}  // namespace qm::gui::WindowBehaviour
