#include "alerts/BackgroundRefresh.h"

#include <QDateTime>
#include <QPointer>
#include <algorithm>

namespace qm {

BackgroundRefresh::BackgroundRefresh(Work work, Clock now, QObject* parent)
    : QObject(parent), work_(std::move(work)), now_(orSystemClock(std::move(now))) {
    heartbeat_.setInterval(static_cast<int>(kHeartbeatMs));
    connect(&heartbeat_, &QTimer::timeout, this, &BackgroundRefresh::tick);
}

void BackgroundRefresh::start() {
    heartbeat_.start();
}

void BackgroundRefresh::tick() {
    const TimeMs at = now();
    const bool woke = lastTickAt_ && at - *lastTickAt_ > kSleepGapMs;
    lastTickAt_ = at;
    if (woke || running_ || !nextDueAt_ || at < *nextDueAt_) return;
    run();
}

void BackgroundRefresh::setPeriodMinutes(int minutes) {
    minutes = std::max(0, minutes);
    if (minutes == periodMinutes_) return;
    periodMinutes_ = minutes;
    failures_ = 0;
    nextDueAt_ = minutes > 0 ? std::optional<TimeMs>(now() + minutes * 60'000LL) : std::nullopt;
}

QCoro::Task<> BackgroundRefresh::run() {
    running_ = true;
    QPointer<BackgroundRefresh> self(this);
    const bool ok = co_await work_();
    if (!self) co_return;
    running_ = false;
    const TimeMs period = periodMinutes_ * 60'000LL;
    if (period <= 0) co_return;  // switched off meanwhile
    TimeMs wait = period;
    if (ok) {
        failures_ = 0;
    } else {
        ++failures_;
        const TimeMs cap = std::max(period, kMaxBackoffMs);
        for (int i = 0; i < failures_ && wait < cap; ++i) wait *= 2;
        wait = std::min(wait, cap);
    }
    nextDueAt_ = now() + wait;
}

TimeMs BackgroundRefresh::now() const {
    return now_();
}

}  // namespace qm
