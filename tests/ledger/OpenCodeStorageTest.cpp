#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <map>

#include "ledger/AgentRecords.h"
#include "ledger/OpenCodeStorage.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

// OpenCode's JSON storage (up to 1.1.x) read into the index: the calls of a session counted by
// hand, files caught while the tool rewrote them, forks and sub-agents, deleted sessions, and
// walks that learn from stats alone whether anything changed.
namespace qm::ledger::opencodestoragetest {
namespace {

using test::TempDir;

constexpr TimeMs kMin = 60'000;

// Ids as the tool makes them: a prefix, the time in hex, a random tail; ascending in time.
QString ocId(const char* prefix, int n) {
    return QString::fromLatin1(prefix) + QLatin1Char('_') +
           QStringLiteral("%1").arg(0x9b1b0c2a1000LL + n, 12, 16, QLatin1Char('0')) +
           QStringLiteral("Xk3pQ9zLm2Tw7R");
}

QString n(qint64 value) {
    return QString::number(value);
}

// The tool writes each file with JSON.stringify(x, null, 2); the reader does not depend on
// the layout, so the fixtures keep one line per record.
struct PartFile {
    QString message;
    QString id;
    QByteArray bytes;
};

PartFile stepFinish(const QString& id, const QString& message, qint64 input, qint64 output,
                    qint64 reasoning, qint64 cacheRead, qint64 cacheWrite, double cost) {
    return {
        message, id,
        QStringLiteral(
            R"({"id": "%1", "reason": "tool-calls", "snapshot": "4f1e0c7d2b", "messageID": "%2",)"
            R"( "sessionID": "ses_x", "type": "step-finish", "tokens": {"total": %3, "input": %4,)"
            R"( "output": %5, "reasoning": %6, "cache": {"write": %7, "read": %8}}, "cost": %9})")
            .arg(id, message, n(input + output + cacheRead + cacheWrite), n(input), n(output),
                 n(reasoning), n(cacheWrite), n(cacheRead), QString::number(cost))
            .toUtf8()};
}

PartFile textPart(const QString& id, const QString& message, const QString& text,
                  bool synthetic = false) {
    return {
        message, id,
        QStringLiteral(R"({"id": "%1", "messageID": "%2", "sessionID": "ses_x", "type": "text",)"
                       R"( "text": "%3"%4})")
            .arg(id, message, text,
                 synthetic ? QStringLiteral(R"(, "synthetic": true)") : QString())
            .toUtf8()};
}

class OpenCodeStorageTest : public ::testing::Test {
protected:
    QString storage() const { return home_.filePath("storage"); }

    void session(const QString& id, const QString& version, TimeMs created,
                 const QString& parent = {}) {
        home_.write("storage/session/a1f3c9e0/" + id + ".json",
                    QStringLiteral(R"({"id": "%1", "version": "%2", "projectID": "a1f3c9e0",)"
                                   R"( "directory": "/home/u/app", "title": "Fix the parser",%3)"
                                   R"( "time": {"created": %4, "updated": %4}})")
                        .arg(id, version,
                             parent.isEmpty() ? QString() : R"( "parentID": ")" + parent + "\",",
                             n(created))
                        .toUtf8());
    }
    void user(const QString& session, const QString& id, TimeMs created) {
        message(session, id,
                QStringLiteral(R"({"id": "%1", "sessionID": "%2", "role": "user", "time":)"
                               R"( {"created": %3}, "agent": "build", "model": {"providerID":)"
                               R"( "anthropic", "modelID": "claude-sonnet-4-5"}})")
                    .arg(id, session, n(created))
                    .toUtf8());
    }
    // An assistant message; its tokens are its last step's, which the reader must not use.
    void assistant(const QString& session, const QString& id, TimeMs created, TimeMs completed,
                   const QString& provider, const QString& model) {
        message(
            session, id,
            QStringLiteral(
                R"({"id": "%1", "sessionID": "%2", "role": "assistant", "time": {"created":)"
                R"( %3, "completed": %4}, "modelID": "%5", "providerID": "%6", "mode": "build",)"
                R"( "path": {"cwd": "/home/u/app/src", "root": "/home/u/app"}, "cost": 0.5,)"
                R"( "tokens": {"input": 999, "output": 999, "reasoning": 0}})")
                .arg(id, session, n(created), n(completed), model, provider)
                .toUtf8());
    }
    void message(const QString& session, const QString& id, const QByteArray& bytes) {
        home_.write("storage/message/" + session + "/" + id + ".json", bytes);
    }
    void part(const PartFile& file) {
        home_.write("storage/part/" + file.message + "/" + file.id + ".json", file.bytes);
    }

    // Every folder and file an hour old, always the same instant: what a walk sees long after
    // the tool wrote, with nothing but real changes between two walks.
    void age() const {
        QDirIterator it(storage(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) setModified(it.next(), 0);
    }
    // As the tool's write left it `seconds` after the aged instant.
    void setModified(const QString& path, int seconds) const {
        const timespec at{agedAt_ + seconds, 0};
        const timespec times[2] = {at, at};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    }

    std::vector<FoundLog> discover(bool withState = true) const {
        std::vector<FoundLog> found;
        const auto known = [&](const std::string& path) -> const FileEntry* {
            const auto it = entries_.find(path);
            return withState && it != entries_.end() ? &it->second : nullptr;
        };
        discoverOpenCodeStorage(storage(), known, found);
        return found;
    }

    // The index in miniature: a session is read when its identity changed, and dropped when
    // the walk no longer finds it. Returns how many were read.
    int walk() {
        std::map<std::string, FileEntry> next;
        int reads = 0;
        for (const FoundLog& log : discover()) {
            FileEntry entry;
            if (const auto it = entries_.find(log.path); it != entries_.end())
                entry = std::move(it->second);
            if (entry.path.isEmpty() || entry.identity != log.identity) {
                entry.path = QFile::decodeName(QByteArray::fromStdString(log.path));
                entry.tool = ProviderKind::openCode;
                readOpenCodeStorage(entry, scratch_);
                ++reads;
            }
            next.emplace(log.path, std::move(entry));
        }
        entries_ = std::move(next);
        return reads;
    }

    FileEntry& entry(const QString& session) {
        return entries_.at(QFile::encodeName(storage() + "/message/" + session).toStdString());
    }
    static Counts total(const FileEntry& entry) {
        Counts sum;
        for (const auto& [model, counts] : byModel(entry)) sum += counts;
        return sum;
    }
    static std::map<QString, Counts> byModel(const FileEntry& entry) {
        entry.need(kAllParts);
        std::map<QString, Counts> sums;
        for (const HourRow& row : entry.rows) sums[entry.models[row.model]] += row.counts;
        return sums;
    }
    // The same session read from nothing, as a first build would.
    std::map<QString, Counts> readWhole(const QString& session) {
        FileEntry fresh;
        fresh.path = storage() + "/message/" + session;
        fresh.tool = ProviderKind::openCode;
        readOpenCodeStorage(fresh, scratch_);
        return byModel(fresh);
    }

    TempDir home_;
    ParseScratch scratch_;
    std::map<std::string, FileEntry> entries_;
    const TimeMs t0_ = QDateTime::currentMSecsSinceEpoch() - 3 * 60 * kMin;
    const time_t agedAt_ = time_t(QDateTime::currentSecsSinceEpoch() - 3600);
};

TEST_F(OpenCodeStorageTest, CountsEveryStepOnceWithTheRecordedCostAndTheTypedPrompts) {
    const QString s = ocId("ses", 0), u1 = ocId("msg", 1), a1 = ocId("msg", 2), a2 = ocId("msg", 3),
                  u2 = ocId("msg", 4);
    session(s, "1.1.65", t0_);
    user(s, u1, t0_ + kMin);
    part(textPart(ocId("prt", 10), u1, "Fix the parser in src/lexer.c"));
    part(textPart(ocId("prt", 11), u1, "Called the Read tool with lexer.c", true));
    assistant(s, a1, t0_ + 2 * kMin, t0_ + 5 * kMin, "anthropic", "claude-sonnet-4-5");
    part({a1, ocId("prt", 20), R"({"id": "prt_", "messageID": "msg_", "type": "step-start"})"});
    part(textPart(ocId("prt", 21), a1, "Reading the lexer first."));
    part(stepFinish(ocId("prt", 22), a1, 1200, 320, 0, 13800, 500, 0.01242));
    part(stepFinish(ocId("prt", 23), a1, 300, 150, 0, 15000, 0, 0.0071));
    assistant(s, a2, t0_ + 6 * kMin, t0_ + 7 * kMin, "openai", "gpt-5");
    part(stepFinish(ocId("prt", 30), a2, 2000, 900, 600, 1000, 0, 0.02));
    user(s, u2, t0_ + 8 * kMin);  // only what the tool added: no prompt
    part(textPart(ocId("prt", 40), u2, "The user sent an image", true));
    age();

    ASSERT_EQ(walk(), 1);
    const FileEntry& read = entry(s);
    // Claude: input 1200+13800+500 + 300+15000 = 30800, of it cache reads 28800 and writes 500;
    // output 320+150; recorded cost $0.01242 + $0.0071 = 19 520 000 billionths; one prompt.
    Counts claude;
    claude.input = 30800;
    claude.cachedInput = 28800;
    claude.cacheWrite = 500;
    claude.output = 470;
    claude.calls = 2;
    claude.costNanos = 19'520'000;
    claude.prompts = 1;
    // GPT-5 under 1.1: output 900 already holds the 600 reasoning; input 2000+1000.
    Counts gpt;
    gpt.input = 3000;
    gpt.cachedInput = 1000;
    gpt.output = 900;
    gpt.reasoning = 600;
    gpt.calls = 1;
    gpt.costNanos = 20'000'000;
    EXPECT_EQ(byModel(read), (std::map<QString, Counts>{{"anthropic/claude-sonnet-4-5", claude},
                                                        {"openai/gpt-5", gpt}}));
    EXPECT_EQ(read.session, s);
    EXPECT_EQ(read.project, "app");
    EXPECT_FALSE(read.subordinate);
    EXPECT_EQ(read.keys.size(), 4u);  // three steps, one prompt
    EXPECT_TRUE(std::is_sorted(read.keys.begin(), read.keys.end()));
    EXPECT_EQ(read.lastActiveAt, t0_ + 7 * kMin);
    AgentFacts facts;
    ASSERT_TRUE(facts.decode(read.facts));
    EXPECT_EQ(facts.task, "Fix the parser in src/lexer.c");
    EXPECT_EQ(facts.model, "openai/gpt-5");

    // Nothing changed: the walk finds the identity the read left, and reads nothing.
    EXPECT_EQ(walk(), 0);
}

TEST_F(OpenCodeStorageTest, FilesCaughtHalfWrittenAreReadAgainAndCountedOnce) {
    const QString s = ocId("ses", 0), a1 = ocId("msg", 1), a2 = ocId("msg", 2);
    session(s, "1.1.65", t0_);
    assistant(s, a1, t0_ + kMin, t0_ + 2 * kMin, "anthropic", "claude-sonnet-4-5");
    const PartFile step = stepFinish(ocId("prt", 10), a1, 100, 50, 0, 0, 0, 0.001);
    part({a1, step.id, step.bytes.left(step.bytes.size() / 2)});
    part(textPart(ocId("prt", 11), a1, "Hal"));
    // Its step is complete, but the message is being rewritten.
    message(s, a2, "{\n  \"id\": \"" + a2.toUtf8());
    part(stepFinish(ocId("prt", 20), a2, 200, 80, 0, 0, 0, 0.002));
    age();

    ASSERT_EQ(walk(), 1);
    EXPECT_TRUE(byModel(entry(s)).empty());

    part(step);  // finished in place: the part folder's stat stays as it was
    part(textPart(ocId("prt", 11), a1, "Half an answer, then all of it"));
    age();
    ASSERT_EQ(walk(), 1);
    EXPECT_EQ(byModel(entry(s))["anthropic/claude-sonnet-4-5"].calls, 1);

    assistant(s, a2, t0_ + 3 * kMin, t0_ + 4 * kMin, "anthropic", "claude-sonnet-4-5");
    age();
    ASSERT_EQ(walk(), 1);
    const Counts counted = byModel(entry(s))["anthropic/claude-sonnet-4-5"];
    EXPECT_EQ(counted.calls, 2);
    EXPECT_EQ(counted.input, 300);
    EXPECT_EQ(counted.costNanos, 3'000'000);
    EXPECT_EQ(entry(s).lastActiveAt, t0_ + 4 * kMin);
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(byModel(entry(s)), readWhole(s));
}

TEST_F(OpenCodeStorageTest, ForkCopiesAreSkippedAndSubAgentsCountWithoutPrompts) {
    const QString source = ocId("ses", 0), fork = ocId("ses", 1), child = ocId("ses", 2);
    // The fork, made at t0+30 min, holds copies of the source's messages under new ids with
    // their first times, then a turn of its own.
    session(fork, "1.1.65", t0_ + 30 * kMin);
    user(fork, ocId("msg", 1), t0_ + kMin);
    part(textPart(ocId("prt", 1), ocId("msg", 1), "Fix the parser"));
    assistant(fork, ocId("msg", 2), t0_ + 2 * kMin, t0_ + 3 * kMin, "anthropic", "claude-opus-4-1");
    part(stepFinish(ocId("prt", 2), ocId("msg", 2), 500, 100, 0, 0, 0, 0.01));
    user(fork, ocId("msg", 3), t0_ + 31 * kMin);
    part(textPart(ocId("prt", 3), ocId("msg", 3), "Now the other way"));
    assistant(fork, ocId("msg", 4), t0_ + 32 * kMin, t0_ + 33 * kMin, "anthropic",
              "claude-opus-4-1");
    part(stepFinish(ocId("prt", 4), ocId("msg", 4), 700, 90, 0, 0, 0, 0.02));
    // A sub-agent the task tool started: its prompt is the agent's, its calls are usage.
    session(child, "1.1.65", t0_ + 40 * kMin, source);
    user(child, ocId("msg", 5), t0_ + 40 * kMin);
    part(textPart(ocId("prt", 5), ocId("msg", 5), "Search the tests for lexer cases"));
    assistant(child, ocId("msg", 6), t0_ + 41 * kMin, t0_ + 42 * kMin, "anthropic",
              "claude-haiku-4-5");
    part(stepFinish(ocId("prt", 6), ocId("msg", 6), 400, 60, 0, 0, 0, 0.001));
    age();

    ASSERT_EQ(walk(), 2);
    const Counts forked = byModel(entry(fork))["anthropic/claude-opus-4-1"];
    EXPECT_EQ(forked.calls, 1);
    EXPECT_EQ(forked.input, 700);
    EXPECT_EQ(total(entry(fork)).prompts, 1);
    EXPECT_FALSE(entry(fork).subordinate);
    const Counts sub = byModel(entry(child))["anthropic/claude-haiku-4-5"];
    EXPECT_EQ(sub.calls, 1);
    EXPECT_EQ(total(entry(child)).prompts, 0);
    EXPECT_TRUE(entry(child).subordinate);
    EXPECT_EQ(entry(child).session, child);

    // Deleted: its folders go, and the walk no longer finds it.
    QDir(storage() + "/message/" + child).removeRecursively();
    QDir(storage() + "/part/" + ocId("msg", 5)).removeRecursively();
    QFile::remove(storage() + "/session/a1f3c9e0/" + child + ".json");
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(entries_.size(), 1u);
}

TEST_F(OpenCodeStorageTest, OutputHoldsReasoningUpTo11AndNotInLaterVersions) {
    const QString old = ocId("ses", 0), later = ocId("ses", 1);
    session(old, "1.1.65", t0_);
    session(later, "1.14.34", t0_);
    assistant(old, ocId("msg", 1), t0_ + kMin, t0_ + 2 * kMin, "openai", "gpt-5");
    assistant(later, ocId("msg", 2), t0_ + kMin, t0_ + 2 * kMin, "openai", "gpt-5");
    part(stepFinish(ocId("prt", 1), ocId("msg", 1), 1000, 400, 300, 0, 0, 0.01));
    part(stepFinish(ocId("prt", 2), ocId("msg", 2), 1000, 400, 300, 0, 0, 0.01));
    age();
    ASSERT_EQ(walk(), 2);
    EXPECT_EQ(byModel(entry(old))["openai/gpt-5"].output, 400);
    EXPECT_EQ(byModel(entry(later))["openai/gpt-5"].output, 700);
    EXPECT_EQ(byModel(entry(later))["openai/gpt-5"].reasoning, 300);
}

TEST_F(OpenCodeStorageTest, WalksListOnlyFoldersWhoseStatChanged) {
    const QString s = ocId("ses", 0), a1 = ocId("msg", 1), moved = ocId("msg", 9);
    session(s, "1.1.65", t0_);
    assistant(s, a1, t0_ + kMin, t0_ + 2 * kMin, "anthropic", "claude-sonnet-4-5");
    part(stepFinish(ocId("prt", 1), a1, 100, 10, 0, 0, 0, 0.001));
    part(stepFinish(ocId("prt", 2), moved, 200, 20, 0, 0, 0, 0.002));
    age();
    ASSERT_EQ(walk(), 1);
    const FileIdentity before = entry(s).identity;
    ASSERT_GE(before.size, 0);

    // Renamed inside the folder, the folder's stat put back: a walk that goes by the state
    // does not list the folder and sees nothing; one without it lists and sees the change.
    const QString folder = storage() + "/message/" + s + "/";
    ASSERT_TRUE(QFile::rename(folder + a1 + ".json", folder + moved + ".json"));
    age();
    EXPECT_EQ(discover().at(0).identity, before);
    EXPECT_NE(discover(false).at(0).identity, before);
    ASSERT_TRUE(QFile::rename(folder + moved + ".json", folder + a1 + ".json"));
    age();

    // A step added to a message: its part folder changed, so the walk reads the session.
    part(stepFinish(ocId("prt", 3), a1, 300, 30, 0, 0, 0, 0.003));
    age();
    setModified(storage() + "/part/" + a1, 60);
    ASSERT_EQ(walk(), 1);
    EXPECT_EQ(byModel(entry(s))["anthropic/claude-sonnet-4-5"].input, 400);

    // Folders written a moment ago: another file may still come under the same time, so the
    // next walk reads the session again until they have settled.
    part(stepFinish(ocId("prt", 4), a1, 400, 40, 0, 0, 0, 0.004));
    ASSERT_EQ(walk(), 1);
    EXPECT_LT(entry(s).identity.size, 0);
    age();
    EXPECT_EQ(walk(), 1);
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(byModel(entry(s))["anthropic/claude-sonnet-4-5"].input, 800);
}

}  // namespace
}  // namespace qm::ledger::opencodestoragetest
