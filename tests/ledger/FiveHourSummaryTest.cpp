#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "../bench/scan/ScanGenerator.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/LedgerCodec.h"
#include "ledger/UsageLedger.h"
#include "readers/CodexCliReader.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"

// The summaries composed from the index must be the readers' summaries, field for field, for
// any window start within the last day, whether the index was built afresh, loaded, or read
// on from where it stopped.
namespace qm::ledger {
namespace {

using test::claudeApiErrorLine;
using test::claudeAssistantLines;
using test::ClaudeLine;
using test::claudePromptLine;
using test::ClaudeRequest;
using test::codexMetaLine;
using test::codexPromptLine;
using test::codexRateLimitsLine;
using test::codexTotalsLine;
using test::codexTurnLine;
using test::codexUserMessageLine;
using test::isoSecondsAgo;
using test::TempDir;

using test::seconds::kHour;

TimeMs nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

using test::append;

QByteArray untimedUsageLine(int input, int output) {
    return R"({"usage":{"input_tokens":)" + QByteArray::number(input) + R"(,"output_tokens":)" +
           QByteArray::number(output) + "}}\n";
}

QByteArray timedUsageLine(int input, int output, double secondsAgo) {
    return R"({"timestamp":")" + isoSecondsAgo(secondsAgo) + R"(","model":"gpt-4.1","usage":)" +
           R"({"input_tokens":)" + QByteArray::number(input) + R"(,"output_tokens":)" +
           QByteArray::number(output) + "}}\n";
}

QByteArray replyLine(double secondsAgo) {
    return R"({"timestamp":")" + isoSecondsAgo(secondsAgo) +
           R"(","type":"response_item","payload":{"type":"message","role":"assistant",)"
           R"("content":[{"type":"output_text","text":"Done."}]}})"
           "\n";
}

class FiveHourSummaryTest : public ::testing::Test {
protected:
    QString codexHome() const { return home.filePath(".codex"); }
    QString rollout(const QString& name, const QByteArray& bytes) const {
        return home.write(".codex/sessions/2026/12/01/" + name, bytes);
    }
    LedgerSources sources() const {
        return {{home.filePath(".claude/projects")},
                {codexHome() + "/sessions", codexHome() + "/archived_sessions"},
                home.filePath(".gemini"),
                home.filePath(".grok/sessions")};
    }
    LedgerSnapshot update() const { return UsageLedger(cache.path(), sources()).update(1); }

    // The summary of an index built and read on equals a first build's, for window starts
    // that cut through the sessions differently.
    void expectReaderFigures(const LedgerSnapshot& snapshot) const {
        const TimeMs now = nowMs();
        const TempDir elsewhere;
        const LedgerSnapshot fresh = UsageLedger(elsewhere.path(), sources()).update(1);
        for (const TimeMs since : {now - 5 * 3'600'000, now - 3'600'000, now - 100'000}) {
            SCOPED_TRACE(testing::Message() << "window of " << (now - since) / 1000 << " s");
            const ProviderUsage fromIndex = codexUsage(snapshot.files, codexHome(), since);
            const ProviderUsage fromLogs = codexUsage(fresh.files, codexHome(), since);
            // Field by field first, so a difference says where it is.
            EXPECT_EQ(fromIndex.sessions, fromLogs.sessions);
            EXPECT_EQ(fromIndex.models, fromLogs.models);
            EXPECT_EQ(fromIndex.planReadings, fromLogs.planReadings);
            EXPECT_EQ(fromIndex.lastFiveHourTokens, fromLogs.lastFiveHourTokens);
            EXPECT_EQ(fromIndex.lastFiveHourPrompts, fromLogs.lastFiveHourPrompts);
            EXPECT_EQ(fromIndex.lastFiveHourSessions, fromLogs.lastFiveHourSessions);
            EXPECT_EQ(fromIndex.warnings, fromLogs.warnings);
            EXPECT_TRUE(fromIndex == fromLogs);
        }
    }

    TempDir home;
    TempDir cache;
};

QByteArray geminiUser(const QByteArray& id, const QByteArray& text, double ago) {
    return R"({"id":")" + id + R"(","timestamp":")" + isoSecondsAgo(ago) +
           R"(","type":"user","content":[{"text":")" + text + "\"}]}\n";
}

QByteArray geminiReply(const QByteArray& id, const QByteArray& model, double ago,
                       const QByteArray& tokens) {
    return R"({"id":")" + id + R"(","timestamp":")" + isoSecondsAgo(ago) +
           R"(","type":"gemini","content":"Done.")" +
           (tokens.isEmpty() ? QByteArray() : ",\"tokens\":" + tokens) + R"(,"model":")" + model +
           "\"}\n";
}

// A Claude Code conversation: a prompt, then `requests` requests a second apart.
QByteArray claudeSession(const QString& id, int requests, double secondsAgo,
                         const QString& model = QStringLiteral("claude-sonnet-4-5-20250929")) {
    ClaudeLine line;
    line.sessionId = id;
    line.secondsAgo = secondsAgo;
    QByteArray bytes = claudePromptLine("Tidy the parser of " + id, line);
    for (int i = 0; i < requests; ++i) {
        ClaudeRequest request;
        request.requestId = QStringLiteral("req_%1_%2").arg(id).arg(i);
        request.messageId = QStringLiteral("msg_%1_%2").arg(id).arg(i);
        request.model = model;
        request.input = 10 + i;
        request.output = 100;
        request.cacheRead = 1000;
        request.cacheWrite5m = 50;
        request.cacheWrite1h = i == 0 ? 20 : 0;
        line.secondsAgo -= 1;
        bytes += claudeAssistantLines(request, line);
    }
    return bytes;
}

QByteArray grokSummary(const QByteArray& id, double secondsAgo, const QByteArray& extra = {}) {
    return R"({"info":{"id":")" + id + R"(","cwd":"/w/repo"},"session_summary":"Task of )" + id +
           R"(","last_active_at":")" + isoSecondsAgo(secondsAgo) +
           R"(","current_model_id":"grok-code-fast-1")" + extra + "}";
}

QByteArray grokTurn(const QByteArray& usage) {
    return R"({"jsonrpc":"2.0","method":"_x.ai/session/update","params":{"sessionId":"x",)"
           R"("update":{"sessionUpdate":"turn_completed","stopReason":"end_turn","usage":)" +
           usage + "}}}\n";
}

TEST_F(FiveHourSummaryTest, CodexSummaryEqualsTheReadersBuiltLoadedAndReadOn) {
    const std::int64_t resets = nowMs() / 1000 + 3600;
    // Typed prompts and a model switch; the window starts inside the session.
    const QString switched = rollout(
        "rollout-switch.jsonl",
        codexMetaLine("s1", "/home/dev/app", 2 * kHour) + codexTurnLine("gpt-5", 2 * kHour) +
            codexPromptLine("Port the parser", 2 * kHour) +
            codexUserMessageLine("Port the parser", 2 * kHour) + replyLine(2 * kHour - 5) +
            codexTotalsLine(10'000, 800, 2000, 2 * kHour - 10) +
            codexRateLimitsLine(10, 2, resets, resets, 2 * kHour - 9) +
            codexTurnLine("gpt-5-mini", 600) + codexUserMessageLine("Now the tests", 590) +
            replyLine(585) + codexTotalsLine(14'000, 1000, 2500, 580) +
            codexRateLimitsLine(30, 3, resets, resets, 570) +
            // a report written late, older than the one before it
            codexRateLimitsLine(99, 9, resets, resets, 575));
    // Resumed after two days: only today's part is recent.
    rollout("rollout-resumed.jsonl",
            codexMetaLine("s2", "/home/dev/lib", 50 * kHour) + codexTurnLine("gpt-5", 50 * kHour) +
                codexUserMessageLine("Start the port", 50 * kHour) +
                codexTotalsLine(50'000, 5000, 0, 49 * kHour) + codexTurnLine("gpt-5", 300) +
                codexUserMessageLine("Carry on", 300) + codexTotalsLine(51'000, 5100, 0, 200));
    // A fork and a sub-agent count only their own part.
    const QByteArray parent = codexMetaLine("parent", "/home/dev/app", 3 * kHour) +
                              codexTurnLine("gpt-5", 3 * kHour) +
                              codexPromptLine("Parent prompt", 3 * kHour) +
                              codexUserMessageLine("Parent prompt", 3 * kHour) +
                              codexRateLimitsLine(20, 2, resets, resets, 3 * kHour - 5) +
                              codexTotalsLine(10'000, 1000, 2000, 3 * kHour - 10);
    rollout("rollout-fork.jsonl",
            codexMetaLine("child", "/home/dev/app", 100, R"({"forked_from_id":"parent"})") +
                parent + codexUserMessageLine("Try the other way", 90) +
                codexTotalsLine(12'000, 1200, 3000, 80));
    const QString sub = rollout(
        "rollout-sub.jsonl",
        codexMetaLine("sub", "/home/dev/app", 60,
                      R"({"source":{"subagent":{"thread_spawn":{"parent_thread_id":"parent"}}}})") +
            codexMetaLine("parent", "/home/dev/app", 60) + codexTurnLine("gpt-5", 60) +
            codexPromptLine("Parent prompt", 60) + codexUserMessageLine("Parent prompt", 60) +
            codexTotalsLine(10'000, 1000, 2000, 60) + codexTurnLine("gpt-5-mini", 59) +
            codexPromptLine("Look for every caller", 59) + codexTotalsLine(300, 30, 100, 50));
    // Prompts only as user message items; early per-line usage, with and without stamps.
    rollout("rollout-items.jsonl",
            codexMetaLine("s3", "/home/dev/web", 4 * kHour) + codexTurnLine("gpt-5", 4 * kHour) +
                codexPromptLine("Explain the build", 4 * kHour) +
                codexPromptLine("And the tests", 1800) + codexTotalsLine(700, 70, 0, 1700));
    rollout("rollout-early.jsonl", codexPromptLine("Old format", 2 * kHour) +
                                       timedUsageLine(400, 40, 2 * kHour) +
                                       timedUsageLine(300, 30, 1200) + untimedUsageLine(5, 5));
    rollout("rollout-nostamps.jsonl", untimedUsageLine(90, 9) + untimedUsageLine(10, 1));
    // Not sessions: no usage at all; and one left before every window.
    rollout("rollout-empty.jsonl", codexPromptLine("hello", 10));
    const QString old = rollout("rollout-old.jsonl", codexTotalsLine(1'000'000, 1, 0, 30 * kHour));
    TempDir::setModifiedSecondsAgo(old, 30 * 3600);
    home.write(".codex/archived_sessions/rollout-arch.jsonl", codexTotalsLine(20, 2, 0, 900));
    home.write(".codex/auth.json", "{}");

    {
        SCOPED_TRACE("built");
        expectReaderFigures(update());
    }
    {
        SCOPED_TRACE("loaded");
        const LedgerSnapshot loaded = update();
        EXPECT_EQ(loaded.stats.filesRead, 0u);
        expectReaderFigures(loaded);
    }
    // New turns, prompts and limit reports: read on from where the index stopped.
    append(switched, codexUserMessageLine("One more thing", 50) + replyLine(45) +
                         codexTotalsLine(15'000, 1100, 2600, 40) +
                         codexRateLimitsLine(35, 4, resets, resets, 39));
    append(sub, codexTotalsLine(700, 70, 100, 30));
    const LedgerSnapshot readOn = update();
    EXPECT_EQ(readOn.stats.filesRead, 2u);
    EXPECT_LT(readOn.stats.bytesRead, 2000);
    SCOPED_TRACE("read on");
    expectReaderFigures(readOn);
}

TEST_F(FiveHourSummaryTest, EarlyRolloutsLineUsageReachesReportsAsItReachesTheSummary) {
    rollout("rollout-early.jsonl", timedUsageLine(400, 40, 2 * kHour) +
                                       timedUsageLine(300, 30, 1200) + untimedUsageLine(5, 5));
    // Totals after line usage: the totals alone count.
    rollout("rollout-mixed.jsonl", timedUsageLine(900, 90, 1300) +
                                       codexTotalsLine(100, 10, 0, 1200) +
                                       timedUsageLine(800, 80, 1100));
    const LedgerSnapshot snapshot = update();
    Counts total;
    for (const UsageSlice& slice : snapshot.slices()) total += slice.counts;
    const ProviderUsage fromLogs = codexUsage(snapshot.files, codexHome(), nowMs() - 5 * 3'600'000);
    EXPECT_EQ(total.input, fromLogs.totalInputTokens);
    EXPECT_EQ(total.output, fromLogs.totalOutputTokens);
    EXPECT_EQ(total.input, 705 + 100);
}

TEST_F(FiveHourSummaryTest, CodexWarningsSayWhatIsMissing) {
    const TimeMs since = nowMs() - 5 * 3'600'000;
    EXPECT_EQ(codexUsage(update().files, codexHome(), since).warnings,
              QStringList{"Codex sessions directory was not found."});
    QDir().mkpath(codexHome() + "/sessions/2026");
    EXPECT_EQ(codexUsage(update().files, codexHome(), since).warnings,
              QStringList{"No rollout JSONL files were found."});
}

TEST_F(FiveHourSummaryTest, GeneratedCodexTreeGivesWhatWasWritten) {
    const TimeMs now = nowMs();
    scangen::CodexTreeOptions options;
    options.sessionsDir = (codexHome() + "/sessions").toStdString();
    options.targetBytes = 2'000'000;
    options.minFileBytes = 2'000;
    options.maxFileBytes = 300'000;
    options.longSessionBytes = 400'000;
    options.now = now;
    options.since = now - 5 * 3600 * 1000;
    options.perLineUsageShare = 0.3;
    const auto expected = scangen::writeCodexTree(options);
    const LedgerSnapshot snapshot = update();
    const ProviderUsage usage = codexUsage(snapshot.files, codexHome(), options.since);
    EXPECT_EQ(usage.sessionsTotal, expected.sessions);
    EXPECT_EQ(usage.totalInputTokens, expected.inputTokens);
    EXPECT_EQ(usage.totalOutputTokens, expected.outputTokens);
    EXPECT_EQ(usage.totalCachedTokens, expected.cachedTokens);
    EXPECT_EQ(usage.lastFiveHourPrompts, expected.recentPrompts);
    EXPECT_EQ(usage.lastFiveHourSessions, expected.recentSessions);

    // Every session was active today, so every turn is kept with its time: the index still
    // stays a small part of the logs.
    std::int64_t logs = 0;
    std::size_t records = 0;
    for (const FileEntry& file : snapshot.files) {
        logs += file.identity.size;
        file.need(kRecentPart);
        records += file.recent.size();
    }
    const std::int64_t index = QFileInfo(UsageLedger(cache.path(), {}).indexPath()).size();
    EXPECT_GT(records, 100u);
    EXPECT_LT(index, logs / 50) << index << " bytes of index for " << logs << " of logs";
}

TEST_F(FiveHourSummaryTest, ClaudeCodeSummaryEqualsTheReadersBuiltAndReadOn) {
    const auto claude = [&](const QString& relative, const QByteArray& bytes) {
        return home.write(".claude/projects/" + relative, bytes);
    };
    // A session begun before the window and resumed into a new file that copies it; a
    // sub-agent of the resumed one; a sub-agent whose session was not written to lately.
    const QByteArray first = claudeSession("s1", 3, 2 * kHour);
    claude("-home-dev-web/s1.jsonl", first);
    const QString resumed =
        claude("-home-dev-web/s2.jsonl",
               first + claudeSession("s2", 2, 1800) + claudeApiErrorLine({.secondsAgo = 1700}));
    claude("-home-dev-web/s2/subagents/agent-a.jsonl",
           claudeSession("a", 2, 1200, QStringLiteral("claude-haiku-4-5-20251001")));
    claude("-home-dev-api/s9/subagents/agent-b.jsonl", claudeSession("b", 1, 600));
    claude("-home-dev-api/s3.jsonl",
           claudeSession("s3", 4, 300, QStringLiteral("claude-opus-4-1-20250805")));
    const QString old = claude("-home-dev-api/s4.jsonl", claudeSession("s4", 2, 8 * kHour));
    TempDir::setModifiedSecondsAgo(old, 8 * 3600);
    home.write(".claude/.credentials.json", "{}");

    update();
    ClaudeLine line;
    line.sessionId = "s2";
    line.secondsAgo = 20;
    append(resumed,
           claudePromptLine("One more", line) + claudeAssistantLines({.requestId = "req_new",
                                                                      .messageId = "msg_new",
                                                                      .input = 5,
                                                                      .output = 7,
                                                                      .cacheRead = 300},
                                                                     line));
    const LedgerSnapshot readOn = update();
    EXPECT_EQ(readOn.stats.filesRead, 1u);
    // Read on, the summary is the one a first build gives, for any window.
    const TempDir elsewhere;
    const LedgerSnapshot fresh = UsageLedger(elsewhere.path(), sources()).update(1);
    const QStringList projects{home.filePath(".claude/projects")};
    const QString credentials = home.filePath(".claude/.credentials.json");
    for (const TimeMs since : {nowMs() - 5 * 3'600'000, nowMs() - 3'600'000, nowMs() - 100'000}) {
        const ProviderUsage usage = claudeCodeUsage(readOn.files, projects, credentials, since);
        EXPECT_TRUE(usage == claudeCodeUsage(fresh.files, projects, credentials, since));
    }
    // s1 keeps its three requests; s2 counts its own two and the new one.
    const ProviderUsage all = claudeCodeUsage(readOn.files, projects, credentials, 0);
    for (const SessionUsage& session : all.sessions) {
        // s2's own prompt and "One more"; the copied one is s1's.
        if (session.id.endsWith("/s2.jsonl")) {
            EXPECT_EQ(session.prompts, 2);
        }
        if (session.id.endsWith("/s1.jsonl")) {
            EXPECT_EQ(session.prompts, 1);
        }
    }
}

// Lines whose figures break the rule for outside figures (past 10^15, negative, fractions, a
// negative cost), in each tool's own format, are skipped by the index and the readers alike and
// counted per file, and a later read of the index still knows how many.
TEST_F(FiveHourSummaryTest, LinesWithImpossibleFiguresAreSkippedAndCountedByEveryTool) {
    const QByteArray maxInt64 = "9223372036854775807";
    ClaudeLine line;
    line.secondsAgo = 600;
    ClaudeRequest normal{.requestId = "req_1", .messageId = "msg_1", .input = 100, .output = 50};
    ClaudeRequest negative{.requestId = "req_2", .messageId = "msg_2", .output = -5, .blocks = 1};
    QByteArray fraction = claudeAssistantLines(
        {.requestId = "req_3", .messageId = "msg_3", .input = 7, .blocks = 1}, line);
    fraction.replace("\"input_tokens\":7,", "\"input_tokens\":7.5,");
    const QString claude =
        home.write(".claude/projects/-home-dev-web/s1.jsonl",
                   claudePromptLine("Tidy the parser", line) + claudeAssistantLines(normal, line) +
                       claudeAssistantLines(negative, line) + fraction);
    QByteArray giant = codexTotalsLine(1, 0, 0, 500);
    giant.replace("\"input_tokens\":1,", "\"input_tokens\":" + maxInt64 + ",");
    rollout("rollout-a.jsonl", codexMetaLine("a", "/w/app", 700) + codexTurnLine("gpt-5", 700) +
                                   codexUserMessageLine("Go", 700) +
                                   codexTotalsLine(1000, 100, 0, 600) + giant +
                                   codexTotalsLine(3000, 300, 0, 400));
    home.write(".gemini/tmp/web/chats/session-2026-12-07T09-10-s1.jsonl",
               geminiUser("u1", "Refactor", 600) +
                   geminiReply("g1", "gemini-2.5-pro", 590, R"({"input":-5,"output":3})") +
                   geminiReply("g2", "gemini-2.5-pro", 580, R"({"input":40,"output":4})"));
    home.write(".grok/sessions/b1/summary.json", grokSummary("b1", 60));
    home.write(".grok/sessions/b1/updates.jsonl",
               grokTurn(R"({"inputTokens":100,"outputTokens":5,"costUsdTicks":-1})") +
                   grokTurn(R"({"inputTokens":200,"outputTokens":20})") +
                   grokTurn(R"({"inputTokens":1,"outputTokens":)" + maxInt64 + "}"));

    const LedgerSnapshot built = update();
    Counts all;
    for (const UsageSlice& slice : built.slices()) all += slice.counts;
    // Claude 100, Codex 3000 (the giant line skipped, the next one counted from before it),
    // Gemini 40, Grok 200.
    EXPECT_EQ(all.input, 100 + 3000 + 40 + 200);
    EXPECT_EQ(all.output, 50 + 300 + 4 + 20);
    EXPECT_EQ(skippedLines(built.files), 2 + 1 + 1 + 2);
    EXPECT_EQ(skippedLines(built.files, {ProviderKind::claudeCode}), 2);
    const TimeMs since = nowMs() - 5 * 3'600'000;
    EXPECT_EQ(claudeCodeUsage(built.files, {home.filePath(".claude/projects")}, {}, since)
                  .totalInputTokens,
              100);
    EXPECT_EQ(codexUsage(built.files, codexHome(), since).totalInputTokens, 3000);
    EXPECT_EQ(geminiUsage(built.files, home.filePath(".gemini"), since).totalInputTokens, 40);
    EXPECT_EQ(grokUsage(built.files, home.filePath(".grok/sessions"), {}, since).totalInputTokens,
              200);
    expectReaderFigures(built);

    // Read back, and read on after more lines: the count stays with its file.
    append(claude, claudeAssistantLines(negative, line));
    const LedgerSnapshot readOn = update();
    EXPECT_FALSE(readOn.stats.rebuilt);
    EXPECT_EQ(skippedLines(readOn.files), 7);
    EXPECT_EQ(update().slices(), readOn.slices());
    EXPECT_EQ(skippedLines(update().files), 7);
}

TEST_F(FiveHourSummaryTest, RecordsOlderThanADayAreNotKept) {
    rollout("rollout-long.jsonl",
            codexMetaLine("s", "/home/dev/app", 40 * kHour) + codexTurnLine("gpt-5", 40 * kHour) +
                codexUserMessageLine("Begin", 40 * kHour) +
                codexTotalsLine(1000, 100, 0, 39 * kHour) + codexUserMessageLine("Go on", 600) +
                codexTotalsLine(2000, 200, 0, 500));
    const LedgerSnapshot snapshot = update();
    ASSERT_EQ(snapshot.files.size(), 1u);
    const auto& recent = snapshot.files[0].recent;
    EXPECT_EQ(recent.size(), 2u);  // today's prompt and turn
    for (const RecentRecord& record : recent) EXPECT_GT(record.at, nowMs() - kRecentSpan);

    // An unchanged file's records age out as well; the saved index keeps them until it is
    // next written whole, and they never reach a summary.
    std::vector<FileEntry> files = snapshot.files;
    files[0].recent.insert(files[0].recent.begin(), {nowMs() - kRecentSpan - 1000, 3, 1, {}});
    const UsageLedger ledger(cache.path(), {});
    const std::string bytes = encodeIndex(files, 0);
    QFile index(ledger.indexPath());
    ASSERT_TRUE(index.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(index.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
    index.close();
    QFile::remove(ledger.journalPath());
    const LedgerSnapshot aged = update();
    EXPECT_EQ(aged.stats.filesRead, 0u);
    const auto kept = [](const FileEntry& entry) {
        entry.need(kRecentPart);
        std::vector<RecentRecord> inSpan = entry.recent;
        std::erase_if(inSpan, [](const RecentRecord& r) { return r.at < nowMs() - kRecentSpan; });
        return inSpan;
    };
    EXPECT_EQ(kept(aged.files[0]), recent);
    EXPECT_EQ(kept(update().files[0]), recent);
}

}  // namespace
}  // namespace qm::ledger
