#pragma once

#include <QColor>
#include <QLabel>

namespace qm::gui {

// A short word in a colour on a rounded background of the same colour, lightly tinted.
class StatusBadge : public QLabel {
    Q_OBJECT
public:
    explicit StatusBadge(const QString& text = {}, QWidget* parent = nullptr);
    void setColor(const QColor& color);
    QColor color() const { return m_color; }

private:
    QColor m_color;
};

}  // namespace qm::gui
