#pragma once

#include <QCoroTask>
#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>

#include "core/Clock.h"
#include "core/UsageModels.h"

namespace qm {

// Runs a refresh every few minutes while the program runs, if the user asked for it. A
// refresh that fails waits twice as long before the next (up to an hour, or the period if that
// is longer); one that succeeds returns to the chosen period. A refresh never starts while the
// previous one still runs. A heartbeat checks the wall clock: a gap much longer than the
// heartbeat means the machine slept, and that tick does nothing, so waking up does not bring
// a burst of work before the network is back. Main thread only.
class BackgroundRefresh : public QObject {
    Q_OBJECT
public:
    using Work = std::function<QCoro::Task<bool>()>;  // true when the refresh succeeded

    static constexpr TimeMs kHeartbeatMs = 30'000;
    static constexpr TimeMs kSleepGapMs = 120'000;  // a heartbeat this late means sleep
    static constexpr TimeMs kMaxBackoffMs = 3'600'000;

    explicit BackgroundRefresh(Work work, Clock now = {}, QObject* parent = nullptr);

    // The chosen period in minutes, 0 for off. A new choice starts a fresh period at once (and
    // forgets earlier failures); the same choice again changes nothing.
    void setPeriodMinutes(int minutes);

    // Starts the heartbeat.
    void start();
    // One heartbeat: starts the refresh when it is due. Tests call it with a moved clock.
    void tick();

    bool isRunning() const { return running_; }
    int failures() const { return failures_; }
    std::optional<TimeMs> nextDueAt() const { return nextDueAt_; }

private:
    QCoro::Task<> run();
    TimeMs now() const;

    Work work_;
    Clock now_;
    QTimer heartbeat_;
    int periodMinutes_ = 0;
    int failures_ = 0;
    bool running_ = false;
    std::optional<TimeMs> lastTickAt_;
    std::optional<TimeMs> nextDueAt_;
};

}  // namespace qm
