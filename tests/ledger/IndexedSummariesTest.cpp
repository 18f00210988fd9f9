#include <gtest/gtest.h>

#include <qcoro/qcorotask.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutex>
#include <QSignalSpy>

#include "ledger/LocalUsageStore.h"
#include "readers/CliLogParsing.h"
#include "readers/UsageAggregator.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm::ledger {
namespace {

QMutex g_openedMutex;
QStringList g_opened;
void recordOpen(const QString& path) {
    QMutexLocker lock(&g_openedMutex);
    g_opened.append(path);
}

void waitUntilIdle(const LocalUsageStore& store) {
    QDeadlineTimer deadline(60'000);
    while (store.isIndexing() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    ASSERT_FALSE(store.isIndexing());
}

// The app's wiring: each refresh updates the index once and takes Codex from it, but never
// waits for a first build, which the readers stand in for.
TEST(IndexedSummaries, AggregatorTakesCodexFromTheIndexOnceItIsBuilt) {
    test::TempDir home;
    test::TempDir cache;
    test::writeSampleHome(home.path());
    qunsetenv("CLAUDE_CONFIG_DIR");
    qunsetenv("CODEX_HOME");
    LocalUsageStore store(UsageLedger(cache.path(), LedgerSources::forHome(home.path())));
    UsageAggregator aggregator(home.path());
    aggregator.setIndexedSummaries(
        [&store, &home](TimeMs since) { return store.refreshWithSummaries(home.path(), since); });

    g_opened.clear();
    CliLogParsing::setOpenObserver(recordOpen);
    QCoro::waitFor(aggregator.refresh());
    EXPECT_EQ(g_opened.filter("rollout-sample.jsonl").size(), 1);  // read by the reader
    const ProviderUsage fromReader = *aggregator.usage(ProviderKind::codex);
    waitUntilIdle(store);
    ASSERT_TRUE(store.lastUpdateAt());

    g_opened.clear();
    QSignalSpy updated(&store, &LocalUsageStore::changed);
    QCoro::waitFor(aggregator.refresh());
    CliLogParsing::setOpenObserver(nullptr);
    EXPECT_EQ(g_opened.filter("rollout-sample.jsonl").size(), 0);  // from the index
    EXPECT_FALSE(store.isIndexing());
    EXPECT_EQ(updated.count(), 2);  // one update of the index, begun and published
    ProviderUsage fromIndex = *aggregator.usage(ProviderKind::codex);
    // Only the status may move on between the two refreshes.
    fromIndex.statusText = fromReader.statusText;
    fromIndex.statusLevel = fromReader.statusLevel;
    EXPECT_EQ(fromIndex, fromReader);
    EXPECT_EQ(aggregator.menuBarTitle(std::nullopt), "Codex 3 Grok 1 Gemini 2");
}

}  // namespace
}  // namespace qm::ledger
