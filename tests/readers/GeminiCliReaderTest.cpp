#include <gtest/gtest.h>

#include <QDateTime>
#include <QMutex>

#include "OpenedFiles.h"
#include "core/Pricing.h"
#include "readers/CliLogParsing.h"
#include "readers/GeminiCliReader.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

using namespace qm;
using qm::test::isoSecondsAgo;
using qm::test::TempDir;

namespace {

using test::g_opened;
using test::recordOpen;

class GeminiReaderTest : public ::testing::Test {
protected:
    QString gemini() const { return home.filePath(QStringLiteral(".gemini")); }
    QString write(const QString& relative, const QByteArray& bytes) const {
        return home.write(QStringLiteral(".gemini/") + relative, bytes);
    }
    ProviderUsage read() const {
        return GeminiCliReader(gemini()).readUsageSync(QDateTime::currentMSecsSinceEpoch() -
                                                       5 * 3600 * 1000);
    }
    TempDir home;
};

}  // namespace

TEST_F(GeminiReaderTest, JsonLinesRecordShapes) {
    const QByteArray now = isoSecondsAgo(30);
    const QString path = write(
        "logs/session.jsonl",
        // a prompt without usage
        "{\"timestamp\":\"" + now + "\",\"role\":\"user\",\"prompt\":\"  Explain\\nthis  \"}\n" +
            // usage without a prompt
            "{\"timestamp\":\"" + now +
            "\",\"model\":\"gemini-2.5-pro\",\"usageMetadata\":{\"promptTokenCount\":100,"
            "\"candidatesTokenCount\":20}}\n" +
            // neither usage nor a prompt
            "{\"timestamp\":\"" + now + "\",\"role\":\"model\"}\n" +
            // only a total
            "{\"timestamp\":\"" + now + "\",\"usage\":{\"totalTokenCount\":50}}\n" +
            // prompt text from "parts", usage under a later key spelling
            "{\"timestamp\":\"" + now +
            "\",\"parts\":[{\"text\":\"\"},{\"text\":\"from parts\"}],\"metadata\":{"
            "\"input_tokens\":3,\"output_tokens\":4}}\n");
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 4u);
    EXPECT_EQ(usage.sessionsTotal, 1);  // one active file
    EXPECT_EQ(usage.lastFiveHourSessions, 1);
    EXPECT_EQ(usage.lastFiveHourPrompts, 2);
    EXPECT_EQ(usage.lastFiveHourTokens, 0 + 120 + 50 + 7);
    EXPECT_EQ(usage.totalInputTokens, 103);
    EXPECT_EQ(usage.totalOutputTokens, 24);
    QStringList ids;
    for (const SessionUsage& s : usage.sessions) ids.append(s.id);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(ids.contains(path + "#" + QString::number(i))) << i;

    const auto pro = PriceBook::find(PriceProvider::gemini, "gemini-2.5-pro");
    ASSERT_TRUE(pro);
    EXPECT_DOUBLE_EQ(usage.costTotal, 100 / 1e6 * pro->input + 20 / 1e6 * pro->output);
    ASSERT_FALSE(usage.models.empty());
    EXPECT_EQ(usage.models[0].model, "gemini-2.5-pro");  // most tokens first
    EXPECT_EQ(usage.latestProject, "Gemini CLI");
    EXPECT_EQ(usage.statusText, "Active");
    bool sawTask = false;
    for (const SessionUsage& s : usage.sessions) sawTask = sawTask || s.task == "Explain this";
    EXPECT_TRUE(sawTask);
}

TEST_F(GeminiReaderTest, JsonDocumentShapes) {
    const QByteArray at = isoSecondsAgo(60);
    const QByteArray record = "{\"timestamp\":\"" + at + "\",\"type\":\"user\",\"message\":\"m\"}";
    write("tmp/a/logs.json", "{\"messages\":[" + record + "," + record + "," + record + "]}");
    write("tmp/b/single.json", record);
    write("tmp/c/list.json", "[" + record + "," + record + "]");
    // A list with a non-object is not a list of records, and an object holding one is parsed
    // as a single record.
    write("tmp/d/mixed.json", "[" + record + ",3]");
    write("tmp/e/holder.json", "{\"history\":[1],\"role\":\"user\",\"timestamp\":\"" + at + "\"}");
    // A ".json" file that is not one document is read as JSON lines.
    write("tmp/f/lines.json", record + "\n" + record + "\n");
    const ProviderUsage usage = read();
    EXPECT_EQ(usage.lastFiveHourPrompts, 3 + 1 + 2 + 0 + 1 + 2);
    EXPECT_EQ(usage.sessionsTotal, 5);
}

TEST_F(GeminiReaderTest, WindowCredentialsAndFolders) {
    // A record without a time takes its file's time.
    const QString recent = write("tmp/x/recent.jsonl", "{\"role\":\"user\"}\n");
    TempDir::setModifiedSecondsAgo(recent, 3600);
    const QString old = write("tmp/x/old.jsonl", "{\"role\":\"user\"}\n");
    TempDir::setModifiedSecondsAgo(old, 6 * 3600);
    // A recent file with an old record.
    write("tmp/x/stale.jsonl",
          "{\"timestamp\":\"" + isoSecondsAgo(6 * 3600) + "\",\"role\":\"user\"}\n");
    write("tmp/x/oauth_creds.json", "{\"role\":\"user\"}");
    write("tmp/x/api_secret.log", "{\"role\":\"user\"}\n");
    write("settings.log", "{\"role\":\"user\"}\n");       // not in a log folder
    write("history/notes.txt", "{\"role\":\"user\"}\n");  // not a log extension
    const QString antigravity = write("antigravity-cli/a.LOG", "{\"role\":\"user\"}\n");
    TempDir::setModifiedSecondsAgo(antigravity, 2 * 3600);

    g_opened.clear();
    CliLogParsing::setOpenObserver(recordOpen);
    const ProviderUsage usage = read();
    CliLogParsing::setOpenObserver(nullptr);
    EXPECT_TRUE(usage.isAuthenticated);
    EXPECT_EQ(usage.lastFiveHourPrompts, 2);
    EXPECT_EQ(usage.sessionsTotal, 2);
    g_opened.sort();
    QStringList expected{recent, gemini() + "/tmp/x/stale.jsonl", antigravity};
    expected.sort();
    EXPECT_EQ(g_opened, expected);
    ASSERT_TRUE(usage.latestActivityAt);
    EXPECT_NEAR(double(*usage.latestActivityAt),
                double(QDateTime::currentMSecsSinceEpoch() - 3600 * 1000), 60'000);
}

TEST_F(GeminiReaderTest, MissingDirectoryAndNothingRecent) {
    ProviderUsage usage = read();
    EXPECT_EQ(usage.warnings, QStringList{"Gemini directory was not found."});
    EXPECT_FALSE(usage.isAuthenticated);
    EXPECT_EQ(usage.dataSourceLabel, "Best-effort Gemini CLI scan");

    write("settings.json", "{}");
    usage = read();
    EXPECT_EQ(usage.warnings, QStringList{"No recent Gemini CLI usage records were detected."});
    EXPECT_FALSE(usage.isAuthenticated);
    EXPECT_EQ(usage.statusText, "No local data");
    EXPECT_EQ(usage.latestProject, "Gemini CLI");
}

namespace {

QByteArray line(const QByteArray& json) {
    return json + "\n";
}

QByteArray userRecord(const QByteArray& id, const QByteArray& text, double ago) {
    return "{\"id\":\"" + id + "\",\"timestamp\":\"" + isoSecondsAgo(ago) +
           "\",\"type\":\"user\",\"content\":[{\"text\":\"" + text + "\"}]}";
}

// A model turn; `tokens` empty for a copy written before the call finished.
QByteArray modelRecord(const QByteArray& id, const QByteArray& model, double ago,
                       const QByteArray& tokens) {
    return "{\"id\":\"" + id + "\",\"timestamp\":\"" + isoSecondsAgo(ago) +
           "\",\"type\":\"gemini\",\"content\":\"Here is what I found.\",\"thoughts\":[{"
           "\"subject\":\"Reading\",\"description\":\"looking\"}]" +
           (tokens.isEmpty() ? QByteArray() : ",\"tokens\":" + tokens) + ",\"model\":\"" + model +
           "\"}";
}

}  // namespace

TEST_F(GeminiReaderTest, ChatRecordingsInBothErasWithLogsAndCheckpoints) {
    // Current era: JSON lines, records appended again in full when they gain tokens.
    const QByteArray pro = R"({"input":1000,"output":100,"cached":400,"thoughts":50,"tool":0,)"
                           R"("total":1150})";
    write("tmp/myproj/chats/session-2026-12-07T09-10-s1aaaaaa.jsonl",
          line(R"({"sessionId":"s1","projectHash":"ab12","startTime":"2026-12-07T09:10:00.000Z",)"
               R"("lastUpdated":"2026-12-07T09:20:00.000Z","kind":"main"})") +
              line(userRecord("u1", "Refactor the loader", 600)) +
              line(modelRecord("g1", "gemini-2.5-pro", 590, {})) +
              line(modelRecord("g1", "gemini-2.5-pro", 590, pro)) +
              line(modelRecord("g1", "gemini-2.5-pro", 590, pro)) +
              // a tool result comes back as a user record without text
              line("{\"id\":\"u2\",\"timestamp\":\"" + isoSecondsAgo(585) +
                   "\",\"type\":\"user\",\"content\":[{\"functionResponse\":{\"name\":"
                   "\"read_file\",\"response\":{\"output\":\"text\"}}}]}") +
              line(modelRecord("g2", "gemini-2.5-flash", 580,
                               R"({"input":2000,"output":300,"cached":0,"thoughts":0})")) +
              line("{\"id\":\"i1\",\"timestamp\":\"" + isoSecondsAgo(400) +
                   "\",\"type\":\"info\",\"content\":\"Model switched\"}") +
              line(R"({"$set":{"lastUpdated":"2026-12-07T09:20:00.000Z"}})") +
              line(userRecord("u3", "Now add tests", 300)) +
              line(modelRecord("g3", "gemini-2.5-flash", 290, {})) + line(R"({"$rewindTo":"g3"})"));
    // Earlier era: one document; its folder is named by a hash.
    write("tmp/" + QString(64, QLatin1Char('e')) + "/chats/session-2026-01-10T08-00-s2bbbbbb.json",
          "{\n  \"sessionId\": \"s2\",\n  \"projectHash\": \"cd34\",\n  \"messages\": [\n    " +
              userRecord("a", "Explain the bug", 1000) + ",\n    " +
              modelRecord("b", "gemini-2.5-flash-lite-preview-06-17", 990,
                          R"({"input":500,"output":50,"cached":100,"thoughts":25})") +
              "\n  ]\n}\n");
    // The prompts again in logs.json, and one of a session older versions kept only there.
    write("tmp/myproj/logs.json",
          "[{\"sessionId\":\"s1\",\"messageId\":0,\"timestamp\":\"" + isoSecondsAgo(600) +
              "\",\"type\":\"user\",\"message\":\"Refactor the loader\"},"
              "{\"sessionId\":\"s1\",\"messageId\":1,\"timestamp\":\"" +
              isoSecondsAgo(300) +
              "\",\"type\":\"user\",\"message\":\"Now add tests\"},"
              "{\"sessionId\":\"old\",\"messageId\":0,\"timestamp\":\"" +
              isoSecondsAgo(2000) + "\",\"type\":\"user\",\"message\":\"Old prompt\"}]");
    // A spawned agent's recording, below its parent's folder: usage only.
    write("tmp/myproj/chats/s1/agent-1.jsonl",
          line(userRecord("x1", "Search the tree for callers", 200)) +
              line(modelRecord("x2", "gemini-2.5-flash", 190,
                               R"({"input":1000,"output":0,"cached":0,"thoughts":0})")));
    // A /chat save checkpoint copies turns: not new activity.
    write("tmp/myproj/checkpoint-mytag.json",
          R"([{"role":"user","parts":[{"text":"Refactor the loader"}]},)"
          R"({"role":"model","parts":[{"text":"Here is what I found."}]}])");

    const ProviderUsage usage = read();
    EXPECT_EQ(usage.lastFiveHourPrompts, 2 + 1 + 1);
    EXPECT_EQ(usage.sessionsTotal, 3);
    EXPECT_EQ(usage.latestTask, "Now add tests");
    EXPECT_EQ(usage.latestProject, "myproj");
    ASSERT_EQ(usage.sessions.size(), 3u);
    const SessionUsage& s1 = usage.sessions[0];
    EXPECT_EQ(s1.id, "s1");
    EXPECT_EQ(s1.prompts, 2);
    EXPECT_EQ(s1.task, "Refactor the loader");
    EXPECT_EQ(s1.inputTokens, 3000);
    EXPECT_EQ(s1.cachedTokens, 400);
    EXPECT_EQ(s1.outputTokens, 100 + 50 + 300);
    // Recomputed for the maintained list's cache rates.
    // gemini-2.5-pro (1.25 / 0.125 cached / 10 per million), thinking billed as output:
    //   600 x 1.25 + 400 x 0.125 + (100 + 50) x 10 = 750 + 50 + 1500 = 2300 per million.
    // gemini-2.5-flash (0.3 / 0.03 / 2.5): 2000 x 0.3 + 300 x 2.5 = 600 + 750 = 1350.
    EXPECT_DOUBLE_EQ(s1.cost, 3650 / 1e6);
    const SessionUsage& s2 = usage.sessions[1];
    EXPECT_EQ(s2.id, "s2");
    EXPECT_EQ(s2.project, "Gemini CLI");
    EXPECT_EQ(s2.prompts, 1);
    // gemini-2.5-flash-lite-preview-06-17, its own row (0.1 / 0.025 / 0.4):
    //   400 x 0.1 + 100 x 0.025 + (50 + 25) x 0.4 = 40 + 2.5 + 30 = 72.5 per million.
    EXPECT_DOUBLE_EQ(s2.cost, 72.5 / 1e6);
    EXPECT_EQ(usage.sessions[2].prompts, 1);
    EXPECT_EQ(usage.sessions[2].task, "Old prompt");
    // With the agent's gemini-2.5-flash input: 1000 x 0.3 = 300 per million.
    EXPECT_DOUBLE_EQ(usage.costTotal, (3722.5 + 300) / 1e6);
    EXPECT_EQ(usage.lastFiveHourTokens, 3000 + 450 + 500 + 75 + 1000);
    EXPECT_EQ(usage.totalCachedTokens, 500);
}
