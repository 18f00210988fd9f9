#include "gui/widgets/StoreChangeCoalescer.h"

#include <algorithm>

namespace qm::gui {

StoreChangeCoalescer::StoreChangeCoalescer(std::function<void()> redraw,
                                           std::chrono::milliseconds interval, QObject* parent)
    : QObject(parent), m_redraw(std::move(redraw)), m_interval(interval) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &StoreChangeCoalescer::run);
}

void StoreChangeCoalescer::poke() {
    if (m_timer.isActive()) return;  // the waiting redraw will read the newest state
    const auto elapsed = std::chrono::milliseconds(
        m_sinceLastRun.isValid() ? m_sinceLastRun.elapsed() : m_interval.count());
    m_timer.start(std::max(std::chrono::milliseconds(0), m_interval - elapsed));
}

void StoreChangeCoalescer::flush() {
    if (!m_timer.isActive()) return;
    m_timer.stop();
    run();
}

void StoreChangeCoalescer::run() {
    m_sinceLastRun.start();
    m_redraw();
}

}  // namespace qm::gui
