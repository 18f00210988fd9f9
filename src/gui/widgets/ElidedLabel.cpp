#include "gui/widgets/ElidedLabel.h"

#include <QPainter>
#include <QTextLayout>

namespace qm::gui {

ElidedLabel::ElidedLabel(QWidget* parent, Qt::TextElideMode mode, int maxLines)
    : QLabel(parent), mode_(mode), maxLines_(std::max(1, maxLines)) {
    setSizePolicy(QSizePolicy::Ignored,
                  maxLines_ > 1 ? QSizePolicy::Minimum : QSizePolicy::Preferred);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

QSize ElidedLabel::minimumSizeHint() const {
    return QSize(0, maxLines_ > 1 ? heightForWidth(width()) : QLabel::minimumSizeHint().height());
}

QSize ElidedLabel::sizeHint() const {
    if (maxLines_ == 1) return QLabel::sizeHint();
    return QSize(QLabel::sizeHint().width(), heightForWidth(width()));
}

int ElidedLabel::heightForWidth(int width) const {
    const int lines = static_cast<int>(visibleLines(width).size());
    const QMargins m = contentsMargins();
    return lines * fontMetrics().lineSpacing() + m.top() + m.bottom();
}

QStringList ElidedLabel::visibleLines(int width) const {
    const QString all = text();
    if (all.isEmpty()) return {};
    const QMargins m = contentsMargins();
    const int room = std::max(1, width - m.left() - m.right());
    if (maxLines_ == 1) return {fontMetrics().elidedText(all, mode_, room)};
    QStringList lines;
    QTextLayout layout(all, font());
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(room);
        if (lines.size() == maxLines_ - 1) {
            // The last line takes the rest of the text, cut at the end.
            lines << fontMetrics().elidedText(all.mid(line.textStart()).simplified(),
                                              Qt::ElideRight, room);
            break;
        }
        lines << all.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(palette().color(foregroundRole()));
    const QRect area = contentsRect();
    if (maxLines_ == 1) {
        p.drawText(area, alignment(), fontMetrics().elidedText(text(), mode_, area.width()));
        return;
    }
    int y = area.top();
    for (const QString& line : visibleLines(width())) {
        p.drawText(QRect(area.left(), y, area.width(), fontMetrics().lineSpacing()),
                   Qt::AlignLeft | Qt::AlignVCenter, line);
        y += fontMetrics().lineSpacing();
    }
}

}  // namespace qm::gui
