#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include "support/CliEnvironment.h"
#include "support/TempDir.h"

// OpenCode and Qwen Code through every command that lists the tools, against a home that holds
// one session of each, written as the agents write them: OpenCode's JSON storage (its releases
// before the database) and Qwen Code's chat transcript.
namespace qm {
namespace {

class AgentToolsCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeOpenCodeSession();
        writeQwenSession();
    }

    // One prompt and one call of Sonnet through Anthropic that OpenCode recorded at $0.0123:
    // 1000 fresh input tokens, 500 read from the cache, 200 out.
    void writeOpenCodeSession() const {
        const QString storage = ".local/share/opencode/storage/";
        const QByteArray created = QByteArray::number(at_);
        home_.write(storage + "session/prj_1/ses_1.json",
                    R"({"id":"ses_1","version":"1.1.10","projectID":"prj_1",)"
                    R"("directory":"/home/u/shop","title":"Cart","time":{"created":)" +
                        created + R"(,"updated":)" + created + "}}");
        home_.write(storage + "message/ses_1/msg_1.json",
                    R"({"id":"msg_1","sessionID":"ses_1","role":"user","time":{"created":)" +
                        created +
                        R"(},"model":{"providerID":"anthropic","modelID":"claude-sonnet-4-5"}})");
        home_.write(storage + "part/msg_1/prt_1.json",
                    R"({"id":"prt_1","sessionID":"ses_1","messageID":"msg_1","type":"text",)"
                    R"("text":"Fix the cart total"})");
        home_.write(storage + "message/ses_1/msg_2.json",
                    R"({"id":"msg_2","sessionID":"ses_1","role":"assistant","time":{"created":)" +
                        QByteArray::number(at_ + 1000) + R"(,"completed":)" +
                        QByteArray::number(at_ + 9000) +
                        R"(},"modelID":"claude-sonnet-4-5","providerID":"anthropic",)"
                        R"("path":{"cwd":"/home/u/shop","root":"/home/u/shop"},"cost":0.0123,)"
                        R"("tokens":{"input":1000,"output":200,"reasoning":0,)"
                        R"("cache":{"read":500,"write":0}}})");
        home_.write(storage + "part/msg_2/prt_2.json",
                    R"({"id":"prt_2","sessionID":"ses_1","messageID":"msg_2",)"
                    R"("type":"step-finish","tokens":{"input":1000,"output":200,"reasoning":0,)"
                    R"("cache":{"read":500,"write":0}},"cost":0.0123})");
    }

    // One prompt and one call of a model the price list does not know: 3000 input tokens of
    // which 1000 cached, 300 out. Qwen Code records no cost.
    void writeQwenSession() const {
        // As JavaScript's toISOString() writes it.
        const QByteArray stamp = QDateTime::fromMSecsSinceEpoch(at_, QTimeZone::utc())
                                     .toString("yyyy-MM-ddTHH:mm:ss.zzzZ")
                                     .toUtf8();
        const auto line = [&](const QByteArray& uuid, const QByteArray& type,
                              const QByteArray& rest) {
            return R"({"uuid":")" + uuid +
                   R"(","parentUuid":null,"sessionId":"q1",)"
                   R"("timestamp":")" +
                   stamp + R"(","type":")" + type +
                   R"(","cwd":"/home/u/shop","version":"0.15.6","gitBranch":"main",)" + rest +
                   "}\n";
        };
        home_.write(
            ".qwen/projects/-home-u-shop/chats/q1.jsonl",
            line("u1", "user", R"("message":{"role":"user","parts":[{"text":"Add a test"}]})") +
                line("u2", "assistant",
                     R"("model":"qwen3-coder-plus","message":{"role":"model","parts":)"
                     R"([{"text":"Done."}]},"usageMetadata":{"promptTokenCount":3000,)"
                     R"("candidatesTokenCount":300,"cachedContentTokenCount":1000,)"
                     R"("totalTokenCount":3300})"));
    }

    test::CliRun run(const QStringList& args) const {
        QProcessEnvironment env = test::cliEnvironment(home_.path());
        env.insert("TZ", "UTC");
        // The agents' own variables would lead the scan out of the home.
        for (const char* name : {"OPENCODE_DB", "QWEN_HOME", "QWEN_RUNTIME_DIR"}) env.remove(name);
        const test::CliRun done = test::runCli(env, args);
        EXPECT_EQ(done.exitCode, 0) << args.join(' ').toStdString() << "\n"
                                    << done.err.toStdString();
        return done;
    }
    QJsonObject runJson(const QStringList& args) const {
        return QJsonDocument::fromJson(run(args).out).object();
    }
    // The report of the calls' day and the day before (the calls are minutes old).
    QStringList reportArgs() const {
        const QDate day = QDateTime::fromMSecsSinceEpoch(at_, QTimeZone::utc()).date();
        return {"report",
                "monthly",
                "--json",
                "--since",
                day.addDays(-1).toString(Qt::ISODate),
                "--until",
                day.toString(Qt::ISODate)};
    }

    test::TempDir home_;
    const qint64 at_ = QDateTime::currentMSecsSinceEpoch() - 10 * 60 * 1000;
};

TEST_F(AgentToolsCliTest, ReportsSayWhoseCostItIsAndTakeTheToolsAsPeopleTypeThem) {
    const QJsonObject report = runJson(reportArgs());
    std::map<QString, QJsonObject> byTool;
    for (const QJsonValue row : report["rows"].toArray())
        byTool[row["tool"].toString()] = row.toObject();
    ASSERT_EQ(byTool.size(), 2u) << QJsonDocument(report).toJson().toStdString();
    const QJsonObject open = byTool["openCode"];
    EXPECT_EQ(open["inputTokens"].toInteger(), 1500);
    EXPECT_EQ(open["costUsd"].toDouble(), 0.0123);  // as recorded, not Sonnet's list price
    EXPECT_EQ(open["costSource"].toString(), "agent");
    const QJsonObject qwen = byTool["qwenCode"];
    EXPECT_EQ(qwen["inputTokens"].toInteger(), 3000);
    EXPECT_EQ(qwen["costUsd"].toDouble(), 0);
    EXPECT_EQ(qwen["costSource"].toString(), "estimate");
    EXPECT_EQ(qwen["unpricedModels"].toArray(), QJsonArray{"qwen3-coder-plus"});
    EXPECT_EQ(report["totals"].toObject()["costSource"].toString(), "estimate");

    // Each tool alone, however it is typed; by model and by session like the others.
    const QByteArray qwenOnly = run(reportArgs() + QStringList{"--tool", "qwenCode"}).out;
    EXPECT_EQ(QJsonDocument::fromJson(qwenOnly)["rows"].toArray().size(), 1);
    for (const QString alias : {"qwen", "QWEN-CODE", "qwen_code", "Qwen Code"})
        EXPECT_EQ(run(reportArgs() + QStringList{"--tool", alias}).out, qwenOnly)
            << alias.toStdString();
    const QByteArray openOnly = run(reportArgs() + QStringList{"--tool", "openCode"}).out;
    EXPECT_EQ(QJsonDocument::fromJson(openOnly)["totals"]["costSource"].toString(), "agent");
    for (const QString alias : {"opencode", "open-code", "OpenCode"})
        EXPECT_EQ(run(reportArgs() + QStringList{"--tool", alias}).out, openOnly)
            << alias.toStdString();
    const QJsonArray models =
        runJson(reportArgs() + QStringList{"--by", "model"})["rows"].toArray();
    QStringList names;
    for (const QJsonValue row : models) names << row["model"].toString();
    names.sort();
    EXPECT_EQ(names, (QStringList{"anthropic/claude-sonnet-4-5", "qwen3-coder-plus"}));
    QStringList sessions;
    QStringList session = reportArgs();
    session[1] = "session";
    for (const QJsonValue row : runJson(session)["rows"].toArray())
        sessions << row["period"].toString();
    sessions.sort();
    EXPECT_EQ(sessions, (QStringList{"q1", "ses_1"}));
}

TEST_F(AgentToolsCliTest, UsageTitleAndMetricsListTheAgentsThatRan) {
    const QJsonObject usage = runJson({"usage", "--json"});
    QStringList kinds;
    for (const QJsonValue provider : usage["providers"].toArray())
        kinds << provider["kind"].toString();
    EXPECT_EQ(kinds,
              (QStringList{"codex", "grok", "gemini", "claudeCode", "openCode", "qwenCode"}));
    const QString text = QString::fromUtf8(run({"usage"}).out);
    EXPECT_TRUE(text.contains("\nOpenCode: ")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nQwen Code: ")) << text.toStdString();

    // The title keeps its fixed form; the tool tip names every tool that ran.
    const QJsonObject bar = runJson({"title", "--json"});
    EXPECT_EQ(bar["text"].toString(), "Codex 0 Grok 0");
    const QString tooltip = bar["tooltip"].toString();
    EXPECT_TRUE(tooltip.contains("\nOpenCode: 1 prompt, ")) << tooltip.toStdString();
    EXPECT_TRUE(tooltip.contains("\nQwen Code: 1 prompt, ")) << tooltip.toStdString();

    const QString metrics = QString::fromUtf8(run({"metrics"}).out);
    const QString sonnet = R"(model="anthropic/claude-sonnet-4-5",tool="openCode")";
    EXPECT_TRUE(metrics.contains(R"(quotameter_tokens_total{kind="input",)" + sonnet + "} 1000\n"))
        << metrics.toStdString();
    EXPECT_TRUE(metrics.contains("quotameter_cost_usd_total{" + sonnet + "} 0.0123\n"));
    EXPECT_TRUE(metrics.contains(
        R"(quotameter_tokens_total{kind="input",model="qwen3-coder-plus",tool="qwenCode"} 2000)"));
    EXPECT_FALSE(metrics.contains(R"(quotameter_cost_usd_total{model="qwen3-coder-plus")"));
}

}  // namespace
}  // namespace qm
