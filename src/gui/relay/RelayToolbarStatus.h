#pragma once

#include <QWidget>

class QLabel;

namespace qm::gui {

// The relay's state in one line for a toolbar: a dot (green while running), "Relay <port>" or
// "Relay stopped", and a small count of active clients when there are any.
class RelayToolbarStatus : public QWidget {
    Q_OBJECT
public:
    explicit RelayToolbarStatus(QWidget* parent = nullptr);
    void setStatus(bool isRunning, int port, int activeClientCount);

    QString text() const;

private:
    QLabel* dot_;
    QLabel* text_;
    QLabel* clients_;
};

}  // namespace qm::gui
