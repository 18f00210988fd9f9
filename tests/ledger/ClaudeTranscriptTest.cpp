#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QMutex>

#include "ledger/FiveHourSummaries.h"
#include "ledger/UsageLedger.h"
#include "readers/ClaudeCodeReader.h"
#include "readers/CliLogParsing.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

using namespace qm;
using qm::test::claudeAssistantLines;
using qm::test::ClaudeLine;
using qm::test::claudePromptLine;
using qm::test::ClaudeRequest;
using qm::test::claudeUserLine;
using qm::test::TempDir;

namespace {

constexpr double kSonnet5m = 3.75, kSonnet1h = 6;  // per million: 1.25 and 2 times input 3
constexpr const char* kProject = ".claude/projects/-home-dev-web/";

class ClaudeTranscriptTest : public ::testing::Test {
protected:
    // The summary as the index serves it, from a first build.
    ProviderUsage read() const {
        const QDir dir(home.path());
        const QStringList projects{dir.filePath(".claude/projects"),
                                   dir.filePath(".config/claude/projects")};
        const TempDir cache;
        const ledger::LedgerSnapshot snapshot =
            ledger::UsageLedger(cache.path(), {projects, {}, {}, {}}).update(1);
        return ledger::claudeCodeUsage(snapshot.files, projects,
                                       dir.filePath(".claude/.credentials.json"),
                                       QDateTime::currentMSecsSinceEpoch() - 5 * 3600 * 1000);
    }
    QString write(const QString& relative, const QByteArray& bytes) const {
        return home.write(QString::fromLatin1(kProject) + relative, bytes);
    }
    TempDir home;
};

ClaudeRequest sonnet(const char* id, std::int64_t input, std::int64_t output,
                     std::int64_t cacheRead = 0, std::int64_t write5m = 0,
                     std::int64_t write1h = 0) {
    return {.requestId = QStringLiteral("req_") + QLatin1String(id),
            .messageId = QStringLiteral("msg_") + QLatin1String(id),
            .input = input,
            .output = output,
            .cacheRead = cacheRead,
            .cacheWrite5m = write5m,
            .cacheWrite1h = write1h};
}

}  // namespace

TEST_F(ClaudeTranscriptTest, RequestsCountOnceAndEachModelIsPricedAtItsRates) {
    ClaudeRequest first = sonnet("A", 10, 500, 20'000, 1'000);
    first.blocks = 3;  // three lines, one request
    ClaudeRequest second{.requestId = "req_B",
                         .messageId = "msg_B",
                         .model = "claude-opus-4-5-20251101",
                         .input = 5,
                         .output = 1'000,
                         .cacheRead = 30'000,
                         .cacheWrite1h = 2'000};
    write("s1.jsonl", claudePromptLine("Fix the flaky date test", {.secondsAgo = 900}) +
                          claudeAssistantLines(first, {.secondsAgo = 890}) +
                          test::claudeToolResultLine(50'000, {.secondsAgo = 880}) +
                          test::claudeApiErrorLine({.secondsAgo = 870}) +
                          claudeUserLine("\"<command-name>/model</command-name>\\n"
                                         "<command-args>opus</command-args>\"",
                                         {.secondsAgo = 860}) +
                          claudePromptLine("Now the time zones", {.secondsAgo = 600}) +
                          claudeAssistantLines(second, {.secondsAgo = 590}));
    const ProviderUsage usage = read();

    EXPECT_EQ(usage.kind, ProviderKind::claudeCode);
    EXPECT_EQ(usage.providerName, "Claude Code");
    EXPECT_EQ(usage.dataSourceLabel, "Local transcripts");
    EXPECT_TRUE(usage.warnings.isEmpty());
    ASSERT_EQ(usage.sessions.size(), 1u);
    const SessionUsage& session = usage.sessions[0];
    EXPECT_EQ(session.provider, ProviderKind::claudeCode);
    EXPECT_EQ(session.project, "web");
    EXPECT_EQ(session.task, "Fix the flaky date test");
    EXPECT_EQ(session.model, "claude-opus-4-5-20251101");  // the last request's
    EXPECT_EQ(session.prompts, 2);
    EXPECT_EQ(session.inputTokens, (10 + 20'000 + 1'000) + (5 + 30'000 + 2'000));
    EXPECT_EQ(session.outputTokens, 1'500);
    EXPECT_EQ(session.cachedTokens, 50'000);
    EXPECT_EQ(session.cacheWriteTokens, 3'000);
    // Sonnet 4.5: 3 / 15 / read 0.3 / 5-minute write 3.75; Opus 4.5 (the maintained list's
    // price, a third of the earlier table's): 5 / 25 / read 0.5 / 1-hour write 10.
    const double sonnetCost = 10 * 3e-6 + 500 * 15e-6 + 20'000 * 0.3e-6 + 1'000 * 3.75e-6;
    const double opusCost = 5 * 5e-6 + 1'000 * 25e-6 + 30'000 * 0.5e-6 + 2'000 * 10e-6;
    EXPECT_NEAR(session.cost, 0.01728 + 0.060025, 1e-12);
    EXPECT_NEAR(usage.costTotal, sonnetCost + opusCost, 1e-12);
    EXPECT_NEAR(usage.lastFiveHourCost, usage.costTotal, 1e-12);
    ASSERT_EQ(usage.models.size(), 2u);
    EXPECT_EQ(usage.models[0].model, "claude-opus-4-5-20251101");  // most expensive first
    EXPECT_EQ(usage.models[0].prompts, 2);
    EXPECT_EQ(usage.models[1].outputTokens, 500);
    EXPECT_EQ(usage.models[1].sessions, 1);
    EXPECT_EQ(usage.lastFiveHourPrompts, 2);
    EXPECT_EQ(usage.lastFiveHourSessions, 1);
    EXPECT_EQ(usage.lastFiveHourTokens, usage.totalInputTokens + usage.totalOutputTokens);
    EXPECT_EQ(usage.latestTask, "Fix the flaky date test");
    EXPECT_EQ(usage.statusText, "Recent");
}

TEST_F(ClaudeTranscriptTest, AnOpus45SessionCostsItsListPrice) {
    // Opus 4.5 per million: input 5, output 25, cache read 0.5, 5-minute write 6.25, 1-hour
    // write 10. Three requests, the second written as four lines.
    const auto opus = [](const char* id, std::int64_t input, std::int64_t output, std::int64_t read,
                         std::int64_t write5m, std::int64_t write1h) {
        ClaudeRequest request = sonnet(id, input, output, read, write5m, write1h);
        request.model = QStringLiteral("claude-opus-4-5-20251101");
        return request;
    };
    ClaudeRequest second = opus("B", 3, 1'850, 41'200, 2'300, 0);
    second.blocks = 4;
    write("opus.jsonl",
          claudePromptLine("Why does the import time out?", {.secondsAgo = 1'200}) +
              claudeAssistantLines(opus("A", 12, 640, 0, 18'400, 6'000), {.secondsAgo = 1'190}) +
              test::claudeToolResultLine(4'000, {.secondsAgo = 1'180}) +
              claudeAssistantLines(second, {.secondsAgo = 1'170}) +
              claudePromptLine("Add a test for it", {.secondsAgo = 900}) +
              claudeAssistantLines(opus("C", 1, 3'120, 43'500, 900, 0), {.secondsAgo = 890}));
    const ProviderUsage usage = read();
    // A: 12 x 5 + 640 x 25 + 18 400 x 6.25 + 6 000 x 10           = 191 060
    // B:  3 x 5 + 1 850 x 25 + 41 200 x 0.5 + 2 300 x 6.25         =  81 240
    // C:  1 x 5 + 3 120 x 25 + 43 500 x 0.5 +   900 x 6.25         = 105 380
    // in millionths of a dollar: 377 680, so $0.37768.
    EXPECT_NEAR(usage.costTotal, 0.37768, 1e-12);
    ASSERT_EQ(usage.models.size(), 1u);
    EXPECT_NEAR(usage.models[0].cost, 0.37768, 1e-12);
    EXPECT_TRUE(usage.unpricedModels.isEmpty());
}

TEST_F(ClaudeTranscriptTest, EachRequestPaysItsOwnContextTier) {
    // Sonnet 4.5 per million: 3 / 15 / read 0.3; above 200 000 prompt tokens 6 / 22.5 / 0.6.
    // Two requests of 200 000 and 200 001 prompt tokens: only the second is long-context,
    // although together they are far above the threshold.
    write("long.jsonl", claudeAssistantLines(sonnet("A", 100'000, 1'000, 100'000)) +
                            claudeAssistantLines(sonnet("B", 100'001, 1'000, 100'000)));
    const ProviderUsage usage = read();
    const double base = 0.1 * 3 + 0.001 * 15 + 0.1 * 0.3;
    const double tier = 0.100001 * 6 + 0.001 * 22.5 + 0.1 * 0.6;
    EXPECT_NEAR(usage.costTotal, base + tier, 1e-12);
}

TEST_F(ClaudeTranscriptTest, OnlyWhatAPersonTypedIsAPrompt) {
    const ClaudeLine at;
    write("s.jsonl",
          claudeUserLine("\"<local-command-stdout>Set model to opus</local-command-stdout>\"", at) +
              claudeUserLine("\"<system-reminder>Files changed</system-reminder>\"", at) +
              claudeUserLine("\"[Request interrupted by user for tool use]\"", at) +
              claudeUserLine("\"Caveat: The messages below were generated by the user\"", at,
                             "\"isMeta\":true,") +
              claudeUserLine("\"This session is being continued from a previous conversation\"", at,
                             "\"isCompactSummary\":true,") +
              claudeUserLine("\"   \"", at) +
              // A pasted image with text is a prompt; its text is the task.
              claudeUserLine(
                  "[{\"type\":\"image\",\"source\":{\"type\":\"base64\",\"data\":\"iVB\"}},"
                  "{\"type\":\"text\",\"text\":\"Why is this red?\"}]",
                  at) +
              claudeAssistantLines(sonnet("A", 1, 1), at));
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 1u);
    EXPECT_EQ(usage.sessions[0].prompts, 1);
    EXPECT_EQ(usage.sessions[0].task, "Why is this red?");
}

TEST_F(ClaudeTranscriptTest, SubAgentsAddUsageButNoPromptsOrSessions) {
    const QString parentId = QStringLiteral("5f0c2b1e-0000-4000-8000-000000000001");
    // An older version: the agent's turns inside the parent file, marked as a side chain.
    write(parentId + ".jsonl",
          claudePromptLine("Review the branch", {.secondsAgo = 300}) +
              claudeAssistantLines(sonnet("P", 100, 10), {.secondsAgo = 290}) +
              claudePromptLine("Review src/ only", {.secondsAgo = 280, .sidechain = true}) +
              claudeAssistantLines(sonnet("S", 200, 20), {.secondsAgo = 270, .sidechain = true}));
    // A newer one: the agent's own file below the session's folder.
    write(
        parentId + "/subagents/agent-a1b2c3.jsonl",
        claudePromptLine("Search for callers of parse()", {.secondsAgo = 260, .sidechain = true}) +
            claudeAssistantLines(sonnet("G", 1'000, 100), {.secondsAgo = 250, .sidechain = true}));
    // An agent whose session file is gone still costs what it cost.
    write("0000dead-0000-4000-8000-000000000009/subagents/agent-ffff.jsonl",
          claudeAssistantLines(sonnet("O", 10'000, 0), {.sidechain = true}));

    const ProviderUsage usage = read();
    EXPECT_EQ(usage.sessionsTotal, 1);
    ASSERT_EQ(usage.sessions.size(), 1u);
    EXPECT_EQ(usage.sessions[0].prompts, 1);
    EXPECT_EQ(usage.sessions[0].inputTokens, 1'300);
    EXPECT_EQ(usage.sessions[0].outputTokens, 130);
    EXPECT_EQ(usage.totalInputTokens, 11'300);
    EXPECT_EQ(usage.lastFiveHourPrompts, 1);
    EXPECT_EQ(usage.latestTask, "Review the branch");
    ASSERT_EQ(usage.models.size(), 1u);
    EXPECT_EQ(usage.models[0].sessions, 1);
    EXPECT_NEAR(usage.costTotal, 11'300 * 3e-6 + 130 * 15e-6, 1e-12);
}

TEST_F(ClaudeTranscriptTest, CacheWritesArePricedByLifetime) {
    // Lifetimes given: each at its rate. Only the total given (older versions): five minutes.
    // Each request stays below the long-context threshold.
    write("a.jsonl", claudeAssistantLines(sonnet("A", 0, 0, 0, 100'000, 100'000)));
    QByteArray unsplit = claudeAssistantLines(sonnet("B", 0, 0, 0, 100'000));
    unsplit.replace(
        ",\"cache_creation\":{\"ephemeral_5m_input_tokens\":100000,"
        "\"ephemeral_1h_input_tokens\":0}",
        "");
    write("b.jsonl", unsplit);
    // A line cut off while the tool was writing it counts for nothing.
    const QByteArray whole = claudeAssistantLines(sonnet("C", 0, 0, 0, 100'000));
    write("c.jsonl", whole.left(whole.indexOf("\"requestId\"")));
    const ProviderUsage usage = read();
    EXPECT_NEAR(usage.costTotal, (kSonnet5m + kSonnet1h + kSonnet5m) / 10, 1e-9);
    EXPECT_EQ(usage.totalCacheWriteTokens, 300'000);
    EXPECT_EQ(usage.sessionsTotal, 2);
}

TEST_F(ClaudeTranscriptTest, WindowOldFilesAndResumedCopies) {
    // A request made before the window, in a file still written to inside it.
    const QByteArray newPrompt = claudePromptLine("New question", {.secondsAgo = 60});
    write("recent.jsonl",
          claudePromptLine("Old question", {.secondsAgo = 8 * 3600}) +
              claudeAssistantLines(sonnet("OLD", 1'000, 0), {.secondsAgo = 8 * 3600}) + newPrompt +
              claudeAssistantLines(sonnet("NEW", 10, 0), {.secondsAgo = 50}));
    // A resumed session's file starts with a copy of the earlier conversation.
    write("resumed.jsonl", newPrompt +
                               claudeAssistantLines(sonnet("NEW", 10, 0), {.secondsAgo = 50}) +
                               claudeAssistantLines(sonnet("MORE", 5, 0), {.secondsAgo = 40}));
    const QString old = write("old.jsonl", claudeAssistantLines(sonnet("X", 7, 0)));
    TempDir::setModifiedSecondsAgo(old, 6 * 3600);

    const ProviderUsage usage = read();
    EXPECT_EQ(usage.totalInputTokens, 1'015);
    EXPECT_EQ(usage.lastFiveHourTokens, 15);
    EXPECT_EQ(usage.lastFiveHourPrompts, 1);
    EXPECT_EQ(usage.sessionsTotal, 2);
}

TEST_F(ClaudeTranscriptTest, BothLocationsAndTheConfigFolderVariable) {
    const ClaudeRequest request = sonnet("A", 1, 2);
    home.write(".claude/projects/-a/s1.jsonl", claudeAssistantLines(request));
    home.write(".config/claude/projects/-b/s2.jsonl", claudeAssistantLines(sonnet("B", 3, 4)));
    home.write(".claude/.credentials.json", "{}");
    ProviderUsage usage = read();
    EXPECT_EQ(usage.sessionsTotal, 2);
    EXPECT_EQ(usage.totalOutputTokens, 6);
    EXPECT_TRUE(usage.isAuthenticated);

    const QDir dir(home.path());
    qputenv("CLAUDE_CONFIG_DIR", dir.filePath("elsewhere").toUtf8());
    const QStringList configured = ClaudeCodeReader::projectDirectoriesFor(home.path());
    const QString credentials = ClaudeCodeReader::credentialsFileFor(home.path());
    qputenv("CLAUDE_CONFIG_DIR", "");
    const QStringList defaults = ClaudeCodeReader::projectDirectoriesFor(home.path());
    qunsetenv("CLAUDE_CONFIG_DIR");
    EXPECT_EQ(configured, QStringList{dir.filePath("elsewhere/projects")});
    EXPECT_EQ(credentials, dir.filePath("elsewhere/.credentials.json"));
    EXPECT_EQ(defaults, (QStringList{dir.filePath(".claude/projects"),
                                     dir.filePath(".config/claude/projects")}));

    usage = ledger::claudeCodeUsage({}, configured, credentials, 0);
    EXPECT_EQ(usage.warnings, QStringList{"Claude Code projects directory was not found."});
    EXPECT_EQ(usage.statusText, "No local data");
    EXPECT_FALSE(usage.isAuthenticated);
}
