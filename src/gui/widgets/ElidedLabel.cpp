#include "gui/widgets/ElidedLabel.h"

#include <QPainter>

namespace qm::gui {

ElidedLabel::ElidedLabel(QWidget* parent, Qt::TextElideMode mode) : QLabel(parent), mode_(mode) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

QSize ElidedLabel::minimumSizeHint() const {
    return QSize(0, QLabel::minimumSizeHint().height());
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(palette().color(foregroundRole()));
    const QRect area = contentsRect();
    p.drawText(area, alignment(), fontMetrics().elidedText(text(), mode_, area.width()));
}

}  // namespace qm::gui
