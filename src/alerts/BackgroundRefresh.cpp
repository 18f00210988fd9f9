#include "alerts/BackgroundRefresh.h"

#include <QDateTime>
#include <QPointer>
#include <algorithm>

namespace qm {

BackgroundRefresh::BackgroundRefresh(Work work, Clock now, QObject* parent)
    : QObject(parent), m_work(std::move(work)), m_now(std::move(now)) {
    m_heartbeat.setInterval(static_cast<int>(kHeartbeatMs));
    connect(&m_heartbeat, &QTimer::timeout, this, &BackgroundRefresh::tick);
}

void BackgroundRefresh::start() {
    m_heartbeat.start();
}

void BackgroundRefresh::tick() {
    const TimeMs at = now();
    const bool woke = m_lastTickAt && at - *m_lastTickAt > kSleepGapMs;
    m_lastTickAt = at;
    if (woke || m_running || !m_nextDueAt || at < *m_nextDueAt) return;
    run();
}

void BackgroundRefresh::setPeriodMinutes(int minutes) {
    minutes = std::max(0, minutes);
    if (minutes == m_periodMinutes) return;
    m_periodMinutes = minutes;
    m_failures = 0;
    m_nextDueAt = minutes > 0 ? std::optional<TimeMs>(now() + minutes * 60'000LL) : std::nullopt;
}

QCoro::Task<> BackgroundRefresh::run() {
    m_running = true;
    QPointer<BackgroundRefresh> self(this);
    const bool ok = co_await m_work();
    if (!self) co_return;
    m_running = false;
    const TimeMs period = m_periodMinutes * 60'000LL;
    if (period <= 0) co_return;  // switched off meanwhile
    TimeMs wait = period;
    if (ok) {
        m_failures = 0;
    } else {
        ++m_failures;
        const TimeMs cap = std::max(period, kMaxBackoffMs);
        for (int i = 0; i < m_failures && wait < cap; ++i) wait *= 2;
        wait = std::min(wait, cap);
    }
    m_nextDueAt = now() + wait;
}

TimeMs BackgroundRefresh::now() const {
    return m_now ? m_now() : QDateTime::currentMSecsSinceEpoch();
}

}  // namespace qm
