#pragma once

#include <QWidget>

class QLabel;

namespace qm::gui {

// One section of the trends window: its title on the left, a figure on the right, and below
// either its content or the one line "No history yet".
class TrendSection : public QWidget {
    Q_OBJECT
public:
    TrendSection(const QString& title, QWidget* content, QWidget* parent = nullptr);
    void setSubtitle(const QString& subtitle);
    void setEmpty(bool empty);

    QString subtitle() const;
    bool isEmpty() const;

Q_SIGNALS:
    // The section went from showing its content to "No history yet", or back.
    void emptyChanged(bool empty);

private:
    QLabel* subtitle_;
    QLabel* placeholder_;
    QWidget* content_;
    bool empty_ = true;
};

}  // namespace qm::gui
