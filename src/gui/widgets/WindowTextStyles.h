#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>

// Colours and text roles shared by the accounts, relay and trends windows, so a state reads
// the same everywhere (orange warnings, red errors, secondary captions).
namespace qm::gui::WindowText {

// `colour` as it reads on the application palette: lighter on a dark window, so a state
// colour never sinks into the background.
QColor againstPalette(const QColor& colour);

inline QColor green() {
    return againstPalette(QColor(0x2e, 0x9d, 0x4a));
}
inline QColor red() {
    return againstPalette(QColor(0xd3, 0x2f, 0x2f));
}
inline QColor orange() {
    return againstPalette(QColor(0xe0, 0x7b, 0x00));
}
inline QColor yellow() {
    return againstPalette(QColor(0xc7, 0x9a, 0x00));
}
QColor secondary(const QWidget* widget);

// A label in `color`, `scale` times the widget font, optionally bold, word-wrapped.
QLabel* label(const QString& text, QWidget* parent, double scale = 1.0, bool bold = false);
void setColor(QLabel* label, const QColor& color);
QFont scaled(QFont font, double scale, bool bold = false);
QFont monospaced(const QFont& like);
void setSelectable(QLabel* label);

}  // namespace qm::gui::WindowText
