#include <gtest/gtest.h>

#include <qcoro/qcorotask.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSignalSpy>

#include "ledger/LocalUsageStore.h"
#include "ledger/UsageAggregator.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm::ledger {
namespace {

void waitUntilIdle(const LocalUsageStore& store) {
    QDeadlineTimer deadline(60'000);
    while (store.isIndexing() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    ASSERT_FALSE(store.isIndexing());
}

// The app's wiring: every summary comes from the index the store keeps. A refresh asked for
// while the store updates (its first build, say) waits for that update, then reads on.
TEST(IndexedSummaries, AggregatorTakesEverySummaryFromTheIndexAndWaitsForABuild) {
    test::TempDir home;
    test::TempDir cache;
    test::writeSampleHome(home.path());
    qunsetenv("CLAUDE_CONFIG_DIR");
    qunsetenv("CODEX_HOME");
    LocalUsageStore store(UsageLedger(cache.path(), LedgerSources::forHome(home.path())));
    UsageAggregator aggregator(home.path());
    aggregator.setIndexedSummaries(
        [&store, &home](TimeMs since) { return store.refreshWithSummaries(home.path(), since); });

    store.refreshInBackground();
    ASSERT_TRUE(store.isIndexing());
    QSignalSpy updated(&store, &LocalUsageStore::changed);
    QCoro::waitFor(aggregator.refresh());
    EXPECT_FALSE(store.isIndexing());
    ASSERT_TRUE(store.lastUpdateAt());
    EXPECT_GE(updated.count(), 3);  // the build published, then one more update
    EXPECT_EQ(aggregator.menuBarTitle(std::nullopt), "Codex 3 Grok 1 Gemini 2");
    EXPECT_EQ(aggregator.usage(ProviderKind::codex)->totalInputTokens, 1000);
    EXPECT_EQ(aggregator.usage(ProviderKind::claudeCode)->lastFiveHourPrompts, 2);

    // The same summaries as an aggregator that keeps an index of its own.
    UsageAggregator alone(home.path());
    QCoro::waitFor(alone.refresh());
    for (const ProviderKind kind : kAllProviderKinds) {
        ProviderUsage shared = *aggregator.usage(kind);
        const ProviderUsage own = *alone.usage(kind);
        shared.statusText = own.statusText;  // only the status may move on meanwhile
        shared.statusLevel = own.statusLevel;
        EXPECT_EQ(shared, own) << int(kind);
    }
    waitUntilIdle(store);
}

}  // namespace
}  // namespace qm::ledger
