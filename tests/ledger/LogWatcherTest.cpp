#include <gtest/gtest.h>

#include <qcoro/qcorotimer.h>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <chrono>
#include <memory>

#include "ledger/LogWatcher.h"
#include "ledger/UsageLedger.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm::ledger {

void PrintTo(const LogChanges& changes, std::ostream* os) {
    *os << (changes.walk ? "walk " : "") << changes.files.join(QLatin1Char(' ')).toStdString();
}

namespace {

using namespace std::chrono_literals;
using test::append;
using test::codexMetaLine;
using test::codexTotalsLine;
using test::codexTurnLine;

// Generous: a loaded machine may take its time; nothing here is timed against a limit.
constexpr int kPatienceMs = 15'000;
// Long enough for several settle periods and fallback checks to have passed.
constexpr int kQuietMs = 1'500;

QByteArray sampleRollout(const QString& id) {
    return codexMetaLine(id, QStringLiteral("/home/dev/app"), 120) +
           codexTurnLine(QStringLiteral("gpt-5"), 120) + codexTotalsLine(1000, 100, 0, 110);
}

// A watcher on a temporary home with short periods, recording each refresh it asks for.
class LogWatcherTest : public ::testing::Test {
protected:
    QString codexDay(const QString& day) const {
        return home_.filePath(QStringLiteral(".codex/sessions/2026/12/") + day);
    }
    LedgerSources sources() const {
        return {{home_.filePath(".claude/projects")},
                {home_.filePath(".codex/sessions")},
                home_.filePath(".gemini"),
                home_.filePath(".grok/sessions")};
    }
    UsageLedger ledger() const { return UsageLedger(cache_.path(), sources()); }

    void startWatching(int budget = -1, int minGapMs = 600) {
        clock_.start();
        watcher_ = std::make_unique<LogWatcher>(
            sources(), [this](const LogChanges& changes) { return refreshed(changes); },
            LogWatcher::Options{100, minGapMs, 200, budget});
        watcher_->start();
        // The first look is followed by a first refresh, which walks.
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return refreshes_.size() == 1 && running_ == 0; }, kPatienceMs));
        ASSERT_TRUE(refreshes_[0].walk);
        refreshes_.clear();
        startedAt_.clear();
    }
    // Waits for the refresh after `count` and returns what it was asked for.
    LogChanges next(std::size_t count) {
        if (!QTest::qWaitFor([&] { return refreshes_.size() > count && running_ == 0; },
                             kPatienceMs))
            return {{QStringLiteral("no refresh")}, false};
        return refreshes_[count];
    }
    QCoro::Task<> refreshed(LogChanges changes) {
        ++running_;
        mostAtOnce_ = std::max(mostAtOnce_, running_);
        refreshes_.push_back(changes);
        startedAt_.push_back(clock_.elapsed());
        if (onRefresh_) onRefresh_(changes);
        if (holdMs_ > 0) co_await QCoro::sleepFor(std::chrono::milliseconds(holdMs_));
        --running_;
    }

    test::TempDir home_;
    test::TempDir cache_;
    std::unique_ptr<LogWatcher> watcher_;
    std::vector<LogChanges> refreshes_;
    std::function<void(const LogChanges&)> onRefresh_;
    std::vector<qint64> startedAt_;
    QElapsedTimer clock_;
    int holdMs_ = 0;
    int running_ = 0;
    int mostAtOnce_ = 0;
};

// The usual case: an agent appends to its session. Only that file is named, the index reads it
// alone, and reading it (or nothing at all happening) asks for nothing more.
TEST_F(LogWatcherTest, AnAppendRefreshesThatFileAloneAndQuietAsksNothing) {
    const QString a = home_.write(".codex/sessions/2026/12/01/rollout-a.jsonl", sampleRollout("a"));
    home_.write(".codex/sessions/2026/12/01/rollout-b.jsonl", sampleRollout("b"));
    ASSERT_TRUE(ledger().update(1).stats.saved);
    LedgerSnapshot focused;
    onRefresh_ = [&](const LogChanges& changes) {
        UsageLedger::UpdateOptions options;
        options.threads = 1;
        options.focusFiles = changes.files;
        options.walkEvery = 60'000;
        focused = ledger().update(options);
    };
    startWatching();
    EXPECT_EQ(watcher_->checkedCount(), 3);  // the other tools' folders, not there (yet)
    QTest::qWait(kQuietMs);
    EXPECT_TRUE(refreshes_.empty());

    append(a, codexTotalsLine(3000, 300, 0, 5));
    EXPECT_EQ(next(0), (LogChanges{{a}, false}));
    EXPECT_EQ(focused.stats.filesRead, 1u);
    EXPECT_EQ(focused.files.size(), 2u);
    test::TempDir elsewhere;
    EXPECT_EQ(focused.slices(), UsageLedger(elsewhere.path(), sources()).update(1).slices());
    QTest::qWait(kQuietMs);
    EXPECT_EQ(refreshes_.size(), 1u);
}

// New sessions: a file in a new day folder, an empty folder that gets its file later, and the
// tool's own folder made after the start. Each takes a walk, after which the new file is
// watched like the others.
TEST_F(LogWatcherTest, NewFilesAndFoldersTakeAWalkAndAreWatchedAfter) {
    home_.write(".codex/sessions/2026/12/01/rollout-a.jsonl", sampleRollout("a"));
    startWatching();

    const QString c = home_.write(".codex/sessions/2026/12/02/rollout-c.jsonl", sampleRollout("c"));
    EXPECT_TRUE(next(0).walk);
    append(c, codexTotalsLine(2000, 200, 0, 5));
    EXPECT_EQ(next(1), (LogChanges{{c}, false}));

    ASSERT_TRUE(QDir().mkpath(codexDay("03")));
    EXPECT_TRUE(next(2).walk);
    home_.write(".codex/sessions/2026/12/03/rollout-d.jsonl", sampleRollout("d"));
    EXPECT_TRUE(next(3).walk);

    const QString g = home_.write(".grok/sessions/g1/updates.jsonl", "{}\n");
    EXPECT_TRUE(next(4).walk);
    append(g, "{}\n");
    EXPECT_EQ(next(5), (LogChanges{{g}, false}));
}

// Where nothing may be watched, the periodic check sees the same: an append to a known file,
// and a new file in a known folder.
TEST_F(LogWatcherTest, WithoutWatchesTheCheckSeesAppendsAndNewFiles) {
    const QString a = home_.write(".codex/sessions/2026/12/01/rollout-a.jsonl", sampleRollout("a"));
    startWatching(0);
    EXPECT_EQ(watcher_->watchedCount(), 0);
    // The Codex folder, the three below it and the file; the other tools' folders.
    EXPECT_EQ(watcher_->checkedCount(), 5 + 3);
    QTest::qWait(kQuietMs);
    EXPECT_TRUE(refreshes_.empty());

    append(a, codexTotalsLine(3000, 300, 0, 5));
    EXPECT_EQ(next(0), (LogChanges{{a}, false}));
    home_.write(".codex/sessions/2026/12/01/rollout-b.jsonl", sampleRollout("b"));
    EXPECT_TRUE(next(1).walk);
}

// A burst of lines is one refresh; steady writing is spaced by the gap and never runs two
// refreshes at once, and writes during a refresh make the next one.
TEST_F(LogWatcherTest, ABurstIsOneRefreshAndSteadyWritesAreSpaced) {
    const QString a = home_.write(".codex/sessions/2026/12/01/rollout-a.jsonl", sampleRollout("a"));
    const QString b = home_.write(".codex/sessions/2026/12/01/rollout-b.jsonl", sampleRollout("b"));
    holdMs_ = 300;
    startWatching(-1, 1'000);
    for (int i = 0; i < 50; ++i) append(i % 2 ? a : b, codexTotalsLine(3000 + i, 300, 0, 5));
    EXPECT_EQ(next(0), (LogChanges{{a, b}, false}));
    QTest::qWait(kQuietMs);
    EXPECT_EQ(refreshes_.size(), 1u);

    const qint64 from = clock_.elapsed();
    qint64 lastWrite = from;
    while (lastWrite - from < 3'000) {
        append(a, codexTotalsLine(4000, 300, 0, 1));
        lastWrite = clock_.elapsed();
        QTest::qWait(50);
    }
    QTest::qWait(kQuietMs);
    ASSERT_EQ(running_, 0);
    EXPECT_EQ(refreshes_.back(), (LogChanges{{a}, false}));
    EXPECT_GT(startedAt_.back(), lastWrite);  // the last write was read
    // One refresh per gap at most, and one for the writes at the end.
    EXPECT_LE(refreshes_.size(), std::size_t(1 + (lastWrite - from) / 1'000 + 2));
    EXPECT_GE(refreshes_.size(), 3u);
    EXPECT_EQ(mostAtOnce_, 1);
}

// The list of files the watcher names: read alone while the last walk is recent; a file the
// index does not know makes the walk that finds it.
TEST_F(LogWatcherTest, AFocusListReadsItsFilesAloneUnlessOneIsNew) {
    const QString a = home_.write(".codex/sessions/2026/12/01/rollout-a.jsonl", sampleRollout("a"));
    const QString b = home_.write(".codex/sessions/2026/12/01/rollout-b.jsonl", sampleRollout("b"));
    const QString c = home_.write(".codex/sessions/2026/12/01/rollout-c.jsonl", sampleRollout("c"));
    ASSERT_TRUE(ledger().update(1).stats.saved);
    for (const QString& file : {a, b, c}) append(file, codexTotalsLine(5000, 500, 0, 5));
    UsageLedger::UpdateOptions options;
    options.threads = 1;
    options.focusFiles = {b, a};
    options.walkEvery = 60'000;
    EXPECT_EQ(ledger().update(options).stats.filesRead, 2u);

    const QString d = home_.write(".codex/sessions/2026/12/01/rollout-d.jsonl", sampleRollout("d"));
    options.focusFiles = {a, d};
    const LedgerSnapshot walked = ledger().update(options);
    EXPECT_EQ(walked.stats.filesRead, 2u);  // c's append and the new d
    test::TempDir elsewhere;
    EXPECT_EQ(walked.slices(), UsageLedger(elsewhere.path(), sources()).update(1).slices());
}

}  // namespace
}  // namespace qm::ledger

namespace qm::ledger {
namespace {

// OpenCode's folder: its database is written through the write-ahead log, which is watched as a
// file; its git snapshots of every project are never walked or watched.
TEST(LogWatcherLook, OpenCodesDatabaseLogIsWatchedAndItsSnapshotsAreNot) {
    test::TempDir home;
    const QDir data(home.filePath(".local/share/opencode"));
    for (const char* folder : {"snapshot/p1/objects/ab", "storage/message/ses_1"})
        ASSERT_TRUE(data.mkpath(folder));
    for (const char* file : {"opencode.db", "opencode.db-wal"}) {
        QFile f(data.filePath(file));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    LedgerSources sources;
    sources.openCodeDataDirectory = data.path();
    QStringList watched;
    for (const WatchedPath& path : lookAtLogs(sources).paths)
        watched.append(path.path.mid(data.path().size()));
    EXPECT_TRUE(watched.contains("/opencode.db-wal")) << watched.join(' ').toStdString();
    EXPECT_TRUE(watched.contains("/storage/message")) << watched.join(' ').toStdString();
    EXPECT_FALSE(watched.contains("/snapshot")) << watched.join(' ').toStdString();
    EXPECT_FALSE(watched.contains("/snapshot/p1")) << watched.join(' ').toStdString();
}

}  // namespace
}  // namespace qm::ledger
