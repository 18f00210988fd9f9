#pragma once

#include <QLabel>

namespace qm::gui {

// One line of text, cut in the middle with an ellipsis when it does not fit. text() keeps the
// whole text; the tool tip shows it too.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr, Qt::TextElideMode mode = Qt::ElideMiddle);
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Qt::TextElideMode mode_;
};

}  // namespace qm::gui
