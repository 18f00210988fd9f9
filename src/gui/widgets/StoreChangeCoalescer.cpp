#include "gui/widgets/StoreChangeCoalescer.h"

#include <algorithm>

namespace qm::gui {

StoreChangeCoalescer::StoreChangeCoalescer(std::function<void()> redraw,
                                           std::chrono::milliseconds interval, QObject* parent)
    : QObject(parent), redraw_(std::move(redraw)), interval_(interval) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &StoreChangeCoalescer::run);
}

void StoreChangeCoalescer::poke() {
    if (timer_.isActive()) return;  // the waiting redraw will read the newest state
    const auto elapsed = std::chrono::milliseconds(sinceLastRun_.isValid() ? sinceLastRun_.elapsed()
                                                                           : interval_.count());
    timer_.start(std::max(std::chrono::milliseconds(0), interval_ - elapsed));
}

void StoreChangeCoalescer::flush() {
    if (!timer_.isActive()) return;
    timer_.stop();
    run();
}

void StoreChangeCoalescer::run() {
    sinceLastRun_.start();
    redraw_();
}

}  // namespace qm::gui
