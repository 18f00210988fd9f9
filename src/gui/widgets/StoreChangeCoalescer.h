#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

namespace qm::gui {

// Turns a store's change notifications into redraws, at most one per interval however fast
// the store changes. A change after a quiet spell redraws on the next event-loop turn; changes
// inside the interval are folded into one redraw at its end, so the last state is always shown.
class StoreChangeCoalescer : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kDefaultInterval{100};

    explicit StoreChangeCoalescer(std::function<void()> redraw,
                                  std::chrono::milliseconds interval = kDefaultInterval,
                                  QObject* parent = nullptr);

    // Asks for a redraw.
    void poke();
    // Redraws now if one is waiting (for callers that must see the result at once).
    void flush();
    bool isPending() const { return timer_.isActive(); }

private:
    void run();

    std::function<void()> redraw_;
    std::chrono::milliseconds interval_;
    QTimer timer_;
    QElapsedTimer sinceLastRun_;
};

}  // namespace qm::gui
