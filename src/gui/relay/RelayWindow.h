#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/Clock.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTreeView;

namespace qm {
class GeminiRelayStore;
}

namespace qm::gui {

class RelayClientModel;
class RelayMetricView;
class StatusBadge;
class StoreChangeCoalescer;

// "Gemini Relay": starts and stops the local relay on a chosen port, shows its counters, the
// clients of the last five minutes and how to point a client at it. Reads the relay store and
// calls only its start and stop; redraws at most about ten times a second.
class RelayWindow : public QWidget {
    Q_OBJECT
public:
    explicit RelayWindow(GeminiRelayStore* relay, QWidget* parent = nullptr, Clock now = {});
    ~RelayWindow() override;

    // The port text trimmed and read as a decimal integer with an optional sign; absent when it
    // does not parse. Out-of-range values are kept for the store to reject (clamped to int).
    static std::optional<int> parsedPort(const QString& text);

    RelayClientModel* clientModel() const { return clients_; }
    // Applies a waiting redraw at once.
    void flushRedraw();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void watchOtherRuns(bool watching);

private:
    void redraw();
    void updateButtons();
    void startRelay();
    std::int64_t now() const;

    QPointer<GeminiRelayStore> relay_;
    Clock now_;
    StoreChangeCoalescer* coalescer_;
    QTimer clockTimer_;
    bool watchingOtherRuns_ = false;
    int shownPort_ = 0;

    StatusBadge* badge_;
    QLineEdit* portField_;
    QPushButton* start_;
    QPushButton* stop_;
    QLabel* started_;
    RelayMetricView* portMetric_;
    RelayMetricView* requestsMetric_;
    RelayMetricView* clientsMetric_;
    RelayMetricView* socketsMetric_;
    QLabel* error_;
    QLabel* unmetered_;
    QLabel* instructions_;
    QStackedWidget* clientArea_;
    QTreeView* clientView_;
    RelayClientModel* clients_;
};

}  // namespace qm::gui
