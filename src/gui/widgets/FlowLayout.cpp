#include "gui/widgets/FlowLayout.h"

#include <QWidget>
#include <algorithm>

namespace qm::gui {

FlowLayout::FlowLayout(QWidget* parent, int spacing) : QLayout(parent), spacing_(spacing) {
    setContentsMargins(0, 0, 0, 0);
}

FlowLayout::~FlowLayout() {
    while (QLayoutItem* item = takeAt(0)) delete item;
}

void FlowLayout::addItem(QLayoutItem* item) {
    items_.append(item);
}

int FlowLayout::count() const {
    return int(items_.size());
}

QLayoutItem* FlowLayout::itemAt(int index) const {
    return items_.value(index);
}

QLayoutItem* FlowLayout::takeAt(int index) {
    if (index < 0 || index >= items_.size()) return nullptr;
    return items_.takeAt(index);
}

Qt::Orientations FlowLayout::expandingDirections() const {
    return {};
}

bool FlowLayout::hasHeightForWidth() const {
    return true;
}

int FlowLayout::heightForWidth(int width) const {
    return arrange(QRect(0, 0, width, 0), false);
}

QSize FlowLayout::minimumSize() const {
    // The widest single item: anything wider wraps.
    QSize size;
    for (const QLayoutItem* item : items_) size = size.expandedTo(item->minimumSize());
    const QMargins m = contentsMargins();
    return size + QSize(m.left() + m.right(), m.top() + m.bottom());
}

QSize FlowLayout::sizeHint() const {
    // Everything on one line.
    int width = 0;
    int height = 0;
    for (const QLayoutItem* item : items_) {
        if (item->isEmpty()) continue;
        width += (width > 0 ? spacing_ : 0) + item->sizeHint().width();
        height = std::max(height, item->sizeHint().height());
    }
    const QMargins m = contentsMargins();
    return QSize(width + m.left() + m.right(), height + m.top() + m.bottom());
}

void FlowLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

int FlowLayout::arrange(const QRect& rect, bool place) const {
    const QRect area = rect.marginsRemoved(contentsMargins());
    int x = area.x();
    int y = area.y();
    int lineHeight = 0;
    // Items of a line are centred on it, like a box layout's AlignVCenter.
    QList<std::pair<QLayoutItem*, QRect>> line;
    const auto finishLine = [&] {
        if (place) {
            for (auto& [item, geometry] : line) {
                geometry.moveTop(y + (lineHeight - geometry.height()) / 2);
                item->setGeometry(geometry);
            }
        }
        line.clear();
    };
    for (QLayoutItem* item : items_) {
        if (item->isEmpty()) continue;
        // Only an item wider than the whole line is narrowed, down to its minimum.
        const QSize hint = item->sizeHint();
        const QSize size(
            std::min(hint.width(), std::max(area.width(), item->minimumSize().width())),
            hint.height());
        if (x > area.x() && x + size.width() > area.x() + area.width()) {
            finishLine();
            x = area.x();
            y += lineHeight + spacing_;
            lineHeight = 0;
        }
        line.append({item, QRect(QPoint(x, y), size)});
        x += size.width() + spacing_;
        lineHeight = std::max(lineHeight, size.height());
    }
    finishLine();
    const QMargins m = contentsMargins();
    return y + lineHeight - rect.y() + m.bottom();
}

}  // namespace qm::gui
