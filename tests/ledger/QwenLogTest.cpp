#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <algorithm>

#include "ledger/AgentRecords.h"
#include "ledger/LedgerParsers.h"
#include "ledger/QwenLogs.h"
#include "ledger/UsageLedger.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

// Qwen Code's logs as the index reads them: transcripts of two releases, fork copies,
// sub-agents, the usage ledger, early whole documents, and files that grow or are replaced.
namespace qm::ledger::qwenlogtest {
namespace {

using test::TempDir;

// One record as Qwen's chat recorder writes it (createBaseRecord and the type's own fields).
QByteArray qwenLine(const QByteArray& session, const QByteArray& at, const QByteArray& type,
                    const QByteArray& rest) {
    return R"({"uuid":"u-)" + at + R"(","parentUuid":null,"sessionId":")" + session +
           R"(","timestamp":"2025-11-30T)" + at + R"(.120Z","type":")" + type +
           R"(","cwd":"/home/u/shop","version":"0.15.6","gitBranch":"main",)" + rest + "}\n";
}
QByteArray qwenUser(const QByteArray& session, const QByteArray& at, const QByteArray& text,
                    const QByteArray& extra = {}) {
    return qwenLine(session, at, "user",
                    extra + R"("message":{"role":"user","parts":[{"text":")" + text + R"("}]})");
}
QByteArray qwenAssistant(const QByteArray& session, const QByteArray& at, const QByteArray& model,
                         const QByteArray& usage, const QByteArray& extra = {}) {
    return qwenLine(session, at, "assistant",
                    extra + R"("model":")" + model +
                        R"(","message":{"role":"model","parts":[{"text":"Done."}]},)"
                        R"("usageMetadata":)" +
                        usage + R"(,"contextWindowSize":1000000)");
}
// A line of the monthly usage ledger (apiResponseEventToTokenUsageRecord).
QByteArray qwenLedgerLine(const QByteArray& session, const QByteArray& source,
                          const QByteArray& figures, int version = 1) {
    return R"({"schemaVersion":)" + QByteArray::number(version) +
           R"(,"id":"x","timestamp":"2025-11-30T10:00:00.000Z","localDate":"2025-11-30",)"
           R"("localMonth":"2025-11","sessionId":")" +
           session + R"(","model":"qwen3-coder-plus","authType":"openai","source":")" + source +
           R"(",)" + figures + R"(,"apiDurationMs":4210})" + "\n";
}

// Reads `path` from `entry`'s offset on, as the index does for an unchanged file.
void readQwenFile(FileEntry& entry, const QString& path) {
    entry.path = path;
    entry.tool = ProviderKind::qwenCode;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ::fstat(fd, &st);
    ParseScratch scratch;
    readQwen(entry, {fd, std::int64_t(st.st_size), std::int64_t(st.st_mtim.tv_sec) * 1000, {}},
             scratch);
    ::close(fd);
}

FileEntry readQwenWhole(const QString& path) {
    FileEntry entry;
    readQwenFile(entry, path);
    return entry;
}

Counts qwenSum(const FileEntry& entry, const QString& model = {}) {
    Counts sum;
    for (const HourRow& row : entry.rows) {
        if (model.isEmpty() || entry.models[row.model] == model) sum += row.counts;
    }
    return sum;
}

Counts qwenCounts(std::int64_t input, std::int64_t cached, std::int64_t output,
                  std::int64_t reasoning, std::int64_t calls, std::int64_t prompts) {
    Counts c;
    c.input = input;
    c.cachedInput = cached;
    c.output = output;
    c.reasoning = reasoning;
    c.calls = calls;
    c.prompts = prompts;
    return c;
}

class QwenLogTest : public ::testing::Test {
protected:
    QString chat(const QString& name) const { return ".qwen/projects/-home-u-shop/chats/" + name; }
    TempDir home_;
};

TEST_F(QwenLogTest, TranscriptsOfTwoReleasesCountedByHand) {
    // 0.15: no provenance; a cron prompt nobody typed; the ui_telemetry record repeats a call.
    const QString old = home_.write(
        chat("s15.jsonl"),
        qwenUser("s15", "09:00:00", "Fix the checkout total") +
            qwenAssistant("s15", "09:00:10", "qwen3-coder-plus",
                          R"({"promptTokenCount":12000,"candidatesTokenCount":350,)"
                          R"("totalTokenCount":12350,"cachedContentTokenCount":9000,)"
                          R"("thoughtsTokenCount":120})") +
            qwenLine("s15", "09:00:11", "system",
                     R"("subtype":"ui_telemetry","systemPayload":{"uiEvent":{)"
                     R"("event.name":"qwen-code.api_response","input_token_count":12000,)"
                     R"("output_token_count":350,"model":"qwen3-coder-plus"}})") +
            qwenLine("s15", "09:00:20", "tool_result",
                     R"("message":{"role":"user","parts":[{"functionResponse":{}}]})") +
            qwenUser("s15", "09:00:30", "Check the build", R"("subtype":"cron",)") +
            qwenAssistant("s15", "09:01:00", "qwen3-coder-plus",
                          R"({"promptTokenCount":15000,"candidatesTokenCount":500,)"
                          R"("cachedContentTokenCount":12000})"));
    const FileEntry s15 = readQwenWhole(old);
    // input 12000 + 15000, cached 9000 + 12000, output 350 + 500 (candidates hold reasoning).
    EXPECT_EQ(qwenSum(s15), qwenCounts(27000, 21000, 850, 120, 2, 1));
    EXPECT_EQ(s15.session, "s15");
    EXPECT_EQ(s15.project, "shop");
    EXPECT_FALSE(s15.subordinate);
    EXPECT_EQ(s15.skippedLines, 0);

    // 0.24: provenance; a notification is the system's; the typed text is the display text.
    const QByteArray real = R"("provenance":"real_user",)";
    const QString recent = home_.write(
        chat("s24.jsonl"),
        qwenUser("s24", "09:10:00", "Add a retry\\n<hook context>",
                 real + R"("systemPayload":{"displayText":"Add a retry"},)") +
            qwenUser("s24", "09:10:01", "Agent done",
                     R"("subtype":"notification",)"
                     R"("provenance":"system",)") +
            // Native Gemini: thoughts apart from candidates, so output = 100 + 300.
            qwenAssistant("s24", "09:10:10", "gemini-2.5-pro",
                          R"({"promptTokenCount":2000,"candidatesTokenCount":100,)"
                          R"("cachedContentTokenCount":500,"thoughtsTokenCount":300,)"
                          R"("totalTokenCount":2400})",
                          R"("provenance":"assistant_output",)") +
            // The provider sent only a total: counted as input.
            qwenAssistant("s24", "09:11:00", "qwen3-coder-plus",
                          R"({"totalTokenCount":900,"cachedContentTokenCount":0,)"
                          R"("thoughtsTokenCount":40})") +
            qwenUser("s24", "09:12:00", "Now the tests", real) +
            // Figures that are no token counts: each line skipped and counted.
            qwenAssistant("s24", "09:13:00", "qwen3-coder-plus", R"({"promptTokenCount":-5})") +
            qwenAssistant("s24", "09:13:01", "qwen3-coder-plus", R"({"promptTokenCount":1.5})") +
            qwenAssistant("s24", "09:13:02", "qwen3-coder-plus",
                          R"({"promptTokenCount":10000000000000000})"));
    const FileEntry s24 = readQwenWhole(recent);
    EXPECT_EQ(qwenSum(s24), qwenCounts(2900, 500, 400, 300, 2, 2));
    // The opening prompt had no call before it; the second goes with the call before it.
    EXPECT_EQ(qwenSum(s24, "gemini-2.5-pro"), qwenCounts(2000, 500, 400, 300, 1, 0));
    EXPECT_EQ(qwenSum(s24, "qwen3-coder-plus"), qwenCounts(900, 0, 0, 0, 1, 1));
    EXPECT_EQ(s24.skippedLines, 3);
    AgentFacts facts;
    ASSERT_TRUE(facts.decode(s24.facts));
    EXPECT_EQ(facts.task, "Add a retry");
    EXPECT_EQ(facts.model, "qwen3-coder-plus");
}

TEST_F(QwenLogTest, ForkCopiesSubAgentsAndTheLedgerCountEachCallOnce) {
    const QByteArray usage = R"({"promptTokenCount":100,"candidatesTokenCount":10})";
    home_.write(chat("s1.jsonl"), qwenAssistant("s1", "09:00:00", "qwen3-coder-plus", usage));
    // A fork copies the source's records under its own id, marked; then goes on by itself.
    const QByteArray copied = R"("forkedFrom":{"sessionId":"s1","messageUuid":"u-09:00:00"},)";
    const FileEntry fork = readQwenWhole(home_.write(
        chat("f1.jsonl"), qwenUser("f1", "09:00:00", "Fix it", copied) +
                              qwenAssistant("f1", "09:00:00", "qwen3-coder-plus", usage, copied) +
                              qwenUser("f1", "09:30:00", "Try another way") +
                              qwenAssistant("f1", "09:30:10", "qwen3-coder-plus", usage)));
    EXPECT_EQ(qwenSum(fork), qwenCounts(100, 0, 10, 0, 1, 1));
    EXPECT_EQ(fork.session, "f1");

    // A sub-agent's transcript names no model (its .meta.json does) and holds no prompts.
    const QString agentDir = ".qwen/projects/-home-u-shop/subagents/s1/";
    home_.write(agentDir + "agent-a1.meta.json",
                R"({"agentId":"a1","persistedCliFlags":{"model":"qwen3-coder-flash"}})");
    const QByteArray sidechain = R"("agentId":"a1","agentName":"Explore","isSidechain":true,)";
    const FileEntry agent = readQwenWhole(home_.write(
        agentDir + "agent-a1.jsonl",
        qwenUser("s1", "09:01:00", "Search the callers", sidechain) +
            qwenLine("s1", "09:01:20", "assistant",
                     sidechain + R"("message":{"role":"model","parts":[]},"usageMetadata":)"
                                 R"({"promptTokenCount":3000,"candidatesTokenCount":200,)"
                                 R"("cachedContentTokenCount":1000},"agentRound":1)")));
    EXPECT_EQ(qwenSum(agent), qwenCounts(3000, 1000, 200, 0, 1, 0));
    EXPECT_EQ(agent.models, std::vector<QString>{"qwen3-coder-flash"});
    EXPECT_TRUE(agent.subordinate);
    EXPECT_EQ(agent.session, "s1");

    // The ledger repeats every call: only those of sessions without transcripts count.
    const QByteArray figures = R"("inputTokens":4000,"outputTokens":300,"cachedTokens":1000,)"
                               R"("thoughtsTokens":0,"totalTokens":4300)";
    const FileEntry ledger = readQwenWhole(home_.write(
        ".qwen/usage/token-usage-2025-11.jsonl",
        qwenLedgerLine("s1", "main", figures) + qwenLedgerLine("s1", "Explore", figures) +
            qwenLedgerLine("f1", "main", figures) + qwenLedgerLine("nochat", "main", figures) +
            qwenLedgerLine("nochat", "Explore", figures) +
            qwenLedgerLine("../s1", "main", figures) +
            qwenLedgerLine("bad", "main",
                           R"("inputTokens":1,"outputTokens":-1,"cachedTokens":0,)"
                           R"("thoughtsTokens":0,"totalTokens":0)") +
            qwenLedgerLine("later", "main", figures, 2)));
    // nochat twice (its own call and its sub-agent's) and the id that names no file.
    EXPECT_EQ(qwenSum(ledger), qwenCounts(12000, 3000, 900, 0, 3, 0));
    EXPECT_EQ(ledger.skippedLines, 1);
}

TEST_F(QwenLogTest, HalfWrittenLineWaitsAndReplacedFileIsReadAgain) {
    const TempDir cache;
    const UsageLedger index(cache.path(), {{}, {}, {}, {}, {}, {home_.filePath(".qwen")}});
    const auto only = [&index] {
        const LedgerSnapshot snapshot = index.update(1);
        EXPECT_EQ(snapshot.files.size(), 1u);
        return snapshot.files.empty() ? FileEntry() : snapshot.files.front();
    };
    const QByteArray prompt = qwenUser("s1", "09:00:00", "Rename the module");
    const QByteArray call = qwenAssistant(
        "s1", "09:00:10", "qwen3-coder-plus",
        R"({"promptTokenCount":1000,"candidatesTokenCount":50,"cachedContentTokenCount":200})");
    const QString path = home_.write(chat("s1.jsonl"), prompt + call.left(40));
    FileEntry entry = only();
    EXPECT_EQ(entry.offset, prompt.size());
    EXPECT_EQ(qwenSum(entry), qwenCounts(0, 0, 0, 0, 0, 1));

    test::append(path, call.mid(40));
    entry = only();
    EXPECT_EQ(entry.offset, prompt.size() + call.size());
    EXPECT_EQ(qwenSum(entry), qwenCounts(1000, 200, 50, 0, 1, 1));

    // Written anew, shorter: read from its start, nothing of the old content kept.
    home_.write(chat("s1.jsonl"),
                qwenAssistant("s2", "10:00:00", "qwen3-coder-plus",
                              R"({"promptTokenCount":70,"candidatesTokenCount":7})"));
    entry = only();
    EXPECT_EQ(qwenSum(entry), qwenCounts(70, 0, 7, 0, 1, 0));
    EXPECT_EQ(entry.session, "s2");
}

TEST_F(QwenLogTest, FindsItsLogsAndReadsEarlyDocumentsWhole) {
    const QString other = home_.filePath("elsewhere");
    EXPECT_EQ(qwenDirectories(home_.path()), QStringList{home_.filePath(".qwen")});
    home_.write(".env", "PATH=/bin\nexport QWEN_HOME=\"~/elsewhere\" \n");
    EXPECT_EQ(qwenDirectories(home_.path()), QStringList{other});

    const QString projects = "elsewhere/projects/-w/";
    const QStringList wanted = {
        home_.write(projects + "chats/a.jsonl", {}),
        home_.write(projects + "chats/archive/b.jsonl", {}),
        home_.write(projects + "subagents/a/agent-x.jsonl", {}),
        home_.write("elsewhere/usage/token-usage-2025-11.jsonl", {}),
        home_.write("elsewhere/tmp/0f3a/chats/session-2025-08-01T10-00-1a2b3c4d.json", {}),
    };
    for (const char* sidecar :
         {"chats/a.ledger.jsonl", "chats/a.worktree.json", "subagents/a/agent-x.meta.json",
          "subagents/a/agent-x.jsonl.stream", "notes.jsonl"})
        home_.write(projects + sidecar, {});
    home_.write("elsewhere/usage/token-usage-latest.jsonl", {});
    home_.write("elsewhere/tmp/0f3a/tool-results/out.json", {});
    std::vector<FoundLog> found;
    discoverQwenLogs(qwenDirectories(home_.path()), found);
    QStringList paths;
    for (const FoundLog& log : found) {
        EXPECT_EQ(log.tool, ProviderKind::qwenCode);
        paths.append(QFile::decodeName(QByteArray::fromStdString(log.path)));
    }
    paths.sort();
    QStringList expected = wanted;
    expected.sort();
    EXPECT_EQ(paths, expected);

    // Before 0.4.0: one document rewritten whole; read whole each time, never added up.
    const QString document = wanted.last();
    const auto early = [](const QByteArray& extra) {
        return R"({"sessionId":"1a2b3c4d-e","projectHash":"0f3a","startTime":)"
               R"("2025-08-01T10:00:00.000Z","messages":[{"id":"m1","timestamp":)"
               R"("2025-08-01T10:00:05.000Z","type":"user","content":[{"text":"Explain it"}]},)"
               R"({"id":"m2","timestamp":"2025-08-01T10:00:09.000Z","type":"qwen",)"
               R"("content":"It is.","model":"qwen3-coder-plus","tokens":{"input":800,)"
               R"("output":90,"cached":100,"thoughts":0,"tool":0,"total":890}})" +
               extra + "]}";
    };
    EXPECT_FALSE(qwenResumable(document));
    EXPECT_TRUE(qwenResumable(wanted.first()));
    home_.write(document.mid(home_.path().size() + 1), early({}));
    FileEntry entry = readQwenWhole(document);
    EXPECT_EQ(qwenSum(entry), qwenCounts(800, 100, 90, 0, 1, 1));
    home_.write(document.mid(home_.path().size() + 1),
                early(R"(,{"id":"m3","timestamp":"2025-08-01T10:01:00.000Z","type":"qwen",)"
                      R"("model":"qwen3-coder-plus","tokens":{"input":900,"output":10}})"));
    readQwenFile(entry, document);
    EXPECT_EQ(qwenSum(entry), qwenCounts(1700, 100, 100, 0, 2, 1));
    EXPECT_EQ(entry.session, "1a2b3c4d-e");
}

}  // namespace
}  // namespace qm::ledger::qwenlogtest
