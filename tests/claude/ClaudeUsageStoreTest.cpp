#include <gtest/gtest.h>

#include <QCoroTask>
#include <QSignalSpy>

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
    EXPECT_EQ(store->statusText(), "Login required");
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
    EXPECT_EQ(store->statusText(), "Request timed out");
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::error);
    EXPECT_TRUE(store->latest());
    EXPECT_FALSE(store->isRefreshing());

    site.route(site.usagePath(),
               [](const FakeClaudeRequest&) { return FakeClaudeReply::json(429, "{}"); });
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->statusText(), "usage_failed_429");
    EXPECT_TRUE(store->latest());

    // Signed out: the figures are no longer the user's to see.
    site.route(site.usagePath(),
               [](const FakeClaudeRequest&) { return FakeClaudeReply::json(401, "{}"); });
    EXPECT_FALSE(QCoro::waitFor(store->completeLogin()));
    EXPECT_EQ(store->statusText(), "Login required");
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::needsLogin);
    EXPECT_FALSE(store->latest());
    EXPECT_EQ(history.claudeSnapshots().size(), 1u);
}
