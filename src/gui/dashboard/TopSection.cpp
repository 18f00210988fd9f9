#include "gui/dashboard/TopSection.h"

#include <QBoxLayout>
#include <QResizeEvent>

namespace qm::gui {

TopSection::TopSection(QWidget* header, QWidget* card, QWidget* parent)
    : QWidget(parent),
      header_(header),
      card_(card),
      layout_(new QBoxLayout(QBoxLayout::TopToBottom, this)) {
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(kSpacing);
    card_->setFixedWidth(kCardWidth);
    layout_->addWidget(header_, 1, Qt::AlignTop);
    layout_->addWidget(card_, 0, Qt::AlignTop | Qt::AlignLeft);
}

bool TopSection::isSideBySide() const {
    return layout_->direction() == QBoxLayout::LeftToRight;
}

QSize TopSection::minimumSizeHint() const {
    // The stacked arrangement's width, so that a narrow window stacks instead of scrolling.
    const QSize stacked = QWidget::minimumSizeHint();
    return QSize(std::max(header_->minimumSizeHint().width(), kCardWidth), stacked.height());
}

void TopSection::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    arrange(event->size().width());
}

void TopSection::arrange(int width) {
    const bool fits = width >= header_->minimumSizeHint().width() + kSpacing + kCardWidth;
    const auto direction = fits ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom;
    if (layout_->direction() == direction) return;
    layout_->setDirection(direction);
    updateGeometry();
}

}  // namespace qm::gui
