#pragma once

#include <QColor>
#include <QLabel>

namespace qm::gui {

// A short word in a colour on a rounded background of the same colour, lightly tinted. Painted
// directly rather than through a style sheet: a window of fifty accounts has 150 of them.
class StatusBadge : public QLabel {
    Q_OBJECT
public:
    explicit StatusBadge(const QString& text = {}, QWidget* parent = nullptr);
    void setColor(const QColor& color);
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};

}  // namespace qm::gui
