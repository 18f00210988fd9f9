#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>

#include "core/Pricing.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/UsageLedger.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

// Gemini's logs read by the index and composed into the summary: chat recordings in both
// eras, logs.json, older usage logs in several shapes, credentials and the window.
namespace qm::ledger::geminilogtest {
namespace {

using test::isoSecondsAgo;
using test::TempDir;

TimeMs nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

class GeminiLogTest : public ::testing::Test {
protected:
    QString gemini() const { return home.filePath(".gemini"); }
    QString write(const QString& relative, const QByteArray& bytes) const {
        return home.write(".gemini/" + relative, bytes);
    }
    LedgerSnapshot update() const {
        return UsageLedger(cache.path(), {{}, {}, gemini(), {}}).update(1);
    }
    ProviderUsage summary(const LedgerSnapshot& snapshot, TimeMs window = 5 * 3'600'000) const {
        return geminiUsage(snapshot.files, gemini(), nowMs() - window);
    }
    static Counts total(const LedgerSnapshot& snapshot) {
        Counts sum;
        for (const UsageSlice& slice : snapshot.slices()) sum += slice.counts;
        return sum;
    }
    TempDir home;
    TempDir cache;
};

QByteArray line(const QByteArray& json) {
    return json + "\n";
}

QByteArray userRecord(const QByteArray& id, const QByteArray& text, double ago) {
    return line("{\"id\":\"" + id + "\",\"timestamp\":\"" + isoSecondsAgo(ago) +
                "\",\"type\":\"user\",\"content\":[{\"text\":\"" + text + "\"}]}");
}

// A model turn; `tokens` empty for a copy written before the call finished.
QByteArray modelRecord(const QByteArray& id, const QByteArray& model, double ago,
                       const QByteArray& tokens) {
    return line("{\"id\":\"" + id + "\",\"timestamp\":\"" + isoSecondsAgo(ago) +
                "\",\"type\":\"gemini\",\"content\":\"Here is what I found.\",\"thoughts\":[{"
                "\"subject\":\"Reading\",\"description\":\"looking\"}]" +
                (tokens.isEmpty() ? QByteArray() : ",\"tokens\":" + tokens) + ",\"model\":\"" +
                model + "\"}");
}

TEST_F(GeminiLogTest, RecordingsInBothErasWithPromptLogAgentAndCheckpoint) {
    // Current era: JSON lines, records appended again in full when they gain tokens.
    const QByteArray pro = R"({"input":1000,"output":100,"cached":400,"thoughts":50,"tool":0,)"
                           R"("total":1150})";
    const QString chat = write(
        "tmp/myproj/chats/session-2026-12-07T09-10-s1aaaaaa.jsonl",
        line(R"({"sessionId":"s1","projectHash":"ab12","startTime":"2026-12-07T09:10:00.000Z",)"
             R"("lastUpdated":"2026-12-07T09:20:00.000Z","kind":"main"})") +
            userRecord("u1", "Refactor the loader", 600) +
            modelRecord("g1", "gemini-2.5-pro", 590, {}) +
            modelRecord("g1", "gemini-2.5-pro", 590, pro) +
            modelRecord("g1", "gemini-2.5-pro", 590, pro) +
            // a tool result comes back as a user record without text
            line("{\"id\":\"u2\",\"timestamp\":\"" + isoSecondsAgo(585) +
                 "\",\"type\":\"user\",\"content\":[{\"functionResponse\":{\"name\":"
                 "\"read_file\",\"response\":{\"output\":\"text\"}}}]}") +
            modelRecord("g2", "gemini-2.5-flash", 580,
                        R"({"input":2000,"output":300,"cached":0,"thoughts":0})") +
            line("{\"id\":\"i1\",\"timestamp\":\"" + isoSecondsAgo(400) +
                 "\",\"type\":\"info\",\"content\":\"Model switched\"}") +
            line(R"({"$set":{"lastUpdated":"2026-12-07T09:20:00.000Z"}})") +
            userRecord("u3", "Now add tests", 300) +
            modelRecord("g3", "gemini-2.5-flash", 290, {}) + line(R"({"$rewindTo":"g3"})"));
    // Earlier era: one document; its folder is named by a hash.
    write("tmp/" + QString(64, QLatin1Char('e')) + "/chats/session-2026-01-10T08-00-s2bbbbbb.json",
          "{\n  \"sessionId\": \"s2\",\n  \"projectHash\": \"cd34\",\n  \"messages\": [\n    " +
              userRecord("a", "Explain the bug", 1000).trimmed() + ",\n    " +
              modelRecord("b", "gemini-2.5-flash-lite-preview-06-17", 990,
                          R"({"input":500,"output":50,"cached":100,"thoughts":25})")
                  .trimmed() +
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
          userRecord("x1", "Search the tree for callers", 200) +
              modelRecord("x2", "gemini-2.5-flash", 190,
                          R"({"input":1000,"output":0,"cached":0,"thoughts":0})"));
    // A /chat save checkpoint copies turns: not new activity, never read.
    const QString checkpoint = write("tmp/myproj/checkpoint-mytag.json",
                                     R"([{"role":"user","parts":[{"text":"Refactor the loader"}]},)"
                                     R"({"role":"model","parts":[{"text":"Here."}]}])");

    const LedgerSnapshot built = update();
    EXPECT_EQ(built.stats.files, 4u);
    for (const FileEntry& entry : built.files) EXPECT_NE(entry.path, checkpoint);
    ProviderUsage usage = summary(built);
    EXPECT_EQ(usage.lastFiveHourPrompts, 2 + 1 + 1);
    EXPECT_EQ(usage.sessionsTotal, 3);
    EXPECT_EQ(usage.latestTask, "Now add tests");
    ASSERT_EQ(usage.sessions.size(), 3u);
    const SessionUsage& s1 = usage.sessions[0];
    EXPECT_EQ(s1.id, "s1");
    EXPECT_EQ(s1.prompts, 2);
    EXPECT_EQ(s1.task, "Refactor the loader");
    EXPECT_EQ(s1.inputTokens, 3000);
    EXPECT_EQ(s1.cachedTokens, 400);
    EXPECT_EQ(s1.outputTokens, 100 + 50 + 300);
    // gemini-2.5-pro (1.25 / 0.125 cached / 10 per million), thinking billed as output:
    //   600 x 1.25 + 400 x 0.125 + (100 + 50) x 10 = 750 + 50 + 1500 = 2300 per million.
    // gemini-2.5-flash (0.3 / 0.03 / 2.5): 2000 x 0.3 + 300 x 2.5 = 600 + 750 = 1350.
    EXPECT_DOUBLE_EQ(s1.cost, 3650 / 1e6);
    // The earlier era's session, its folder a hash; gemini-2.5-flash-lite-preview-06-17 has its
    // own row (0.1 / 0.025 / 0.4): 400 x 0.1 + 100 x 0.025 + 75 x 0.4 = 72.5 per million.
    EXPECT_EQ(usage.sessions[1].project, "Gemini CLI");
    EXPECT_DOUBLE_EQ(usage.sessions[1].cost, 72.5 / 1e6);
    EXPECT_EQ(usage.sessions[2].id, "log:old");
    EXPECT_EQ(usage.sessions[2].task, "Old prompt");
    // With the agent's gemini-2.5-flash input: 1000 x 0.3 = 300 per million.
    EXPECT_DOUBLE_EQ(usage.costTotal, (3722.5 + 300) / 1e6);
    EXPECT_EQ(usage.lastFiveHourTokens, 3000 + 450 + 500 + 75 + 1000);
    EXPECT_EQ(usage.totalCachedTokens, 500);
    // The reports count the recordings' calls and typed prompts; logs.json repeats prompts.
    Counts rows = total(built);
    EXPECT_EQ(rows.input, 3000 + 500 + 1000);
    EXPECT_EQ(rows.output, 450 + 75);
    EXPECT_EQ(rows.prompts, 3);
    EXPECT_EQ(rows.calls, 4);  // g1, g2, b, x2: g3 has no tokens yet

    // g3 written again with its tokens, after a new prompt: the recording is read again
    // whole, the record's last copy replacing the first.
    test::append(chat, userRecord("u5", "And the docs", 60) +
                           modelRecord("g3", "gemini-2.5-flash", 50,
                                       R"({"input":3000,"output":300,"cached":0,"thoughts":0})"));
    const LedgerSnapshot reread = update();
    EXPECT_EQ(reread.stats.filesRead, 1u);
    usage = summary(reread);
    EXPECT_EQ(usage.sessions[0].prompts, 3);
    EXPECT_EQ(usage.sessions[0].inputTokens, 6000);
    // 3000 x 0.3 + 300 x 2.5 = 1650 per million more.
    EXPECT_DOUBLE_EQ(usage.sessions[0].cost, 5300 / 1e6);
    EXPECT_EQ(usage.latestTask, "And the docs");
    EXPECT_EQ(usage.lastFiveHourTokens, 5025 + 3300);
    rows = total(reread);
    EXPECT_EQ(rows.input, 4500 + 3000);
    EXPECT_EQ(rows.calls, 5);
    EXPECT_EQ(rows.prompts, 4);

    // A window that starts after the first prompts: only what lies inside it counts.
    usage = summary(reread, 250'000);
    EXPECT_EQ(usage.lastFiveHourPrompts, 1);
    EXPECT_EQ(usage.lastFiveHourTokens, 1000 + 3300);  // the agent's turn, then g3
    EXPECT_EQ(usage.sessionsTotal, 1);
}

TEST_F(GeminiLogTest, OlderUsageLogInJsonLines) {
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
            // a count that breaks the rule: no usage at all
            "{\"timestamp\":\"" + now + "\",\"usage\":{\"input_tokens\":-3},\"prompt\":\"x\"}\n" +
            // prompt text from "parts", usage under a later key spelling
            "{\"timestamp\":\"" + now +
            "\",\"parts\":[{\"text\":\"\"},{\"text\":\"from parts\"}],\"metadata\":{"
            "\"input_tokens\":3,\"output_tokens\":4}}\n");
    const LedgerSnapshot snapshot = update();
    const ProviderUsage usage = summary(snapshot);
    ASSERT_EQ(usage.sessions.size(), 4u);
    EXPECT_EQ(usage.sessionsTotal, 1);  // one active file
    EXPECT_EQ(usage.lastFiveHourPrompts, 2);
    EXPECT_EQ(usage.lastFiveHourTokens, 0 + 120 + 50 + 7);
    EXPECT_EQ(usage.totalInputTokens, 103);
    EXPECT_EQ(usage.totalOutputTokens, 24);
    EXPECT_EQ(usage.sessions[3].id, path + "#3");  // numbered in the file, ties keep order
    const auto pro = PriceBook::find(PriceProvider::gemini, "gemini-2.5-pro");
    ASSERT_TRUE(pro);
    EXPECT_DOUBLE_EQ(usage.costTotal, 100 / 1e6 * pro->input + 20 / 1e6 * pro->output);
    EXPECT_EQ(usage.sessions[0].task, "Explain this");
    // Timed usage reaches the reports too; a bare total says nothing of input and output.
    const Counts rows = total(snapshot);
    EXPECT_EQ(rows.input, 103);
    EXPECT_EQ(rows.output, 24);
    EXPECT_EQ(rows.prompts, 2);
    EXPECT_EQ(skippedLines(snapshot.files), 1);
}

TEST_F(GeminiLogTest, OlderUsageLogDocumentShapes) {
    const QByteArray at = isoSecondsAgo(60);
    const QByteArray record = "{\"timestamp\":\"" + at + "\",\"type\":\"user\",\"message\":\"m\"}";
    // logs.json that is no list of prompts is read as a usage log.
    write("tmp/a/logs.json", "{\"messages\":[" + record + "," + record + "," + record + "]}");
    write("tmp/b/single.json", record);
    write("tmp/c/list.json", "[" + record + "," + record + "]");
    // A list with a non-object is not a list of records, and an object holding one is parsed
    // as a single record.
    write("tmp/d/mixed.json", "[" + record + ",3]");
    write("tmp/e/holder.json", "{\"history\":[1],\"role\":\"user\",\"timestamp\":\"" + at + "\"}");
    // A ".json" file that is not one document is read as JSON lines.
    write("tmp/f/lines.json", record + "\n" + record + "\n");
    const ProviderUsage usage = summary(update());
    EXPECT_EQ(usage.lastFiveHourPrompts, 3 + 1 + 2 + 0 + 1 + 2);
    EXPECT_EQ(usage.sessionsTotal, 5);
}

TEST_F(GeminiLogTest, WindowFoldersAndCredentialsNeverRead) {
    // A record without a time takes its file's time.
    const QString recent = write("tmp/x/recent.jsonl", "{\"role\":\"user\"}\n");
    TempDir::setModifiedSecondsAgo(recent, 3600);
    const QString old = write("tmp/x/old.jsonl", "{\"role\":\"user\"}\n");
    TempDir::setModifiedSecondsAgo(old, 6 * 3600);
    // A recent file with an old record.
    const QString stale = write("tmp/x/stale.jsonl", "{\"timestamp\":\"" + isoSecondsAgo(6 * 3600) +
                                                         "\",\"role\":\"user\"}\n");
    write("tmp/x/oauth_creds.json", "{\"role\":\"user\"}");
    write("tmp/x/api_secret.log", "{\"role\":\"user\"}\n");
    write("tmp/x/Access-TOKEN.jsonl", "{\"role\":\"user\"}\n");
    write("settings.log", "{\"role\":\"user\"}\n");       // not in a log folder
    write("history/notes.txt", "{\"role\":\"user\"}\n");  // not a log extension
    const QString antigravity = write("antigravity-cli/a.LOG", "{\"role\":\"user\"}\n");
    TempDir::setModifiedSecondsAgo(antigravity, 2 * 3600);

    const LedgerSnapshot snapshot = update();
    QStringList indexed;
    for (const FileEntry& entry : snapshot.files) indexed.append(entry.path);
    EXPECT_EQ(indexed, (QStringList{antigravity, old, recent, stale}));
    const ProviderUsage usage = summary(snapshot);
    EXPECT_TRUE(usage.isAuthenticated);  // from the credential file's name alone
    EXPECT_EQ(usage.lastFiveHourPrompts, 2);
    EXPECT_EQ(usage.sessionsTotal, 2);
    ASSERT_TRUE(usage.latestActivityAt);
    EXPECT_NEAR(double(*usage.latestActivityAt), double(nowMs() - 3600 * 1000), 60'000);
    EXPECT_EQ(summary(snapshot, 5'400'000).lastFiveHourPrompts, 1);
    // Only the stale record has a time of its own: it is the one prompt the reports count.
    EXPECT_EQ(total(snapshot).prompts, 1);
}

TEST_F(GeminiLogTest, MissingFolderNothingRecentAndTheIndexedSummaries) {
    ProviderUsage usage = summary(update());
    EXPECT_EQ(usage.warnings, QStringList{"Gemini directory was not found."});
    EXPECT_FALSE(usage.isAuthenticated);
    EXPECT_EQ(usage.dataSourceLabel, "Best-effort Gemini CLI scan");

    write("settings.json", "{}");
    usage = summary(update());
    EXPECT_EQ(usage.warnings, QStringList{"No recent Gemini CLI usage records were detected."});
    EXPECT_FALSE(usage.isAuthenticated);
    EXPECT_EQ(usage.statusText, "No local data");
    EXPECT_EQ(usage.latestProject, "Gemini CLI");

    write("tmp/p/chats/session-2026-12-07T09-10-s1.jsonl",
          userRecord("u1", "Hello", 100) + modelRecord("g1", "gemini-2.5-pro", 90, {}));
    const TimeMs since = nowMs() - 3'600'000;
    const std::vector<ProviderUsage> all = indexedSummaries(
        UsageLedger(cache.path(), LedgerSources::forHome(home.path())).update(1).files, home.path(),
        since);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[2].kind, ProviderKind::gemini);
    EXPECT_EQ(all[2].lastFiveHourPrompts, 1);
}

}  // namespace
}  // namespace qm::ledger::geminilogtest
