#include <gtest/gtest.h>

#include <QCoroFuture>
#include <QPromise>
#include <QTest>

#include "alerts/BackgroundRefresh.h"
#include "support/TestTimes.h"

using namespace qm;

namespace {

using test::kMinute;

// A scheduler on a clock the test moves in heartbeat steps; each refresh reports the next
// result of `results` (success once they run out) and, while `hold` is set, waits for
// `release` to finish.
struct Refresh {
    TimeMs now = 1'780'000'000'000;
    int runs = 0;
    std::vector<bool> results;
    bool hold = false;
    QPromise<void> release;
    BackgroundRefresh scheduler{[this]() -> QCoro::Task<bool> { return work(); },
                                [this] { return now; }};

    Refresh() { scheduler.setPeriodMinutes(5); }

    QCoro::Task<bool> work() {
        ++runs;
        const bool ok = results.empty() ? true : results.front();
        if (!results.empty()) results.erase(results.begin());
        if (hold) co_await release.future();
        co_return ok;
    }
    // Heartbeats for `minutes` of wall-clock time.
    void advance(int minutes) {
        for (TimeMs end = now + minutes * kMinute; now < end;) {
            now += BackgroundRefresh::kHeartbeatMs;
            scheduler.tick();
        }
    }
};

TEST(BackgroundRefresh, OffByDefaultThenOncePerPeriod) {
    Refresh refresh;
    refresh.scheduler.setPeriodMinutes(0);
    refresh.advance(60);
    EXPECT_EQ(refresh.runs, 0);

    // A choice starts its period when it is made; choosing it again does not restart it.
    refresh.scheduler.setPeriodMinutes(15);
    refresh.advance(10);
    refresh.scheduler.setPeriodMinutes(15);
    refresh.advance(4);
    EXPECT_EQ(refresh.runs, 0);
    refresh.advance(1);
    EXPECT_EQ(refresh.runs, 1);
    refresh.advance(45);
    EXPECT_EQ(refresh.runs, 4);
}

TEST(BackgroundRefresh, FailuresBackOffDoublingWithACapAndASuccessResetsIt) {
    Refresh refresh;
    refresh.results = {false, false, false, false, false, true};
    refresh.advance(5);
    ASSERT_EQ(refresh.runs, 1);
    const auto waitAfterRun = [&](int expectedMinutes) {
        const int before = refresh.runs;
        refresh.advance(expectedMinutes - 1);
        EXPECT_EQ(refresh.runs, before) << expectedMinutes;
        refresh.advance(1);
        EXPECT_EQ(refresh.runs, before + 1) << expectedMinutes;
    };
    waitAfterRun(10);
    waitAfterRun(20);
    waitAfterRun(40);
    waitAfterRun(60);
    waitAfterRun(60);  // capped; this one succeeds
    EXPECT_EQ(refresh.scheduler.failures(), 0);
    waitAfterRun(5);
}

TEST(BackgroundRefresh, NeverPilesUpAndSkipsTheTickAfterSleep) {
    Refresh refresh;
    refresh.hold = true;
    refresh.release.start();
    refresh.advance(6);
    ASSERT_EQ(refresh.runs, 1);
    refresh.advance(30);  // still running: nothing new starts
    EXPECT_EQ(refresh.runs, 1);
    EXPECT_TRUE(refresh.scheduler.isRunning());
    refresh.release.finish();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !refresh.scheduler.isRunning(); }));
    refresh.hold = false;

    // Overdue after a night asleep: the first tick after waking does nothing.
    refresh.now += 8 * 60 * kMinute;
    refresh.scheduler.tick();
    EXPECT_EQ(refresh.runs, 1);
    refresh.advance(1);
    EXPECT_EQ(refresh.runs, 2);
}

}  // namespace
