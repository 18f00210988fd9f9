#include "gui/widgets/StatusBadge.h"

#include <QPainter>

#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui {

StatusBadge::StatusBadge(const QString& text, QWidget* parent) : QLabel(text, parent) {
    QFont small = WindowText::scaled(font(), 0.85);
    small.setWeight(QFont::Medium);
    setFont(small);
    setTextFormat(Qt::PlainText);
    setContentsMargins(6, 2, 6, 2);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setColor(palette().color(QPalette::Highlight));
}

void StatusBadge::setColor(const QColor& color) {
    color_ = color;
    WindowText::setColor(this, color);
    update();
}

void StatusBadge::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor tint = color_;
        tint.setAlphaF(0.15);
        painter.setPen(Qt::NoPen);
        painter.setBrush(tint);
        painter.drawRoundedRect(QRectF(rect()), 4, 4);
    }
    QLabel::paintEvent(event);
}

}  // namespace qm::gui
