#include "gui/dashboard/CardGrid.h"

#include <QGridLayout>
#include <QResizeEvent>

namespace qm::gui {

CardGrid::CardGrid(QWidget* parent) : QWidget(parent), grid_(new QGridLayout(this)) {
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setSpacing(kSpacing);
    grid_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
}

int CardGrid::columnsFor(int width) {
    return std::max(1, (width + kSpacing) / (kMinColumn + kSpacing));
}

void CardGrid::setCards(std::vector<QWidget*> cards) {
    cards_ = std::move(cards);
    for (QWidget* card : cards_) {
        card->setParent(this);
        card->setMinimumWidth(kMinColumn);
        card->setMaximumWidth(kMaxColumn);
        card->show();
    }
    place(columnsFor(width()));
}

QSize CardGrid::minimumSizeHint() const {
    // The grid folds into fewer columns instead of widening the window.
    return QSize(kMinColumn, grid_->minimumSize().height());
}

void CardGrid::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int columns = columnsFor(event->size().width());
    if (columns != columns_) place(columns);
}

void CardGrid::place(int columns) {
    while (grid_->count() > 0) delete grid_->takeAt(0);
    for (int c = 0; c < grid_->columnCount(); ++c) grid_->setColumnStretch(c, 0);
    columns_ = columns;
    for (std::size_t i = 0; i < cards_.size(); ++i) {
        grid_->addWidget(cards_[i], static_cast<int>(i) / columns, static_cast<int>(i) % columns);
    }
    for (int c = 0; c < columns; ++c) grid_->setColumnStretch(c, 1);
    updateGeometry();
}

}  // namespace qm::gui
