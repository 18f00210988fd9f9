#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <limits>
#include <map>

#include "history/UsageHistoryJournal.h"
#include "history/UsageHistoryReader.h"
#include "history/UsageHistoryStore.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"
#include "support/WriteBlocker.h"

using namespace qm;
using qm::test::TempDir;

namespace {

constexpr std::int64_t kDay = 86'400'000;
constexpr std::int64_t kNow = 1'780'000'000'000;

struct Fixture {
    TempDir dir;
    std::int64_t now = kNow;
    QString path = UsageHistoryFileStore::pathIn(dir.path());

    std::weak_ptr<UsageHistoryStore> current;

    // Saves run in the background; what is on disk is read once the last one has ended.
    std::shared_ptr<UsageHistoryStore> open() {
        auto store = std::make_shared<UsageHistoryStore>(UsageHistoryFileStore(path),
                                                         [this] { return now; });
        current = store;
        return store;
    }
    QByteArray fileBytes() const {
        if (const auto store = current.lock()) store->flush();
        return qm::test::readAll(path);
    }
    UsageHistoryData onDisk() const {
        if (const auto store = current.lock()) store->flush();
        return UsageHistoryFileStore(path).load().data;
    }
};

GeminiUsageRecord gemini(std::int64_t at, QString model = "gemini-2.5-pro") {
    return {at, "g-1", std::move(model), 100, 50, 0, 0, 0, 0.001, 300, "relay", std::nullopt};
}

ClaudeUsageSnapshot claude(std::int64_t at, double session = 10) {
    return {at, session, 20, 30, "Opus"};
}

UsageBucket bucket(QString model, double cost = 0.5) {
    return {std::move(model), 1000, 200, 10, 20, 30, cost};
}

}  // namespace

TEST(UsageHistoryStore, ClaudeSnapshotsRepeatedWithinAMinuteAreStoredOnce) {
    Fixture f;
    auto store = f.open();
    QSignalSpy changed(store.get(), &UsageHistoryStore::changed);
    store->appendClaudeSnapshot(claude(kNow));
    store->appendClaudeSnapshot(claude(kNow + 30'000));        // same values, 30 s later
    store->appendClaudeSnapshot(claude(kNow + 61'000));        // 61 s after the newest
    store->appendClaudeSnapshot(claude(kNow + 62'000, 10.5));  // a changed value
    ClaudeUsageSnapshot model = claude(kNow + 63'000, 10.5);
    model.subModelName = "Sonnet";
    store->appendClaudeSnapshot(model);  // another model
    ASSERT_EQ(store->claudeSnapshots().size(), 4u);
    EXPECT_EQ(store->claudeSnapshots()[1].timestampMs, kNow + 61'000);
    EXPECT_EQ(changed.count(), 4);
    EXPECT_EQ(f.onDisk().claudeSnapshots, store->claudeSnapshots());
}

TEST(UsageHistoryStore, InvalidInputIsDroppedWithoutASave) {
    Fixture f;
    auto store = f.open();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    store->appendClaudeSnapshot(claude(kNow, 100.5));
    store->appendClaudeSnapshot(claude(kNow, -1));
    store->appendClaudeSnapshot(claude(kNow, nan));

    std::vector<GeminiUsageRecord> bad(7, gemini(kNow));
    bad[0].timestampMs = 0;
    bad[1].accountId.clear();
    bad[2].cacheTokens = -1;
    bad[3].latencyMs = -1;
    bad[4].costUsd = -0.01;
    bad[5].costUsd = std::numeric_limits<double>::infinity();
    bad[6].source = "proxy";
    for (const auto& record : bad) store->appendGeminiRecord(record);

    store->appendApiRecords({bucket("m")}, "mistral", "acct");
    store->appendApiRecords({bucket("m")}, "anthropic", "   ");
    store->appendApiRecords({}, "anthropic", "acct");
    store->appendApiRecords({bucket("m", -1)}, "openai", "acct");

    EXPECT_EQ(store->data(), UsageHistoryData{});
    EXPECT_FALSE(QFile::exists(f.path));

    // The edges that are valid.
    store->appendClaudeSnapshot(claude(kNow, 100));
    GeminiUsageRecord free = gemini(kNow);
    free.costUsd = -0.0;
    free.source = "playground";
    store->appendGeminiRecord(free);
    EXPECT_EQ(store->claudeSnapshots().size(), 1u);
    EXPECT_EQ(store->geminiUsageRecords().size(), 1u);
}

TEST(UsageHistoryStore, ApiBucketsBecomeRecordsStampedWithOneFetchTime) {
    Fixture f;
    auto store = f.open();
    store->appendApiRecords({bucket("claude-opus-4"), bucket("")}, "Anthropic ", " acct-7 ");
    const auto& records = store->apiUsageRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0],
              (ApiUsageRecord{kNow, "anthropic", "acct-7", "claude-opus-4", 1000, 200, 60, 0.5}));
    EXPECT_EQ(records[1].model, "unknown");
    EXPECT_EQ(records[1].timestampMs, kNow);
    // A second fetch of the same period adds a second set.
    f.now += 1000;
    store->appendApiRecords({bucket("claude-opus-4")}, "anthropic", "acct-7");
    EXPECT_EQ(store->apiUsageRecords().size(), 3u);
    EXPECT_EQ(f.onDisk().apiRecords, store->apiUsageRecords());
}

TEST(UsageHistoryStore, OutOfOrderRecordsAreInsertedInTimeOrderAndSavedConsistently) {
    Fixture f;
    auto store = f.open();
    store->appendGeminiRecord(gemini(kNow - 10, "a"));
    store->appendGeminiRecord(gemini(kNow - 30, "b"));  // older: goes first
    store->appendGeminiRecord(gemini(kNow - 10, "c"));  // same time: after "a"
    store->appendGeminiRecord(gemini(kNow, "d"));
    QStringList order;
    for (const auto& r : store->geminiUsageRecords()) order << r.model;
    EXPECT_EQ(order, QStringList({"b", "a", "c", "d"}));
    // The saved file is exactly what encoding the published series gives.
    EXPECT_EQ(f.fileBytes(), UsageHistoryJson::encode(store->data()));
}

TEST(UsageHistoryStore, PrunesAtStartAndOnTheNextChangeKeepingTheCutOff) {
    Fixture f;
    UsageHistoryData old;
    old.claudeSnapshots = {claude(kNow - 31 * kDay), claude(kNow - 30 * kDay, 50)};
    old.geminiRecords = {gemini(kNow - 91 * kDay), gemini(kNow - 90 * kDay)};
    ASSERT_EQ(UsageHistoryFileStore(f.path).save(old), std::nullopt);
    const QByteArray before = f.fileBytes();
    {
        auto store = f.open();
        EXPECT_EQ(store->claudeSnapshots().size(), 1u);
        EXPECT_EQ(store->geminiUsageRecords().size(), 1u);
        EXPECT_EQ(store->lastError(), std::nullopt);
    }
    // Pruning at start does not write; the next change does.
    EXPECT_EQ(f.fileBytes(), before);
    auto store = f.open();
    f.now += kDay;  // the remaining records are now past the cut-off
    store->appendGeminiRecord(gemini(f.now));
    EXPECT_TRUE(store->claudeSnapshots().empty());
    EXPECT_EQ(f.onDisk().geminiRecords, std::vector<GeminiUsageRecord>{gemini(f.now)});
}

TEST(UsageHistoryStore, AnUndecodableFileIsKeptAsideBeforeTheFirstSave) {
    Fixture f;
    const QByteArray original = "{\"geminiRecords\": [{\"timestampMs\": \"not a number\"}]}";
    f.dir.write("usage-history.json", original);
    auto store = f.open();
    EXPECT_EQ(store->data(), UsageHistoryData{});
    EXPECT_EQ(f.fileBytes(), original);  // loading alone touches nothing

    store->appendGeminiRecord(gemini(kNow));
    store->flush();
    ASSERT_TRUE(store->lastError());
    EXPECT_TRUE(store->lastError()->contains("kept as")) << store->lastError()->toStdString();
    const QStringList aside =
        QDir(f.dir.path()).entryList({"usage-history.json.corrupt-*"}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(qm::test::readAll(f.dir.filePath(aside[0])), original);
    EXPECT_EQ(f.onDisk().geminiRecords.size(), 1u);

    // Later saves are ordinary: nothing more is moved and the notice clears.
    store->appendGeminiRecord(gemini(kNow + 1));
    store->flush();
    EXPECT_EQ(store->lastError(), std::nullopt);
    EXPECT_EQ(QDir(f.dir.path()).entryList({"usage-history.json.corrupt-*"}).size(), 1);
    EXPECT_EQ(f.onDisk().geminiRecords.size(), 2u);
}

TEST(UsageHistoryStore, AFailedSaveKeepsTheChangeInMemoryAndTheNextSaveRetries) {
    Fixture f;
    auto store = f.open();
    store->appendGeminiRecord(gemini(kNow));
    const QByteArray saved = f.fileBytes();
    std::optional<test::WriteBlocker> full(std::in_place);
    store->appendGeminiRecord(gemini(kNow + 1));
    store->flush();
    full.reset();
    EXPECT_EQ(store->geminiUsageRecords().size(), 2u);
    ASSERT_TRUE(store->lastError());
    EXPECT_EQ(qm::test::readAll(f.path), saved);

    store->appendGeminiRecord(gemini(kNow + 2));
    store->flush();
    EXPECT_EQ(store->lastError(), std::nullopt);
    EXPECT_EQ(f.onDisk().geminiRecords.size(), 3u);
}

// On a full disk records wait in memory (bounded) without touching the disk, and are saved
// by a retry once writing works again; another process sees them from then on.
TEST(UsageHistoryStore, RecordsThatCannotBeWrittenAreHeldAndSavedWhenWritingWorksAgain) {
    Fixture f;
    auto store = f.open();
    using Outcome = UsageHistoryStore::Outcome;
    EXPECT_EQ(store->appendGeminiRecord(gemini(kNow)), Outcome::saved);
    store->setHeldLimit(3);
    const QString journal = UsageHistoryJournal::pathFor(f.path);
    {
        test::WriteBlocker full;
        EXPECT_EQ(store->appendGeminiRecord(gemini(kNow + 1)), Outcome::held);
        ASSERT_TRUE(store->saveProblem().has_value());
        const QByteArray journalBefore = qm::test::readAll(journal);
        EXPECT_EQ(store->appendClaudeSnapshot(claude(kNow + 2)), Outcome::held);
        EXPECT_EQ(store->appendApiRecords({bucket("gpt-5")}, "openai", "o-1"), Outcome::held);
        EXPECT_EQ(store->appendGeminiRecord(gemini(kNow + 3)), Outcome::dropped);
        EXPECT_EQ(qm::test::readAll(journal), journalBefore);  // held without writing
        EXPECT_EQ(store->heldRecordCount(), 3u);
        EXPECT_TRUE(store->saveProblem()->contains("3 held"))
            << store->saveProblem()->toStdString();
        EXPECT_TRUE(store->saveProblem()->contains("1 lost"));
        EXPECT_EQ(store->geminiUsageRecords().size(), 2u);
        EXPECT_EQ(f.open()->geminiUsageRecords().size(), 1u);
    }
    // The retry comes on its own after a short delay.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->saveProblem(); }, 5000));
    EXPECT_EQ(store->heldRecordCount(), 0u);
    EXPECT_EQ(store->appendGeminiRecord(gemini(kNow + 4)), Outcome::saved);
    // Another process (a kill now loses nothing) sees every record that was held.
    const auto other = f.open();
    EXPECT_EQ(other->geminiUsageRecords().size(), 3u);
    EXPECT_EQ(other->claudeSnapshots().size(), 1u);
    EXPECT_EQ(other->apiUsageRecords().size(), 1u);
}

TEST(UsageHistoryStore, RecordsSurviveARestart) {
    Fixture f;
    {
        auto store = f.open();
        store->appendClaudeSnapshot(claude(kNow));
        GeminiUsageRecord withAgent = gemini(kNow);
        withAgent.clientUserAgent = "google-genai-sdk/1.0 ünïcode";
        store->appendGeminiRecord(withAgent);
        store->appendApiRecords({bucket("gpt-5")}, "openai", "o-1");
    }
    auto store = f.open();
    EXPECT_EQ(store->claudeSnapshots().size(), 1u);
    ASSERT_EQ(store->geminiUsageRecords().size(), 1u);
    EXPECT_EQ(store->geminiUsageRecords()[0].clientUserAgent, "google-genai-sdk/1.0 ünïcode");
    EXPECT_EQ(store->apiUsageRecords().size(), 1u);
}

TEST(UsageHistoryStore, KeptRecordTextStaysInStepWithTheRecordsThroughInsertsAndPruning) {
    // Late records land in the middle, pruning drops runs from the front (and sometimes the
    // whole series), and saves run while the next changes are made; once the saves have
    // caught up, the file must be what encoding the series gives.
    Fixture f;
    auto store = f.open();
    std::uint32_t seed = 12345;
    const auto next = [&seed](std::uint32_t bound) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % bound;
    };
    for (int step = 0; step < 2000; ++step) {
        f.now += std::int64_t(next(3)) * kDay / 2;
        if (next(40) == 0) f.now += 95 * kDay;  // everything kept so far expires
        const std::uint32_t kind = next(10);
        const std::int64_t at = kind < 6 ? f.now : f.now - std::int64_t(next(92)) * kDay;
        store->appendGeminiRecord(gemini(at, QString::number(step)));
        if (next(4) == 0) store->appendClaudeSnapshot(claude(f.now - next(31) * kDay, step % 100));
        // Most changes arrive while the previous save is still being written.
        if (step % 10 == 9) {
            ASSERT_EQ(f.fileBytes(), UsageHistoryJson::encode(store->data())) << step;
        }
    }
    EXPECT_FALSE(store->geminiUsageRecords().empty());
}

TEST(UsageHistoryStore, ALargeHistoryTakesChangesWhileItsTextIsStillBeingPrepared) {
    Fixture f;
    UsageHistoryData big;
    for (int i = 0; i < 3000; ++i) big.geminiRecords.push_back(gemini(kNow - 3000 + i));
    ASSERT_EQ(UsageHistoryFileStore(f.path).save(big), std::nullopt);
    auto store = f.open();
    store->appendGeminiRecord(gemini(kNow - 1500, "late"));  // lands in the middle
    store->appendGeminiRecord(gemini(kNow + 1, "new"));
    EXPECT_EQ(f.fileBytes(), UsageHistoryJson::encode(store->data()));
    EXPECT_EQ(store->geminiUsageRecords().size(), 3002u);
}

// Two stores on one folder stand for two processes: each takes the file's lock for every write
// and reads the other's records first.
TEST(UsageHistoryStore, StoresSharingTheFilesKeepEachOthersRecords) {
    Fixture f;
    auto relay = f.open();
    auto other =
        std::make_shared<UsageHistoryStore>(UsageHistoryFileStore(f.path), [&f] { return f.now; });
    relay->appendGeminiRecord(gemini(kNow, "a"));
    other->appendApiRecords({bucket("claude-x")}, "anthropic", "acct");
    relay->appendGeminiRecord(gemini(kNow + 1, "b"));
    // The other's rewrite of the file is read back at the relay's next record, not overwritten.
    other->flush();
    relay->appendGeminiRecord(gemini(kNow + 2, "c"));
    other->appendGeminiRecord(gemini(kNow + 3, "d"));
    relay->flush();

    // Each sees everything once the other wrote it, and so does a fresh start.
    EXPECT_TRUE(other->refreshIfChanged());
    EXPECT_EQ(relay->data(), other->data());
    EXPECT_EQ(relay->geminiUsageRecords().size(), 4u);
    EXPECT_EQ(relay->apiUsageRecords().size(), 1u);
    relay.reset();
    other.reset();
    const UsageHistoryData saved = UsageHistoryFileStore(f.path).load().data;
    EXPECT_EQ(saved.geminiRecords.size(), 4u);
    EXPECT_EQ(saved.apiRecords.size(), 1u);
    EXPECT_EQ(f.open()->data(), saved);
}

TEST(UsageHistoryStore, ALongLivedStoreRepublishesWhatAnotherProcessRecorded) {
    Fixture f;
    auto app = f.open();
    QSignalSpy changed(app.get(), &UsageHistoryStore::changed);
    UsageHistoryStore(UsageHistoryFileStore(f.path), [&f] {
        return f.now;
    }).appendApiRecords({bucket("claude-x")}, "anthropic", "acct");
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->apiUsageRecords().size() == 1u; }, 5000));
    EXPECT_GE(changed.count(), 1);
}

TEST(UsageHistoryStore, EveryRecordIsOnDiskWhenTheCallReturns) {
    // A copy of the folder taken right after a call is what a kill at that moment leaves.
    Fixture f;
    auto store = f.open();
    store->appendGeminiRecord(gemini(kNow, "first"));
    store->flush();
    store->appendGeminiRecord(gemini(kNow + 1, "second"));
    store->appendApiRecords({bucket("m1"), bucket("m2")}, "openai", "acct");
    TempDir killed;
    for (const QString& name : QDir(f.dir.path()).entryList(QDir::Files))
        ASSERT_TRUE(QFile::copy(f.dir.filePath(name), killed.filePath(name)));
    const QString journal = UsageHistoryJournal::pathFor(f.path);
    EXPECT_LT(QFileInfo(journal).size(), 2000);  // a few lines, not the whole history again

    // A copy has a file of its own; a kill would leave the journal naming that very file.
    const QString copiedJournal =
        UsageHistoryJournal::pathFor(UsageHistoryFileStore::pathIn(killed.path()));
    QByteArray lines = qm::test::readAll(copiedJournal);
    lines = QByteArray::fromStdString(UsageHistoryJournal::header(
                FileStamp::of(UsageHistoryFileStore::pathIn(killed.path())))) +
            lines.mid(lines.indexOf('\n') + 1);
    killed.write(QFileInfo(copiedJournal).fileName(), lines);
    // The end of an append cut short by the kill is skipped; what follows is read again.
    {
        QFile torn(copiedJournal);
        ASSERT_TRUE(torn.open(QIODevice::Append));
        torn.write(R"({"geminiRecords":[{"accountId":"g-1",)");
    }
    UsageHistoryStore restarted(UsageHistoryFileStore(UsageHistoryFileStore::pathIn(killed.path())),
                                [&f] { return f.now; });
    EXPECT_EQ(restarted.data(), store->data());
    restarted.appendGeminiRecord(gemini(kNow + 2, "after the kill"));
    UsageHistoryStore again(UsageHistoryFileStore(UsageHistoryFileStore::pathIn(killed.path())),
                            [&f] { return f.now; });
    EXPECT_EQ(again.geminiUsageRecords().size(), 3u);
    EXPECT_EQ(again.geminiUsageRecords().back().model, "after the kill");
}

TEST(UsageHistoryStore, AJournalLeftBehindByAKilledRewriteCountsNothingTwice) {
    Fixture f;
    {
        auto store = f.open();
        store->appendGeminiRecord(gemini(kNow, "a"));
        store->appendGeminiRecord(gemini(kNow + 1, "b"));
    }  // the rewrite at exit folds the journal in
    const QString journal = UsageHistoryJournal::pathFor(f.path);
    // As if killed after the file was rewritten but before the journal started afresh: the
    // old journal names the file that was replaced.
    FileStamp older = FileStamp::of(f.path);
    older.inode += 1;
    const std::string stale = UsageHistoryJournal::header(older) +
                              UsageHistoryJournal::line(gemini(kNow, "a")) +
                              UsageHistoryJournal::line(gemini(kNow + 1, "b"));
    ASSERT_FALSE(AtomicFile::write(journal, QByteArray::fromStdString(stale)));
    auto store = f.open();
    EXPECT_EQ(store->geminiUsageRecords().size(), 2u);
    store->appendGeminiRecord(gemini(kNow + 2, "c"));
    EXPECT_EQ(f.open()->geminiUsageRecords().size(), 3u);
}

TEST(UsageHistoryStore, AJournalPastItsBoundIsFoldedIntoTheFileAtOnce) {
    Fixture f;
    auto store = f.open();
    const QString journal = UsageHistoryJournal::pathFor(f.path);
    int count = 0;
    while (count < 10'000 && !QFileInfo::exists(f.path)) {
        store->appendGeminiRecord(gemini(kNow + count, QString(200, 'm')));
        ++count;
    }
    ASSERT_TRUE(QFileInfo::exists(f.path)) << "no rewrite after " << count << " records";
    EXPECT_GT(QFileInfo(journal).size(), 0);
    store->appendGeminiRecord(gemini(kNow + count, "after"));  // waits for that rewrite
    EXPECT_LT(QFileInfo(journal).size(), UsageHistoryStore::journalBoundBytes / 100);
    // The rename may land only while the next record waits for it.
    EXPECT_GE(UsageHistoryFileStore(f.path).load().data.geminiRecords.size() + 1,
              std::size_t(count));
}

// Commands that only report read the file and the journal and merge them in memory: nothing
// in the folder is created, renamed or rewritten, not even a lock file.
TEST(UsageHistoryReader, MergesTheJournalInMemoryAndWritesNothing) {
    Fixture f;
    {
        auto store = f.open();
        store->appendGeminiRecord(gemini(kNow, "filed"));
        store->flush();
        store->appendGeminiRecord(gemini(kNow + 1, "in the journal"));
        store->appendClaudeSnapshot(claude(kNow + 2));
        const QDir folder(f.dir.path());
        const QStringList before = folder.entryList(QDir::Files | QDir::Hidden);
        std::map<QString, QByteArray> bytes;
        for (const QString& name : before) bytes[name] = qm::test::readAll(f.dir.filePath(name));

        const UsageHistoryReader read = UsageHistoryReader::read(f.path, kNow);
        EXPECT_EQ(read.data(), store->data());
        EXPECT_EQ(read.loadState(), UsageHistoryFileStore::LoadState::Loaded);
        EXPECT_EQ(folder.entryList(QDir::Files | QDir::Hidden), before);
        for (const QString& name : before)
            EXPECT_EQ(qm::test::readAll(f.dir.filePath(name)), bytes[name]) << name.toStdString();
    }
    // Nothing there at all: nothing is created.
    TempDir empty;
    const QString missing = UsageHistoryFileStore::pathIn(empty.filePath("none"));
    EXPECT_EQ(UsageHistoryReader::read(missing, kNow).data(), UsageHistoryData{});
    EXPECT_FALSE(QFileInfo::exists(empty.filePath("none")));
}

// Figures no call can produce are refused wherever they enter: handed over, in the file, in
// the journal; a journal naming another file is set aside rather than replayed.
TEST(UsageHistoryStore, HostileFiguresAreRefusedFromEverySource) {
    Fixture f;
    GeminiUsageRecord huge = gemini(kNow - 2, "huge");
    huge.inputTokens = 20'000'000'000;
    GeminiUsageRecord dear = gemini(kNow - 1, "dear");
    dear.costUsd = 50'000;
    GeminiUsageRecord future = gemini(kNow + 2 * kDay, "future");
    UsageHistoryData planted;
    planted.geminiRecords = {huge, dear, gemini(kNow - 3, "fine"), future};
    planted.claudeSnapshots = {claude(kNow - 5, 150), claude(kNow - 4, 100.5)};
    ASSERT_EQ(UsageHistoryFileStore(f.path).save(planted), std::nullopt);
    {
        auto store = f.open();
        ASSERT_EQ(store->geminiUsageRecords().size(), 1u);
        EXPECT_EQ(store->geminiUsageRecords()[0].model, "fine");
        // A little over 100 is what the site reports at the limit; 150 is not.
        ASSERT_EQ(store->claudeSnapshots().size(), 1u);
        EXPECT_EQ(store->claudeSnapshots()[0].sessionPct, 100.5);
        EXPECT_EQ(store->appendGeminiRecord(huge), UsageHistoryStore::Outcome::refused);
        EXPECT_EQ(store->appendGeminiRecord(future), UsageHistoryStore::Outcome::refused);
        store->appendGeminiRecord(gemini(kNow, "journal"));
    }
    // Lines planted in the journal pass the same checks.
    const QString journal = UsageHistoryJournal::pathFor(f.path);
    const UsageHistoryData filed = UsageHistoryFileStore(f.path).load().data;
    {
        QFile file(journal);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::fromStdString(UsageHistoryJournal::header(FileStamp::of(f.path)) +
                                             UsageHistoryJournal::line(dear) +
                                             UsageHistoryJournal::line(gemini(kNow, "ok"))));
    }
    EXPECT_EQ(UsageHistoryReader::read(f.path, f.now).geminiUsageRecords().size(),
              filed.geminiRecords.size() + 1);
    EXPECT_EQ(f.open()->geminiUsageRecords().size(), filed.geminiRecords.size() + 1);

    // A journal naming another file adds nothing, and is kept aside at the next write.
    const std::size_t folded = UsageHistoryFileStore(f.path).load().data.geminiRecords.size();
    EXPECT_EQ(folded, filed.geminiRecords.size() + 1);
    {
        QFile file(journal);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::fromStdString(UsageHistoryJournal::header(FileStamp{}) +
                                             UsageHistoryJournal::line(gemini(kNow, "alien"))));
    }
    auto store = f.open();
    EXPECT_EQ(store->geminiUsageRecords().size(), folded);
    EXPECT_EQ(store->appendGeminiRecord(gemini(kNow + 3)), UsageHistoryStore::Outcome::saved);
    EXPECT_EQ(QDir(f.dir.path()).entryList({"usage-history.json.journal.corrupt-*"}).size(), 1);
}

// Thousands of records arrive while the disk is full: the append that fills it leaves no torn
// or half-saved line behind, retries that fail count nothing twice, and once there is room
// again every record is saved exactly once.
TEST(UsageHistoryStore, ThousandsHeldOnAFullDiskAreEachSavedOnceWhenThereIsRoomAgain) {
    constexpr int kBefore = 20;
    constexpr int kHeld = 5000;
    Fixture f;
    f.now = kNow + kBefore + kHeld;
    auto store = f.open();
    for (int i = 0; i < kBefore; ++i)
        ASSERT_EQ(store->appendGeminiRecord(gemini(kNow + i)), UsageHistoryStore::Outcome::saved);
    const QString journal = UsageHistoryJournal::pathFor(f.path);
    const QByteArray journalBefore = qm::test::readAll(journal);
    {
        // Room for half a line more.
        const test::WriteBlocker full(
            journalBefore.size() +
            std::int64_t(UsageHistoryJournal::line(gemini(kNow)).size() / 2));
        QSignalSpy changes(store.get(), &UsageHistoryStore::changed);
        for (int i = kBefore; i < kBefore + kHeld; ++i)
            ASSERT_EQ(store->appendGeminiRecord(gemini(kNow + i)),
                      UsageHistoryStore::Outcome::held);
        EXPECT_EQ(qm::test::readAll(journal), journalBefore);
        // A retry comes on its own and fails as well.
        const qsizetype appended = changes.size();
        ASSERT_TRUE(QTest::qWaitFor([&] { return changes.size() > appended; }, 10000));
        EXPECT_EQ(store->heldRecordCount(), std::size_t(kHeld));
        EXPECT_EQ(store->geminiUsageRecords().size(), std::size_t(kBefore + kHeld));
        EXPECT_EQ(qm::test::readAll(journal), journalBefore);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->saveProblem(); }, 40000));
    EXPECT_EQ(store->geminiUsageRecords().size(), std::size_t(kBefore + kHeld));
    // What another process reads (file and journal), then the file alone after the rewrite.
    EXPECT_EQ(UsageHistoryReader::read(f.path, f.now).geminiUsageRecords().size(),
              std::size_t(kBefore + kHeld));
    const std::vector<GeminiUsageRecord> saved = f.onDisk().geminiRecords;
    ASSERT_EQ(saved.size(), std::size_t(kBefore + kHeld));
    for (int i = 0; i < kBefore + kHeld; ++i)
        EXPECT_EQ(saved[std::size_t(i)].timestampMs, kNow + i);
}
