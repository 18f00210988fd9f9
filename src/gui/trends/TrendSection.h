#pragma once

#include <QWidget>

class QLabel;

namespace qm::gui {

// One section of the trends window: its title on the left, a figure on the right, and below
// either its content or the "No history yet" placeholder.
class TrendSection : public QWidget {
    Q_OBJECT
public:
    TrendSection(const QString& title, QWidget* content, QWidget* parent = nullptr);
    void setSubtitle(const QString& subtitle);
    void setEmpty(bool empty);

    QString subtitle() const;
    bool isEmpty() const;

private:
    QLabel* subtitle_;
    QLabel* placeholder_;
    QWidget* content_;
    bool empty_ = true;
};

}  // namespace qm::gui
