#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <limits>

#include "core/SharedFile.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/LedgerCodec.h"
#include "ledger/SessionFacts.h"
#include "ledger/UsageLedger.h"
#include "readers/ClaudeCodeReader.h"
#include "readers/CodexCliReader.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"

namespace qm::ledger {
namespace {

using test::claudeAssistantLines;
using test::ClaudeLine;
using test::claudePromptLine;
using test::ClaudeRequest;
using test::codexMetaLine;
using test::codexPromptLine;
using test::codexTotalsLine;
using test::codexTurnLine;
using test::codexUserMessageLine;

using test::seconds::kHour;

Counts sum(const std::vector<UsageSlice>& slices, std::optional<ProviderKind> tool = {}) {
    Counts total;
    for (const UsageSlice& slice : slices) {
        if (!tool || slice.tool == *tool) total += slice.counts;
    }
    return total;
}

using test::append;

class LedgerTest : public ::testing::Test {
protected:
    QString projects() const { return home.filePath(".claude/projects"); }
    QString rollouts() const { return home.filePath(".codex/sessions"); }
    LedgerSources sources() const {
        return {
            {projects()}, {rollouts()}, home.filePath(".gemini"), home.filePath(".grok/sessions")};
    }
    UsageLedger ledger() const { return UsageLedger(cache.path(), sources()); }

    // What a first build reads, with no index at all.
    std::vector<UsageSlice> fresh(int threads = 1) const {
        test::TempDir elsewhere;
        return UsageLedger(elsewhere.path(), sources()).update(threads).slices();
    }
    std::vector<FileEntry> freshFiles() const {
        test::TempDir elsewhere;
        return UsageLedger(elsewhere.path(), sources()).update(1).files;
    }
    // Puts `bytes` in place of the index or its journal.
    static void overwrite(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }

    QString claude(const QString& name, const QByteArray& bytes) const {
        return home.write(".claude/projects/-home-dev-web/" + name, bytes);
    }
    QString codex(const QString& name, const QByteArray& bytes) const {
        return home.write(".codex/sessions/2026/12/01/" + name, bytes);
    }

    QByteArray session(const QString& id, int requests, double secondsAgo, int output = 100) const {
        ClaudeLine line;
        line.sessionId = id;
        line.secondsAgo = secondsAgo;
        QByteArray bytes = claudePromptLine("Tidy the parser", line);
        for (int i = 0; i < requests; ++i) {
            ClaudeRequest request;
            request.requestId = QStringLiteral("req_%1_%2").arg(id).arg(i);
            request.messageId = QStringLiteral("msg_%1_%2").arg(id).arg(i);
            request.input = 10 + i;
            request.output = output;
            request.cacheRead = 1000;
            request.cacheWrite5m = 50;
            line.secondsAgo -= 1;
            bytes += claudeAssistantLines(request, line);
        }
        return bytes;
    }

    test::TempDir home;
    test::TempDir cache;
};

TEST_F(LedgerTest, ResumedClaudeSessionCopiedIntoANewFileCountsOnce) {
    const QByteArray first = session("s1", 3, 5 * kHour);
    claude("s1.jsonl", first);
    // Resuming writes a new file that starts with the whole earlier conversation.
    claude("s2.jsonl", first + session("s2", 2, kHour));
    const auto slices = ledger().update().slices();
    const Counts total = sum(slices);
    EXPECT_EQ(total.calls, 5);
    EXPECT_EQ(total.prompts, 2);
    EXPECT_EQ(total.output, 500);

    // The same figures as the summary scan over all time.
    const ProviderUsage usage = ClaudeCodeReader({projects()}, {}).readUsageSync(0);
    EXPECT_EQ(total.input, usage.totalInputTokens);
    EXPECT_EQ(total.output, usage.totalOutputTokens);
    EXPECT_EQ(total.cachedInput, usage.totalCachedTokens);
    EXPECT_EQ(total.cacheWrite, usage.totalCacheWriteTokens);

    // The copied requests stay with the session that made them.
    Counts s1;
    for (const UsageSlice& slice : slices) {
        if (slice.session == "s1") s1 += slice.counts;
    }
    EXPECT_EQ(s1.calls, 3);

    // Once the original is gone, the copy's requests count in its stead.
    QFile::remove(home.filePath(".claude/projects/-home-dev-web/s1.jsonl"));
    EXPECT_EQ(sum(ledger().update().slices()), total);
}

TEST_F(LedgerTest, CodexForkCountsOnlyItsOwnTurnsAsTheSummaryScanDoes) {
    const QByteArray parent = codexMetaLine("parent", "/home/dev/app", 3 * kHour) +
                              codexTurnLine("gpt-5", 3 * kHour) +
                              codexUserMessageLine("Parent prompt", 3 * kHour) +
                              codexTotalsLine(10'000, 1000, 2000, 3 * kHour - 10);
    codex("rollout-a.jsonl", parent);
    codex("rollout-b.jsonl",
          codexMetaLine("child", "/home/dev/app", 100, R"({"forked_from_id":"parent"})") + parent +
              codexTurnLine("gpt-5-mini", 95) + codexUserMessageLine("Try the other way", 90) +
              codexPromptLine("Try the other way", 90) + codexTotalsLine(12'000, 1200, 3000, 80));
    const auto slices = ledger().update().slices();
    const Counts total = sum(slices);
    const ProviderUsage usage = CodexCliReader(home.filePath(".codex")).readUsageSync(0);
    EXPECT_EQ(total.input, usage.totalInputTokens);
    EXPECT_EQ(total.output, usage.totalOutputTokens);
    EXPECT_EQ(total.cachedInput, usage.totalCachedTokens);
    EXPECT_EQ(total.prompts, 2);  // typed once each; the copied prompt is the parent's
    Counts mini;
    for (const UsageSlice& slice : slices) {
        if (slice.model == "gpt-5-mini") mini += slice.counts;
    }
    EXPECT_EQ(mini.input, 2000);
    EXPECT_EQ(mini.prompts, 1);
}

TEST_F(LedgerTest, AGrownFileIsReadFromWhereTheIndexStopped) {
    const QString path = claude("s1.jsonl", session("s1", 2, 2 * kHour));
    codex("rollout-a.jsonl", codexMetaLine("a", "/w/app", kHour) + codexTurnLine("gpt-5", kHour) +
                                 codexTotalsLine(1000, 10, 0, kHour));
    const LedgerSnapshot first = ledger().update();
    EXPECT_TRUE(first.stats.rebuilt);
    EXPECT_EQ(first.stats.filesRead, 2u);

    const LedgerSnapshot unchanged = ledger().update();
    EXPECT_FALSE(unchanged.stats.rebuilt);
    EXPECT_EQ(unchanged.stats.filesRead, 0u);
    EXPECT_FALSE(unchanged.stats.saved);  // nothing to write either

    const QByteArray more = session("s1b", 1, 60);
    append(path, more);
    // Codex totals are cumulative: the next event's delta needs the state kept in the index.
    const QString rollout = home.filePath(".codex/sessions/2026/12/01/rollout-a.jsonl");
    append(rollout, codexTotalsLine(1500, 30, 100, 30));
    const LedgerSnapshot grown = ledger().update();
    EXPECT_EQ(grown.stats.filesRead, 2u);
    EXPECT_EQ(grown.stats.bytesRead, more.size() + codexTotalsLine(1500, 30, 100, 30).size());
    EXPECT_EQ(grown.slices(), fresh());
    EXPECT_EQ(sum(grown.slices(), ProviderKind::codex).input, 1500);
    EXPECT_EQ(sum(grown.slices(), ProviderKind::claudeCode).calls, 3);
}

TEST_F(LedgerTest, AnUpdateIsJournaledAndATornOrStaleJournalCostsOnlyARead) {
    const auto bytesOf = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QString path = claude("s1.jsonl", session("s1", 2, 3 * kHour));
    claude("s2.jsonl", session("s2", 1, 2 * kHour));
    ledger().update();
    const QByteArray index = bytesOf(ledger().indexPath());

    // A grown file adds one record to the journal; the index itself is not written again.
    append(path, session("s1b", 1, kHour));
    EXPECT_TRUE(ledger().update().stats.saved);
    EXPECT_EQ(bytesOf(ledger().indexPath()), index);
    const QByteArray oneRecord = bytesOf(ledger().journalPath());
    ASSERT_FALSE(oneRecord.isEmpty());
    append(path, session("s1c", 2, 60));
    EXPECT_EQ(ledger().update().slices(), fresh());

    // A crash cut the last record short: the file is read on from the record before.
    const QByteArray twoRecords = bytesOf(ledger().journalPath());
    home.write("../" + QFileInfo(cache.path()).fileName() + "/usage-index.bin.journal",
               twoRecords.left(twoRecords.size() - 5));
    const LedgerSnapshot afterTear = ledger().update();
    EXPECT_FALSE(afterTear.stats.rebuilt);
    EXPECT_EQ(afterTear.stats.filesRead, 1u);
    EXPECT_EQ(afterTear.slices(), fresh());
    // The torn journal was folded into a new index and is gone.
    EXPECT_FALSE(QFile::exists(ledger().journalPath()));
    EXPECT_NE(bytesOf(ledger().indexPath()), index);

    // A journal left over from the old index is never read over the new one.
    home.write("../" + QFileInfo(cache.path()).fileName() + "/usage-index.bin.journal", oneRecord);
    EXPECT_EQ(ledger().update().slices(), fresh());
    EXPECT_EQ(sum(ledger().update().slices()).calls, 6);

    // A FIFO where the index or its journal belongs is neither waited on nor kept.
    for (const QString& where : {ledger().journalPath(), ledger().indexPath()}) {
        QFile::remove(where);
        ASSERT_EQ(::mkfifo(QFile::encodeName(where).constData(), 0600), 0);
        append(path, session("s1d" + QFileInfo(where).suffix(), 1, 30));
        EXPECT_EQ(ledger().update().slices(), fresh());
        EXPECT_FALSE(QFileInfo(where).exists() && !QFileInfo(where).isFile());
    }
}

TEST_F(LedgerTest, AGrownFileIsJournaledAsItsChangeAndReplaysToAFreshRead) {
    // Enough requests for several blocks, so a change in place is looked for past the first.
    const QString path = claude("s1.jsonl", session("s1", 3 * int(kDeltaBlock) + 5, 5 * kHour));
    // Prompts from user items count only until the rollout shows a typed-prompt event.
    const QString rollout =
        codex("rollout-a.jsonl",
              codexMetaLine("a", "/w/app", 3 * kHour) + codexTurnLine("gpt-5", 3 * kHour) +
                  codexPromptLine("Fix it", 3 * kHour) + codexTotalsLine(1000, 10, 0, 3 * kHour));
    ledger().update();
    const auto journalSize = [&] { return QFileInfo(ledger().journalPath()).size(); };
    for (int round = 0; round < 4; ++round) {
        const double at = 2 * kHour - round * 600;
        append(path, session(QStringLiteral("n%1").arg(round), 3, at));
        append(rollout, codexTurnLine(round % 2 ? "gpt-5" : "gpt-5-mini", at) +
                            codexTotalsLine(2000 * (round + 1), 20, 5, at));
        const qint64 before = journalSize();
        const LedgerSnapshot grown = ledger().update();
        ASSERT_EQ(grown.stats.filesRead, 2u);
        // Far less than the session's whole entry, which holds every request twice over (keyed
        // for the reports, with its time for the summaries).
        const auto entry = std::find_if(grown.files.begin(), grown.files.end(),
                                        [&](const FileEntry& f) { return f.path == path; });
        ASSERT_NE(entry, grown.files.end());
        EXPECT_LT(journalSize() - before, qint64(encodeJournalEntry(*entry).size()) / 4);
    }
    // The rollout's first typed-prompt event drops the prompts counted from its items, and a
    // request of the first block is written again with higher figures (the largest stand).
    append(rollout, codexUserMessageLine("And the tests", 60) + codexTotalsLine(9000, 90, 9, 60));
    append(path, session("s1", 5, 60, 400));
    ledger().update();

    // Read back from the index and its journal alone: the entries of a fresh full read.
    const LedgerSnapshot replayed = ledger().update();
    EXPECT_EQ(replayed.stats.filesRead, 0u);
    EXPECT_FALSE(replayed.stats.rebuilt);
    EXPECT_TRUE(QFile::exists(ledger().journalPath()));
    EXPECT_EQ(replayed.files, freshFiles());
    EXPECT_EQ(sum(replayed.slices(), ProviderKind::claudeCode).output,
              (3 * int(kDeltaBlock) + 5 + 12) * 100 + 5 * 300);
}

TEST_F(LedgerTest, AChangeRecordCutShortAnywhereLeavesTheStateBeforeIt) {
    const QString path = claude("s1.jsonl", session("s1", int(kDeltaBlock) + 3, 3 * kHour));
    claude("s2.jsonl", session("s2", 2, 2 * kHour));
    ledger().update();
    append(path, session("s1b", 2, kHour));
    const std::vector<FileEntry> afterOne = ledger().update().files;
    const QByteArray index = test::readAll(ledger().indexPath());
    const QByteArray oneRecord = test::readAll(ledger().journalPath());
    append(path, session("s1c", 2, 60) + session("s1", 3, 50, 250));
    ledger().update();
    const QByteArray twoRecords = test::readAll(ledger().journalPath());
    ASSERT_GT(twoRecords.size(), oneRecord.size());

    const auto view = [](const QByteArray& bytes) {
        return std::string_view(bytes.constData(), std::size_t(bytes.size()));
    };
    const auto decoded = decodeIndex(view(index));
    ASSERT_TRUE(decoded);
    const std::uint64_t hash = *indexHash(view(index));
    for (qsizetype cut = oneRecord.size(); cut < twoRecords.size(); ++cut) {
        std::unordered_map<QString, FileEntry> files;
        for (const FileEntry& entry : *decoded) files.emplace(entry.path, entry);
        const JournalReplay replay = replayJournal(view(twoRecords.left(cut)), hash, files);
        ASSERT_TRUE(replay.applies && !replay.refused) << cut;
        EXPECT_EQ(replay.intact, cut == oneRecord.size()) << cut;
        for (const FileEntry& entry : afterOne) ASSERT_EQ(files.at(entry.path), entry) << cut;
    }
    // And the next update reads the file on from there.
    const auto expected = fresh();
    for (const qsizetype cut : {oneRecord.size() + 1, (oneRecord.size() + twoRecords.size()) / 2,
                                twoRecords.size() - 1}) {
        overwrite(ledger().indexPath(), index);
        overwrite(ledger().journalPath(), twoRecords.left(cut));
        const LedgerSnapshot next = ledger().update();
        EXPECT_FALSE(next.stats.rebuilt);
        EXPECT_EQ(next.stats.filesRead, 1u);
        EXPECT_EQ(next.slices(), expected);
    }
}

TEST_F(LedgerTest, AChangeRecordThatDoesNotFitItsEntryMeansARebuild) {
    const QString path = claude("s1.jsonl", session("s1", 3, 2 * kHour));
    ledger().update();
    append(path, session("s1b", 2, kHour));
    const LedgerSnapshot grown = ledger().update();
    const FileEntry entry = grown.files.front();
    const QByteArray index = test::readAll(ledger().indexPath());
    const QByteArray journal = test::readAll(ledger().journalPath());
    const std::string start =
        encodeJournalStart(*indexHash(std::string_view(index.constData(), index.size())));
    ASSERT_TRUE(journal.startsWith(QByteArray::fromStdString(start)));
    const QByteArray record = journal.mid(qsizetype(start.size()));

    // Over the index's own entry the change fits; with any other base it does not.
    const auto indexed = decodeIndex(std::string_view(index.constData(), index.size()));
    ASSERT_TRUE(indexed && indexed->size() == 1u);
    const EntryBase base = entryBase(indexed->front());
    EntryBase moreCalls = base;
    ++moreCalls.calls;
    EntryBase elsewhere = base;
    elsewhere.offset -= 1;
    FileEntry otherFile = entry;
    otherFile.path += ".gone";
    const auto expected = fresh();
    const std::pair<QByteArray, bool> journals[] = {
        {QByteArray::fromStdString(start + encodeJournalDelta(base, entry)), false},
        {QByteArray::fromStdString(start + encodeJournalDelta(moreCalls, entry)), true},
        {QByteArray::fromStdString(start + encodeJournalDelta(elsewhere, entry)), true},
        {QByteArray::fromStdString(start + encodeJournalDelta(base, otherFile)), true},
        {journal + record, true},  // the same change twice
    };
    for (const auto& [bytes, misfit] : journals) {
        overwrite(ledger().indexPath(), index);
        overwrite(ledger().journalPath(), bytes);
        const LedgerSnapshot next = ledger().update();
        EXPECT_EQ(next.stats.rebuilt, misfit);
        EXPECT_EQ(next.stats.filesRead, misfit ? 1u : 0u);
        EXPECT_EQ(next.slices(), expected);
        EXPECT_EQ(ledger().update().slices(), expected);
    }
}

TEST_F(LedgerTest, ProcessesUpdatingAtOnceLoseNothing) {
    constexpr int kRounds = 6;
    std::vector<QString> paths;
    for (int p = 0; p < 3; ++p) {
        paths.push_back(claude(QStringLiteral("p%1.jsonl").arg(p),
                               session(QStringLiteral("p%1").arg(p), 70, 3 * kHour)));
    }
    ledger().update();
    std::vector<pid_t> children;
    for (const QString& path : paths) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Each process grows its own file and brings the shared index up to date, taking
            // turns on the lock however slow a turn is here: an update that gave up waiting
            // would read without saving, which is a different case.
            FileLock::setDefaultWaitMs(600'000);
            for (int round = 0; round < kRounds; ++round) {
                QFile file(path);
                if (!file.open(QIODevice::Append)) ::_exit(2);
                file.write(session(QFileInfo(path).baseName() + QString::number(round), 2,
                                   2 * kHour - round * 60));
                file.close();
                ledger().update(1);
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const LedgerSnapshot after = ledger().update();
    EXPECT_EQ(after.stats.filesRead, 0u);
    EXPECT_EQ(after.files, freshFiles());
    EXPECT_EQ(sum(after.slices()).calls, 3 * (70 + 2 * kRounds));
}

TEST_F(LedgerTest, ShrunkReplacedChangedAndDeletedFilesAreReadAgainOrDropped) {
    const QString path = claude("s1.jsonl", session("s1", 4, 2 * kHour));
    const QString other = claude("s2.jsonl", session("s2", 1, kHour));
    ledger().update();

    // Shrunk: rewritten shorter in place.
    claude("s1.jsonl", session("s1", 2, 2 * kHour));
    EXPECT_EQ(sum(ledger().update().slices()).calls, 3);
    EXPECT_EQ(ledger().update().slices(), fresh());

    // Replaced by another file of the same name (new inode), longer than what was read.
    const QByteArray replacement = session("s9", 3, 3 * kHour);
    home.write(".claude/projects/-home-dev-web/new.tmp", replacement);
    QFile::remove(path);
    QFile::rename(home.filePath(".claude/projects/-home-dev-web/new.tmp"), path);
    EXPECT_EQ(sum(ledger().update().slices()).calls, 4);

    // Same inode and a longer file, but its first bytes changed: not a file that grew.
    QByteArray edited = replacement + session("s9", 0, 60);
    const QByteArray was = "\"output_tokens\":100";
    edited.replace(edited.indexOf(was), was.size(), "\"output_tokens\":900");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_EQ(file.write(edited), edited.size());
    }
    const auto afterEdit = ledger().update();
    EXPECT_EQ(sum(afterEdit.slices()).output, 3 * 100 + 800 + 100);
    EXPECT_EQ(afterEdit.slices(), fresh());

    QFile::remove(other);
    const auto afterDelete = ledger().update();
    EXPECT_EQ(afterDelete.files.size(), 1u);
    EXPECT_EQ(sum(afterDelete.slices()).calls, 3);
}

TEST_F(LedgerTest, AHalfWrittenLastLineIsReadOnceItIsWhole) {
    const QByteArray done = codexMetaLine("a", "/w/app", kHour) + codexTurnLine("gpt-5", kHour) +
                            codexTotalsLine(1000, 10, 0, kHour - 1);
    const QByteArray next = codexTotalsLine(3000, 40, 0, kHour - 2);
    const QString path = codex("rollout-a.jsonl", done + next.left(next.size() / 2));
    EXPECT_EQ(sum(ledger().update().slices()).input, 1000);
    append(path, next.mid(next.size() / 2));
    const auto whole = ledger().update().slices();
    EXPECT_EQ(sum(whole).input, 3000);
    EXPECT_EQ(sum(whole).calls, 2);
    EXPECT_EQ(whole, fresh());
}

TEST_F(LedgerTest, ABrokenOrForeignIndexIsRebuiltWithoutAnError) {
    claude("s1.jsonl", session("s1", 2, kHour));
    const auto expected = ledger().update().slices();
    const QString index = ledger().indexPath();
    QFile file(index);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray good = file.readAll();
    file.close();

    QByteArray foreign = good;
    foreign[8] = char(kIndexVersion + 1);  // the version follows the 8-byte magic
    for (const QByteArray& bad :
         {good.left(good.size() / 2), QByteArray("not an index"), QByteArray(), foreign}) {
        home.write("../" + QFileInfo(cache.path()).fileName() + "/usage-index.bin", bad);
        const LedgerSnapshot rebuilt = ledger().update();
        EXPECT_TRUE(rebuilt.stats.rebuilt);
        EXPECT_TRUE(rebuilt.stats.saved);
        EXPECT_EQ(rebuilt.slices(), expected);
    }
    // One flipped byte in the middle is noticed too.
    QByteArray flipped = good;
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x20);
    EXPECT_FALSE(decodeIndex(std::string_view(flipped.constData(), flipped.size())));
}

// The index is a file anyone can write: counts in it that no log line could have given are
// not believed. Its entries are refused as a whole and rebuilt; facts the summaries take give
// way to the log they came from.
TEST_F(LedgerTest, AnIndexHoldingImpossibleCountsIsRebuiltAndForgedFactsGiveWayToTheLog) {
    claude("s1.jsonl", session("s1", 2, kHour));
    const LedgerSnapshot built = ledger().update();
    const auto expected = built.slices();
    ASSERT_EQ(built.files.size(), 1u);
    ASSERT_FALSE(built.files[0].calls.empty());
    const auto install = [&](const std::vector<FileEntry>& files) {
        const std::string bytes = encodeIndex(files);
        overwrite(ledger().indexPath(), QByteArray::fromStdString(bytes));
    };
    for (int forgery = 0; forgery < 4; ++forgery) {
        SCOPED_TRACE(forgery);
        std::vector<FileEntry> files = built.files;
        FileEntry& entry = files[0];
        if (forgery == 0) entry.calls[0].counts.input = -145'000'000'000'000;
        if (forgery == 1) {
            Counts absurd;
            absurd.output = std::numeric_limits<std::int64_t>::max();
            entry.rows.push_back({entry.calls[0].hour, 0, 0, absurd});
        }
        if (forgery == 2) entry.recent.push_back({1, 1, -3, {}});
        if (forgery == 3) entry.skippedLines = -1;
        install(files);
        const LedgerSnapshot again = ledger().update();
        EXPECT_TRUE(again.stats.rebuilt);
        EXPECT_EQ(again.slices(), expected);
    }

    std::vector<FileEntry> files = built.files;
    auto facts = decodeTranscript(files[0].facts);
    ASSERT_TRUE(facts && !facts->requests.empty());
    facts->requests[0].tokens.output = -1'000'000;
    files[0].facts = encodeTranscript(*facts);
    install(files);
    const LedgerSnapshot loaded = ledger().update();
    EXPECT_FALSE(loaded.stats.rebuilt);
    const TimeMs since = QDateTime::currentMSecsSinceEpoch() - 5 * 3'600'000;
    EXPECT_EQ(claudeCodeUsage(loaded.files, {projects()}, {}, since),
              ClaudeCodeReader({projects()}, {}).readUsageSync(since));
}

TEST_F(LedgerTest, GeminiRecordsAppendedAgainAndGrokTurnsCountOnce) {
    const auto record = [](const char* id, int input, int output, int thoughts) {
        return QByteArray(R"({"id":")") + id + R"(","timestamp":")" + test::isoSecondsAgo(600) +
               R"(","type":"gemini","content":"Done.","tokens":{"input":)" +
               QByteArray::number(input) + R"(,"output":)" + QByteArray::number(output) +
               R"(,"cached":10,"thoughts":)" + QByteArray::number(thoughts) +
               R"(,"tool":0,"total":0},"model":"gemini-2.5-pro"})" + "\n";
    };
    const QString chat =
        home.write(".gemini/tmp/web/chats/session-2026-12-01T10-00-1a2b3c4d.jsonl",
                   QByteArray(R"({"sessionId":"1a2b3c4d","projectHash":"abc"})") + "\n" +
                       R"({"id":"u1","timestamp":")" + test::isoSecondsAgo(700) +
                       R"(","type":"user","content":[{"text":"Summarise the log"}]})" + "\n" +
                       record("g1", 100, 5, 0));
    const QString updates = home.write(".grok/sessions/%2Fw%2Fapp/9f1e/updates.jsonl", {});
    home.write(".grok/sessions/%2Fw%2Fapp/9f1e/summary.json",
               R"({"info":{"id":"9f1e","cwd":"/w/app"},"current_model_id":"grok-code-fast-1"})");
    const QByteArray turn =
        R"({"method":"_x.ai/session/update","params":{"update":{"sessionUpdate":"turn_completed",)"
        R"("usage":{"inputTokens":1000,"outputTokens":50,"cachedReadTokens":400,)"
        R"("reasoningTokens":20}}}})"
        "\n";
    append(updates, turn);
    ledger().update();

    // The model record written again once its tokens were final replaces the first copy.
    append(chat, record("g1", 120, 30, 7));
    append(updates, turn);
    const auto slices = ledger().update().slices();
    const Counts gemini = sum(slices, ProviderKind::gemini);
    EXPECT_EQ(gemini.input, 120);
    EXPECT_EQ(gemini.output, 37);  // thoughts are billed as output
    EXPECT_EQ(gemini.reasoning, 7);
    EXPECT_EQ(gemini.prompts, 1);
    EXPECT_EQ(gemini.calls, 1);
    const Counts grok = sum(slices, ProviderKind::grok);
    EXPECT_EQ(grok.input, 2000);
    EXPECT_EQ(grok.cachedInput, 800);
    EXPECT_EQ(grok.prompts, 2);
    EXPECT_EQ(slices, fresh());
    for (const UsageSlice& slice : slices) {
        if (slice.tool == ProviderKind::grok) {
            EXPECT_EQ(slice.model, "grok-code-fast-1");
        } else if (slice.tool == ProviderKind::gemini) {
            EXPECT_EQ(slice.project, "web");
        }
    }
}

TEST_F(LedgerTest, TotalsAreTheSameForAnyNumberOfThreads) {
    for (int i = 0; i < 24; ++i) {
        // Every third session resumes the one before it, so files share requests.
        const QByteArray own = session(QStringLiteral("s%1").arg(i), 1 + i % 4, (i + 1) * kHour);
        claude(QStringLiteral("s%1.jsonl").arg(i),
               i % 3 == 2
                   ? session(QStringLiteral("s%1").arg(i - 1), 1 + (i - 1) % 4, i * kHour) + own
                   : own);
        codex(QStringLiteral("rollout-%1.jsonl").arg(i),
              codexMetaLine(QStringLiteral("c%1").arg(i), "/w/app", kHour) +
                  codexTurnLine(i % 2 ? "gpt-5" : "gpt-5-mini", kHour) +
                  codexUserMessageLine("Go", kHour) + codexTotalsLine(1000 * i, 10 * i, i, kHour));
    }
    const auto one = fresh(1);
    EXPECT_EQ(fresh(2), one);
    EXPECT_EQ(fresh(8), one);
    EXPECT_GT(sum(one).calls, 40);
}

}  // namespace
}  // namespace qm::ledger
