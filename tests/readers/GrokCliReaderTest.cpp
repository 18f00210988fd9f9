#include <gtest/gtest.h>

#include <QDateTime>

#include "readers/GrokCliReader.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

using namespace qm;
using qm::test::isoSecondsAgo;
using qm::test::TempDir;

namespace {

class GrokReaderTest : public ::testing::Test {
protected:
    QString sessions() const { return home.filePath(QStringLiteral(".grok/sessions")); }
    QString write(const QString& relative, const QByteArray& bytes) const {
        return home.write(QStringLiteral(".grok/sessions/") + relative, bytes);
    }
    ProviderUsage read() const {
        return GrokCliReader(sessions(), home.filePath(QStringLiteral(".grok/auth.json")))
            .readUsageSync(QDateTime::currentMSecsSinceEpoch() - 5 * 3600 * 1000);
    }
    TempDir home;
};

QByteArray summary(const QByteArray& id, double lastActiveSecondsAgo, const QByteArray& extra = {},
                   const QByteArray& model = "grok-code-fast-1") {
    return "{\"info\":{\"id\":\"" + id +
           "\",\"cwd\":\"/w/repo/sub\"},\"git_root_dir\":\"/w/repo\","
           "\"session_summary\":\"  Task of " +
           id + "  \",\"last_active_at\":\"" + isoSecondsAgo(lastActiveSecondsAgo) +
           "\",\"current_model_id\":\"" + model + "\"" + extra + "}";
}

}  // namespace

TEST_F(GrokReaderTest, SignalsAndPricing) {
    write("s1/summary.json", summary("s1", 60));
    write("s1/signals.json",
          "{\"contextTokensUsed\":120000,\"userMessageCount\":3,\"turnCount\":9}");
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 1u);
    const SessionUsage& session = usage.sessions[0];
    EXPECT_EQ(session.id, "s1");
    EXPECT_EQ(session.project, "repo");
    EXPECT_EQ(session.task, "Task of s1");
    EXPECT_EQ(session.contextTokens, 120000);
    EXPECT_EQ(session.prompts, 3);
    EXPECT_EQ(session.inputTokens, 0);
    EXPECT_NEAR(session.cost, 0.12 * 0.2, 1e-12);
    EXPECT_EQ(usage.lastFiveHourTokens, 120000);
    EXPECT_EQ(usage.totalContextTokens, 120000);
    EXPECT_EQ(usage.totalInputTokens, 0);
    EXPECT_EQ(usage.lastFiveHourPrompts, 3);
    EXPECT_EQ(usage.statusText, "Active");
    ASSERT_EQ(usage.models.size(), 1u);
    EXPECT_EQ(usage.models[0].contextTokens, 120000);
    EXPECT_EQ(usage.models[0].prompts, 3);
}

TEST_F(GrokReaderTest, DuplicateIdsKeepTheLaterSession) {
    write("a/summary.json", summary("dup", 600));
    write("a/signals.json", "{\"userMessageCount\":1,\"primaryModelId\":\"grok-4\"}");
    write("b/summary.json", summary("dup", 60));
    write("b/signals.json", "{\"userMessageCount\":5}");
    write("c/summary.json", summary("dup", 3000));
    const ProviderUsage usage = read();
    EXPECT_EQ(usage.sessionsTotal, 1);
    ASSERT_EQ(usage.sessions.size(), 1u);
    EXPECT_EQ(usage.sessions[0].prompts, 5);
    EXPECT_EQ(usage.sessions[0].model, "grok-code-fast-1");
}

TEST_F(GrokReaderTest, ChatHistoryCountsOnlyMarkedUserLines) {
    write("h/summary.json", summary("h", 60));
    write("h/chat_history.jsonl",
          "{\"type\":\"user\",\"content\":\"<user_query>one</user_query>\"}\n"
          "{\"type\":\"user\",\"content\":[{\"type\":\"text\",\"text\":\"x <user_query>two\"}]}\n"
          "{\"type\":\"user\",\"content\":\"no marker\"}\n"
          "{\"type\":\"user\",\"content\":[\"plain\",{\"text\":\"none\"}]}\n"
          "{\"type\":\"assistant\",\"content\":\"<user_query>quoted</user_query>\"}\n"
          "not json\n");
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 1u);
    EXPECT_EQ(usage.sessions[0].prompts, 2);
    EXPECT_EQ(usage.sessions[0].contextTokens, 0);
}

TEST_F(GrokReaderTest, TimesTitlesAndWindow) {
    // No last activity: created_at stands in.
    write("created/summary.json",
          "{\"info\":{\"id\":\"created\"},\"generated_title\":\"Generated\\ntitle\","
          "\"session_summary\":\"   \",\"created_at\":\"" +
              isoSecondsAgo(120) + "\"}");
    // No time at all: the summary file's modification time.
    const QString untimed = write("untimed/summary.json", "{\"info\":{\"id\":\"untimed\"}}");
    TempDir::setModifiedSecondsAgo(untimed, 1800);
    const QString stale = write("stale/summary.json", "{\"info\":{\"id\":\"stale\"}}");
    TempDir::setModifiedSecondsAgo(stale, 6 * 3600);
    write("old/summary.json", summary("old", 6 * 3600));
    write("broken/summary.json", "{\"info\":");
    write("list/summary.json", "[1]");
    const QString noId =
        write("noid/summary.json", "{\"updated_at\":\"" + isoSecondsAgo(10) + "\"}");

    const ProviderUsage usage = read();
    EXPECT_EQ(usage.sessionsTotal, 3);
    QStringList ids;
    for (const SessionUsage& s : usage.sessions) ids.append(s.id);
    EXPECT_EQ(ids, (QStringList{noId, "created", "untimed"}));  // latest first
    EXPECT_EQ(usage.sessions[1].task, "Generated title");
    EXPECT_EQ(usage.sessions[1].project, "unknown");
    EXPECT_EQ(usage.sessions[1].model, "unknown");
    EXPECT_EQ(usage.latestProject, "unknown");
    EXPECT_TRUE(usage.warnings.isEmpty());
}

TEST_F(GrokReaderTest, MissingAndEmptyDirectory) {
    ProviderUsage usage = read();
    EXPECT_EQ(usage.warnings, QStringList{"Grok sessions directory was not found."});
    EXPECT_EQ(usage.dataSourceLabel, "Local Grok sessions");

    home.write(".grok/auth.json", "{}");
    home.write(".grok/sessions/readme.txt", "");
    usage = read();
    EXPECT_TRUE(usage.warnings.isEmpty());
    EXPECT_TRUE(usage.isAuthenticated);
    EXPECT_EQ(usage.statusText, "No local data");
    EXPECT_EQ(usage.statusLevel, UsageStatusLevel::unknown);
    EXPECT_TRUE(usage.sessions.empty());
}

namespace {

// One finished turn as the tool logs it in updates.jsonl.
QByteArray turnLine(const QByteArray& usage) {
    return R"({"jsonrpc":"2.0","method":"_x.ai/session/update","params":{"sessionId":"x",)"
           R"("update":{"sessionUpdate":"turn_completed","stopReason":"end_turn","usage":)" +
           usage + "}}}\n";
}

}  // namespace

TEST_F(GrokReaderTest, BilledUsageFromUpdatesAndHiddenAgents) {
    // A Grok Build session: two finished turns, one with the tool's own cost, a streamed chunk
    // that merely mentions a finished turn, and a broken line.
    write("b1/summary.json", summary("b1", 60, {}, "grok-build"));
    write("b1/signals.json", R"({"contextTokensUsed":90000,"userMessageCount":2})");
    write("b1/updates.jsonl",
          R"({"method":"_x.ai/session/update","params":{"update":{"sessionUpdate":)"
          R"("agent_message_chunk","content":{"type":"text","text":"turn_completed"}}}})"
          "\n" +
              turnLine(R"({"inputTokens":10000,"outputTokens":500,"cachedReadTokens":8000,)"
                       R"("reasoningTokens":200,"modelCalls":3,"costUsdTicks":123450000})") +
              turnLine(R"({"inputTokens":2000,"outputTokens":100,"cachedReadTokens":0})") +
              turnLine(R"({"inputTokens":99999,"outputTokens":1,)").trimmed() + "\n");
    // A hidden agent the tool spawned: its usage counts, its prompts and session do not.
    write(
        "h1/summary.json",
        summary("h1", 30, R"(,"hidden":true,"session_kind":"subagent","parent_session_id":"b1")"));
    write("h1/chat_history.jsonl",
          R"({"type":"user","content":"<user_query>Find the callers</user_query>"})"
          "\n");
    write("h1/updates.jsonl",
          turnLine(R"({"inputTokens":1000,"outputTokens":100,"cachedReadTokens":500,)"
                   R"("modelUsage":{"grok-code-fast-1":{"inputTokens":1000,"outputTokens":100,)"
                   R"("cachedReadTokens":500}}})"));
    // An older session that logged no usage keeps the estimate from its context fill.
    write("o1/summary.json", summary("o1", 120));
    write("o1/signals.json", R"({"contextTokensUsed":100000,"userMessageCount":1})");

    const ProviderUsage usage = read();
    EXPECT_EQ(usage.sessionsTotal, 2);
    EXPECT_EQ(usage.lastFiveHourPrompts, 3);
    ASSERT_EQ(usage.sessions.size(), 2u);
    const SessionUsage& build = usage.sessions[0];
    EXPECT_EQ(build.id, "b1");
    EXPECT_EQ(build.inputTokens, 12000);
    EXPECT_EQ(build.cachedTokens, 8000);
    EXPECT_EQ(build.outputTokens, 600);
    EXPECT_EQ(build.contextTokens, 90000);  // shown, not priced
    // The tool's own 123 450 000 ticks = 0.012345 $; the turn without them at the grok-build
    // row (0.2 input, 0.5 output per million): 2000 x 0.2 + 100 x 0.5 = 450 per million.
    EXPECT_DOUBLE_EQ(build.cost, 0.012345 + 0.00045);
    const SessionUsage& old = usage.sessions[1];
    // grok-code-fast-1 input rate 0.2 per million on 100 000 context tokens = 0.02.
    EXPECT_DOUBLE_EQ(old.cost, 0.02);
    // The hidden agent, grok-code-fast-1 (0.2 / 0.02 cached / 1.5):
    //   500 x 0.2 + 500 x 0.02 + 100 x 1.5 = 100 + 10 + 150 = 260 per million.
    EXPECT_DOUBLE_EQ(usage.costTotal, 0.012345 + 0.00045 + 0.02 + 0.00026);
    EXPECT_EQ(usage.totalInputTokens, 13000);
    EXPECT_EQ(usage.lastFiveHourTokens, 12600 + 1100 + 100000);
    EXPECT_EQ(usage.latestTask, "Task of b1");
}
