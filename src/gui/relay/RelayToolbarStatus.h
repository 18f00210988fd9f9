#pragma once

#include <QWidget>
#include <optional>

class QLabel;

namespace qm::gui {

// The relay's state in one line for a toolbar: a dot (green while running), "Relay <port>" or
// "Relay stopped", and a small count of active clients when there are any.
class RelayToolbarStatus : public QWidget {
    Q_OBJECT
public:
    explicit RelayToolbarStatus(QWidget* parent = nullptr);
    // `elsewherePort`: the port of a relay another process runs on the same data folder.
    void setStatus(bool isRunning, int port, int activeClientCount,
                   std::optional<int> elsewherePort = std::nullopt);

    QString text() const;

private:
    QLabel* dot_;
    QLabel* text_;
    QLabel* clients_;
};

}  // namespace qm::gui
