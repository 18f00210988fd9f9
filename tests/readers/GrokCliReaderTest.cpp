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

QByteArray summary(const QByteArray& id, double lastActiveSecondsAgo,
                   const QByteArray& extra = {}) {
    return "{\"info\":{\"id\":\"" + id +
           "\",\"cwd\":\"/w/repo/sub\"},\"git_root_dir\":\"/w/repo\","
           "\"session_summary\":\"  Task of " +
           id + "  \",\"last_active_at\":\"" + isoSecondsAgo(lastActiveSecondsAgo) +
           "\",\"current_model_id\":\"grok-code-fast-1\"" + extra + "}";
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
