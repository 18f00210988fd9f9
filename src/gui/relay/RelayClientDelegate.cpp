#include "gui/relay/RelayClientDelegate.h"

#include <QApplication>
#include <QPainter>

#include "gui/relay/RelayClientModel.h"
#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui {

namespace {
constexpr double kAddressScale = 0.85;
}

void RelayClientDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    QStyleOptionViewItem base = option;
    initStyleOption(&base, index);
    const QString name = base.text;
    base.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &base, painter, widget);

    const QRect area = option.rect.adjusted(4, 2, -4, -2);
    const QFont small = WindowText::scaled(option.font, kAddressScale);
    const int nameHeight = QFontMetrics(option.font).height();
    const bool selected = option.state & QStyle::State_Selected;
    painter->save();
    painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    painter->setFont(option.font);
    const QFontMetrics nameMetrics(option.font);
    painter->drawText(area.left(), area.top(), area.width(), nameHeight, Qt::AlignLeft,
                      nameMetrics.elidedText(name, Qt::ElideRight, area.width()));
    painter->setFont(small);
    painter->setPen(selected ? option.palette.color(QPalette::HighlightedText)
                             : option.palette.color(QPalette::PlaceholderText));
    const QFontMetrics smallMetrics(small);
    painter->drawText(area.left(), area.top() + nameHeight, area.width(), smallMetrics.height(),
                      Qt::AlignLeft,
                      smallMetrics.elidedText(index.data(RelayClientModel::RemoteIpRole).toString(),
                                              Qt::ElideRight, area.width()));
    painter->restore();
}

QSize RelayClientDelegate::sizeHint(const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    const int twoLines = QFontMetrics(option.font).height() +
                         QFontMetrics(WindowText::scaled(option.font, kAddressScale)).height() + 6;
    size.setHeight(std::max(size.height(), twoLines));
    return size;
}

}  // namespace qm::gui
