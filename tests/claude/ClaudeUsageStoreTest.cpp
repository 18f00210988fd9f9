#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <map>

#include "ClaudeSiteFixture.h"
#include "claude/ClaudeUsageStore.h"
#include "history/UsageHistoryStore.h"

using namespace qm;
using namespace qm::test;

namespace {

class ClaudeUsageStoreTest : public ClaudeSiteFixture {
protected:
    std::unique_ptr<ClaudeUsageStore> makeStore(ClaudeWebSessionTimings timings = quick()) {
        auto store = std::make_unique<ClaudeUsageStore>(makeSession(timings));
        store->setHistorySink([this](const ClaudeUsageSnapshot& snapshot) {
            history.appendClaudeSnapshot(snapshot);
        });
        return store;
    }

    UsageHistoryStore history{
        UsageHistoryFileStore(UsageHistoryFileStore::pathIn(dir.filePath("data")))};
};

}  // namespace

TEST_F(ClaudeUsageStoreTest, SignInFillsTheLimitsAndRecordsOneSnapshotPerSuccess) {
    auto store = makeStore();
    EXPECT_EQ(store->statusText(), "Login required");
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::needsLogin);
    EXPECT_FALSE(store->latest());
    EXPECT_FALSE(store->isRefreshing());

    // Signed out: the done button reports failure and nothing is recorded.
    EXPECT_FALSE(QCoro::waitFor(store->completeLogin()));
    EXPECT_EQ(store->statusText(), "Sign in to Claude to see your limits.");
    EXPECT_TRUE(history.claudeSnapshots().empty());

    signIn(*store->session());
    QSignalSpy changes(store.get(), &ClaudeUsageStore::changed);
    // A second refresh while the first runs starts no fetch and changes nothing.
    auto first = store->refresh();
    EXPECT_TRUE(store->isRefreshing());
    EXPECT_EQ(store->statusText(), "Refreshing...");
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::loading);
    auto second = store->refresh();
    EXPECT_TRUE(second.isReady());
    QCoro::waitFor(first);
    EXPECT_EQ(site.requestCount(site.usagePath()), 1);
    EXPECT_EQ(changes.count(), 2);  // loading, then connected

    EXPECT_EQ(store->statusText(), "Connected");
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::connected);
    ASSERT_TRUE(store->latest());
    EXPECT_EQ(store->latest()->sessionPct, 42.5);
    ASSERT_EQ(history.claudeSnapshots().size(), 1u);
    EXPECT_EQ(history.claudeSnapshots()[0].sessionPct, 42.5);
    EXPECT_EQ(history.claudeSnapshots()[0].subModelName, "Sonnet");

    EXPECT_TRUE(QCoro::waitFor(store->completeLogin()));
}

TEST_F(ClaudeUsageStoreTest, FailuresKeepOrClearTheLastFiguresByKind) {
    auto timings = quick();
    timings.answerTimeout = std::chrono::milliseconds(2000);
    auto store = makeStore(timings);
    signIn(*store->session());
    QCoro::waitFor(store->refresh());
    ASSERT_TRUE(store->latest());

    // A transient failure leaves the figures on screen.
    site.route(site.usagePath(),
               [](const FakeClaudeRequest&) { return FakeClaudeReply::noAnswer(); });
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->statusText(), "Can't reach claude.ai. Check the connection, then Refresh.");
    EXPECT_EQ(store->errorDetail(), "Request timed out");
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::error);
    EXPECT_TRUE(store->latest());
    EXPECT_FALSE(store->isRefreshing());

    site.route(site.usagePath(),
               [](const FakeClaudeRequest&) { return FakeClaudeReply::json(429, "{}"); });
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->errorDetail(), "usage_failed_429");
    EXPECT_TRUE(store->latest());

    // Signed out: the figures are no longer the user's to see.
    site.route(site.usagePath(),
               [](const FakeClaudeRequest&) { return FakeClaudeReply::json(401, "{}"); });
    EXPECT_FALSE(QCoro::waitFor(store->completeLogin()));
    EXPECT_EQ(store->statusText(), "Sign in to Claude to see your limits.");
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::needsLogin);
    EXPECT_FALSE(store->latest());
    EXPECT_EQ(history.claudeSnapshots().size(), 1u);
}

namespace {

// The browser's working processes below this one (renderers, GPU and utility processes; the
// zygote forks the renderers, so they are grandchildren), read from /proc.
int browserProcesses() {
    const qint64 self = QCoreApplication::applicationPid();
    std::map<qint64, qint64> parentOf;
    std::map<qint64, QByteArray> commandOf;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number) continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray text = stat.readAll();
        // "pid (comm) state ppid ...": the name may hold spaces, so read after its ')'.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 2) continue;
        parentOf[pid] = fields[1].toLongLong();
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly)) commandOf[pid] = cmdline.readAll();
    }
    int count = 0;
    for (const auto& [pid, command] : commandOf) {
        if (!command.contains("QtWebEngineProcess")) continue;
        // The zygotes, started straight from this process, stay with the engine itself, which
        // lives as long as the application; they hold no page and fork the renderers on
        // demand. What they fork carries their command line too, one level further down.
        if (parentOf[pid] == self && command.contains("--type=zygote")) continue;
        for (qint64 up = parentOf[pid]; up > 1; up = parentOf[up]) {
            if (up == self) {
                ++count;
                break;
            }
        }
    }
    return count;
}

}  // namespace

TEST_F(ClaudeUsageStoreTest, AnIdleBrowserIsShutDownAndStartedAgainOnTheNextNeed) {
    int sessionsMade = 0;
    ClaudeUsageStore store(ClaudeUsageStore::SessionFactory([&] {
        ++sessionsMade;
        return makeSession();
    }));
    store.setIdleShutdown(std::chrono::milliseconds(300));
    signIn(*store.session());
    QCoro::waitFor(store.refresh());
    ASSERT_TRUE(store.latest());
    EXPECT_GT(browserProcesses(), 0);

    // Nothing needs it: the session goes, and with it every process the browser started.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store.hasSession(); }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([] { return browserProcesses() == 0; }, 15000))
        << browserProcesses() << " browser processes left";
    EXPECT_TRUE(store.latest());  // the figures stay on screen

    // The next fetch starts it again, signed in from the kept cookies.
    QCoro::waitFor(store.refresh());
    EXPECT_EQ(sessionsMade, 2);
    EXPECT_EQ(store.statusKind(), ClaudeUsageStatusKind::connected);

    // A holder (the login window) keeps it up past the idle period, until it lets go.
    store.holdSession();
    QTest::qWait(800);
    EXPECT_TRUE(store.hasSession());
    store.releaseSession();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !store.hasSession(); }, 5000));
}
