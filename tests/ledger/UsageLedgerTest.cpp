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
#include "readers/CodexCliReader.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"

namespace qm::ledger {

// What a failed comparison of entries shows: enough to see which part differs.
void PrintTo(const FileEntry& f, std::ostream* os) {
    f.need(kAllParts);
    *os << f.path.toStdString() << " @" << f.offset << " first " << f.firstHour << " rows[";
    for (const HourRow& r : f.rows)
        *os << r.hour << "/" << r.model << "/" << int(r.flags) << ":" << r.counts.calls << "c"
            << r.counts.prompts << "p" << r.counts.output << "o ";
    *os << "] models " << f.models.size() << " recent " << f.recent.size() << " keys "
        << f.keys.size() << " skipped " << f.skipped.size() << " open " << f.open.size()
        << " facts " << f.facts.size() << " state " << f.state.size();
}

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
    const ProviderUsage usage = claudeCodeUsage(ledger().update().files, {projects()}, {}, 0);
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
    const LedgerSnapshot snapshot = ledger().update();
    const auto slices = snapshot.slices();
    const Counts total = sum(slices);
    // The reports and the summary count the same.
    const ProviderUsage usage = codexUsage(snapshot.files, home.filePath(".codex"), 0);
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
    // More requests than a file keeps open to repeated lines.
    const QString path = claude("s1.jsonl", session("s1", 3 * 64 + 5, 5 * kHour));
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
        // The entry is small beside the session: figures per hour, a key per request.
        EXPECT_LT(journalSize() - before, QFileInfo(path).size() / 8);
    }
    // The rollout's first typed-prompt event drops the prompts counted from its items. The last
    // round's requests are written again with higher figures (the largest stand), the
    // session's first ones too, long after: those stand as first read.
    append(rollout, codexUserMessageLine("And the tests", 60) + codexTotalsLine(9000, 90, 9, 60));
    append(path, session("n3", 3, 60, 400));
    append(path, session("s1", 5, 50, 400));
    ledger().update();

    // Read back from the index and its journal alone: the entries of a fresh full read.
    const LedgerSnapshot replayed = ledger().update();
    EXPECT_EQ(replayed.stats.filesRead, 0u);
    EXPECT_FALSE(replayed.stats.rebuilt);
    EXPECT_TRUE(QFile::exists(ledger().journalPath()));
    EXPECT_EQ(replayed.files, freshFiles());
    EXPECT_EQ(sum(replayed.slices(), ProviderKind::claudeCode).output,
              (3 * 64 + 5 + 12) * 100 + 3 * 300);
}

TEST_F(LedgerTest, AChangeRecordCutShortAnywhereLeavesTheStateBeforeIt) {
    const QString path = claude("s1.jsonl", session("s1", 67, 3 * kHour));
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
    const auto decoded = decodeIndex(view(index), nullptr);
    ASSERT_TRUE(decoded);
    const std::uint64_t hash = *indexHash(view(index));
    for (qsizetype cut = oneRecord.size(); cut < twoRecords.size(); ++cut) {
        std::vector<FileEntry> files = decoded->files;
        TimeMs walkedAt = 0;
        const JournalReplay replay =
            replayJournal(view(twoRecords.left(cut)), hash, files, walkedAt);
        ASSERT_TRUE(replay.applies) << cut;
        EXPECT_EQ(replay.intact, cut == oneRecord.size()) << cut;
        ASSERT_EQ(files.size(), afterOne.size()) << cut;
        for (const FileEntry& entry : afterOne) {
            const auto same = std::find_if(files.begin(), files.end(), [&](const FileEntry& f) {
                return f.path == entry.path;
            });
            ASSERT_NE(same, files.end()) << cut;
            ASSERT_EQ(*same, entry) << cut;
        }
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

// The status line's rule: the transcript it names at once, the rest only when no process has
// looked at every file for a while. Another process's look counts.
TEST_F(LedgerTest, AFocusedUpdateReadsItsFileAloneWhileAWalkIsRecent) {
    const QString named = claude("s1.jsonl", session("s1", 2, kHour));
    const QString other = claude("s2.jsonl", session("s2", 1, kHour));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(ledger().update(1).stats.saved ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    append(named, session("s1b", 1, 60));
    append(other, session("s2b", 1, 60));
    const QString added = claude("s3.jsonl", session("s3", 1, 30));
    UsageLedger::UpdateOptions focused;
    focused.threads = 1;
    focused.focus = named;
    focused.walkEvery = 30'000;
    const LedgerSnapshot quick = ledger().update(focused);
    EXPECT_EQ(quick.stats.filesRead, 1u);
    EXPECT_EQ(quick.files.size(), 2u);
    EXPECT_EQ(sum(quick.slices()).calls, 2 + 1 + 1);

    // A transcript the index does not know yet needs the walk that finds it.
    focused.focus = added;
    const LedgerSnapshot found = ledger().update(focused);
    EXPECT_EQ(found.stats.filesRead, 2u);
    EXPECT_EQ(found.slices(), fresh());

    // Once the last walk is older than allowed, everything is looked at again.
    append(other, session("s2c", 1, 20));
    focused.walkEvery = 0;
    EXPECT_EQ(ledger().update(focused).slices(), fresh());
}

// What a call decodes of the index is what its answer needs: nothing but the heads when nothing
// changed, the rows for a report, the recent part of the files written to in the window for a
// summary, and the request keys only when a Claude Code file changed.
TEST_F(LedgerTest, AWarmCallDecodesOnlyWhatItSums) {
    const QString recent = claude("s1.jsonl", session("s1", 3, kHour));
    const QString old = claude("s0.jsonl", session("s0", 2, 30 * kHour));
    test::TempDir::setModifiedSecondsAgo(old, 30 * 3600);
    codex("rollout-a.jsonl", codexMetaLine("a", "/w/app", kHour) + codexTurnLine("gpt-5", kHour) +
                                 codexTotalsLine(1000, 10, 0, kHour));
    const auto expected = ledger().update().slices();
    const auto decodedSince = [](const std::array<std::int64_t, 3>& before) {
        const auto now = decodedParts();
        return std::array<std::int64_t, 3>{now[0] - before[0], now[1] - before[1],
                                           now[2] - before[2]};
    };
    using Parts = std::array<std::int64_t, 3>;  // rows, recent, keys

    auto before = decodedParts();
    const LedgerSnapshot warm = ledger().update();
    EXPECT_EQ(decodedSince(before), (Parts{0, 0, 0}));
    EXPECT_EQ(warm.slices(), expected);
    EXPECT_EQ(decodedSince(before), (Parts{3, 0, 0}));

    before = decodedParts();
    const TimeMs since = QDateTime::currentMSecsSinceEpoch() - 5 * 3'600'000;
    const ProviderUsage usage = claudeCodeUsage(ledger().update().files, {projects()}, {}, since);
    EXPECT_EQ(usage.lastFiveHourPrompts, 1);
    EXPECT_EQ(decodedSince(before), (Parts{1, 1, 0}));  // the one transcript of the window

    // A grown transcript: its own parts, to read on, and the other transcripts' keys, to
    // settle what it shares; nothing of the rollout.
    append(recent, session("s1b", 1, 60));
    before = decodedParts();
    ledger().update();
    EXPECT_EQ(decodedSince(before), (Parts{1, 1, 2}));
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
    // One flipped byte is noticed wherever it is: in the heads when the index is read, in a part
    // when the part is decoded, which leaves that file out of this answer only and has the
    // index built anew by the next update.
    for (const qsizetype at : {qsizetype(40), good.size() / 2, good.size() - 3}) {
        QByteArray flipped = good;
        flipped[at] = char(flipped[at] ^ 0x20);
        overwrite(index, flipped);
        const auto first = ledger().update().slices();
        EXPECT_TRUE(first == expected || first.empty()) << at;
        EXPECT_EQ(ledger().update().slices(), expected) << at;
    }
}

// The index is a file anyone can write: counts in it that no log line could have given are
// not believed, even under a hash made to fit. A head that breaks the rule means a rebuild at
// once; a part, found when it is needed, drops the index so the next update rebuilds it, and
// nothing absurd is ever summed.
TEST_F(LedgerTest, AnIndexHoldingImpossibleCountsIsNeverBelievedAndIsRebuilt) {
    claude("s1.jsonl", session("s1", 2, kHour));
    const LedgerSnapshot built = ledger().update();
    const auto expected = built.slices();
    const TimeMs since = QDateTime::currentMSecsSinceEpoch() - 5 * 3'600'000;
    const ProviderUsage summary = claudeCodeUsage(built.files, {projects()}, {}, since);
    ASSERT_EQ(built.files.size(), 1u);
    built.files[0].need(kAllParts);
    ASSERT_FALSE(built.files[0].open.empty());
    const auto install = [&](const std::vector<FileEntry>& files) {
        const std::string bytes = encodeIndex(files, 0);
        overwrite(ledger().indexPath(), QByteArray::fromStdString(bytes));
    };
    for (int forgery = 0; forgery < 5; ++forgery) {
        SCOPED_TRACE(forgery);
        std::vector<FileEntry> files = built.files;
        FileEntry& entry = files[0];
        if (forgery == 0) entry.open[0].counts.input = -145'000'000'000'000;
        if (forgery == 1) {
            Counts absurd;
            absurd.output = std::numeric_limits<std::int64_t>::max();
            entry.rows.push_back({entry.rows[0].hour, 0, 0, absurd});
        }
        if (forgery == 2) entry.recent.push_back({1, 1, -3, {}});
        if (forgery == 3) entry.skippedLines = -1;
        if (forgery == 4) {
            AnthropicTokens tokens;
            tokens.output = -1'000'000;
            entry.recent.push_back({QDateTime::currentMSecsSinceEpoch() - 60'000,
                                    ClaudeFacts::kCall, 0,
                                    ClaudeFacts::encodeCall(7, "claude-sonnet-4-5", tokens)});
        }
        install(files);
        const LedgerSnapshot first = ledger().update();
        for (const UsageSlice& slice : first.slices()) EXPECT_TRUE(countsInRange(slice.counts));
        const ProviderUsage firstSummary = claudeCodeUsage(first.files, {projects()}, {}, since);
        EXPECT_GE(firstSummary.lastFiveHourTokens, 0);
        EXPECT_LE(firstSummary.lastFiveHourTokens, summary.lastFiveHourTokens);
        const LedgerSnapshot next = ledger().update();
        EXPECT_EQ(next.slices(), expected);
        EXPECT_EQ(claudeCodeUsage(next.files, {projects()}, {}, since), summary);
    }
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
