#include "gui/widgets/StatusBadge.h"

namespace qm::gui {

StatusBadge::StatusBadge(const QString& text, QWidget* parent) : QLabel(text, parent) {
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    small.setWeight(QFont::Medium);
    setFont(small);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setColor(palette().color(QPalette::Highlight));
}

void StatusBadge::setColor(const QColor& color) {
    m_color = color;
    QColor tint = color;
    tint.setAlphaF(0.15);
    setStyleSheet(QStringLiteral("QLabel { color: %1; background: %2; border-radius: 4px;"
                                 " padding: 2px 6px; }")
                      .arg(color.name(), tint.name(QColor::HexArgb)));
}

}  // namespace qm::gui
