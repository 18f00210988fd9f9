#include "gui/widgets/WindowTextStyles.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>

namespace qm::gui::WindowText {

QColor againstPalette(const QColor& colour) {
    const bool darkWindow = QApplication::palette().color(QPalette::Window).lightnessF() < 0.5;
    return darkWindow ? colour.lighter(140) : colour;
}

QColor secondary(const QWidget* widget) {
    return widget->palette().color(QPalette::PlaceholderText);
}

QFont scaled(QFont font, double scale, bool bold) {
    if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * scale);
    if (bold) font.setWeight(QFont::DemiBold);
    return font;
}

QFont monospaced(const QFont& like) {
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (like.pointSizeF() > 0) mono.setPointSizeF(like.pointSizeF());
    return mono;
}

QLabel* label(const QString& text, QWidget* parent, double scale, bool bold) {
    auto* made = new QLabel(text, parent);
    made->setFont(scaled(made->font(), scale, bold));
    made->setWordWrap(true);
    made->setTextFormat(Qt::PlainText);
    return made;
}

void setColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

void setSelectable(QLabel* label) {
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

}  // namespace qm::gui::WindowText
