#pragma once

#include <QStyledItemDelegate>

namespace qm::gui {

// Draws the client column as the client's name with its address beneath in a smaller font.
class RelayClientDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace qm::gui
