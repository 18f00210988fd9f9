#pragma once

#include <QWidget>
#include <vector>

class QGridLayout;

namespace qm::gui {

// Cards in as many columns as fit, each column 250 to 330 wide with 12 between, packed from
// the leading edge and the top.
class CardGrid : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMinColumn = 250;
    static constexpr int kMaxColumn = 330;
    static constexpr int kSpacing = 12;

    explicit CardGrid(QWidget* parent = nullptr);
    // Takes the widgets over, in order, replacing nothing that is already placed.
    void setCards(std::vector<QWidget*> cards);
    int columns() const { return columns_; }
    static int columnsFor(int width);
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void place(int columns);

    QGridLayout* grid_;
    std::vector<QWidget*> cards_;
    int columns_ = 0;
};

}  // namespace qm::gui
