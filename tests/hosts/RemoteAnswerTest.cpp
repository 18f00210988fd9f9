#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "accounts/AccountConfigStore.h"
#include "hosts/HostReport.h"
#include "hosts/RemoteAnswer.h"
#include "hosts/RemoteHostCache.h"
#include "hosts/RemoteHostList.h"
#include "support/TempDir.h"

namespace qm::hosts {
namespace {

using ledger::ReportGrouping;

// `rows` rows' worth of 10 output tokens, a prompt and a session each.
QJsonObject figures(std::int64_t input, double cost, int rows = 1) {
    return {{"inputTokens", qint64(input)},
            {"cachedInputTokens", 0},
            {"cacheWriteTokens", 0},
            {"outputTokens", 10 * rows},
            {"reasoningTokens", 0},
            {"costUsd", cost},
            {"prompts", rows},
            {"sessions", rows}};
}

QJsonObject row(const QString& period, const QString& tool, std::int64_t input, double cost) {
    QJsonObject o = figures(input, cost);
    o.insert("period", period);
    o.insert("tool", tool);
    return o;
}

QByteArray answer(const QJsonArray& rows, const QJsonObject& totals) {
    return QJsonDocument(QJsonObject{{"rows", rows},
                                     {"totals", totals},
                                     {"unpricedModels", QJsonArray{"mystery-1"}}})
        .toJson();
}

QString problemOf(const QByteArray& json) {
    const auto parsed = parseRemoteReport(json, ReportGrouping::tool, "devbox");
    const QString* problem = std::get_if<QString>(&parsed);
    return problem ? *problem : QString();
}

TEST(RemoteAnswerTest, HostileOrInconsistentFiguresRefuseTheWholeAnswer) {
    const QJsonArray good{row("2026-12-01", "codex", 100, 0.5), row("2026-12-02", "gemini", 50, 0)};
    const auto parsed =
        parseRemoteReport(answer(good, figures(150, 0.5, 2)), ReportGrouping::tool, "devbox");
    ASSERT_TRUE(std::holds_alternative<RemoteReport>(parsed));
    const RemoteReport& report = std::get<RemoteReport>(parsed);
    ASSERT_EQ(report.rows.size(), 2u);
    EXPECT_EQ(report.rows[1].tool, ProviderKind::gemini);
    EXPECT_EQ(report.rows[1].host, "devbox");
    EXPECT_EQ(report.totals.unpricedModels, std::vector<QString>{"mystery-1"});

    const auto with = [&](const char* key, const QJsonValue& value) {
        QJsonObject bad = row("2026-12-01", "codex", 100, 0.5);
        bad.insert(key, value);
        return answer({bad}, figures(100, 0.5));
    };
    EXPECT_EQ(problemOf(with("inputTokens", -1)), "row 1: inputTokens is not a count");
    EXPECT_EQ(problemOf(with("outputTokens", 1.5)), "row 1: outputTokens is not a count");
    EXPECT_EQ(problemOf(with("prompts", 1e300)), "row 1: prompts is not a count");
    EXPECT_EQ(problemOf(with("sessions", "3")), "row 1: sessions is not a count");
    EXPECT_EQ(problemOf(with("costUsd", -0.01)), "row 1: costUsd is not a cost");
    // The bounds of every figure from outside: 10^15 tokens, a billion dollars.
    EXPECT_EQ(problemOf(with("inputTokens", 1e15 + 2)), "row 1: inputTokens is not a count");
    EXPECT_EQ(problemOf(with("costUsd", 2e9)), "row 1: costUsd is not a cost");
    EXPECT_EQ(problemOf(with("cachedInputTokens", 101)), "row 1: the token counts do not add up");
    EXPECT_EQ(problemOf(with("tool", "cursor")), "row 1: unknown tool cursor");
    EXPECT_EQ(problemOf(with("period", "2026\x1b[2J")), "row 1: period is not a text");
    EXPECT_EQ(problemOf(answer(good, figures(10, 0.5, 2))),
              "the totals are not the sum of the rows");
    EXPECT_EQ(problemOf("Welcome!\n"), "the answer is not a report in JSON");
    // Each figure is in range, but many of them would overflow the sums.
    QJsonArray huge;
    for (int i = 0; i < 20000; ++i) huge.append(row("2026-12-01", "codex", 900'000'000'000'000, 0));
    EXPECT_EQ(problemOf(answer(huge, figures(0, 0))), "the rows add up beyond any real use");
    EXPECT_EQ(problemOf(R"({"rows": {}, "totals": {}})"), "the answer is not a report in JSON");

    const auto usage = [](const QByteArray& extra) {
        return parseRemoteUsage(
            R"({"providers": [{"kind": "codex", "providerName": "Codex", )" + extra + "}]}",
            "devbox");
    };
    EXPECT_TRUE(std::holds_alternative<QString>(usage(R"("costTotal": -3)")));
    EXPECT_TRUE(std::holds_alternative<QString>(usage(R"("sessions": [{"cost": 2e9}])")));
    EXPECT_TRUE(std::holds_alternative<QString>(usage(R"("totalInputTokens": 2e15)")));
    EXPECT_FALSE(
        std::holds_alternative<QString>(usage(R"("costTotal": 12.5, "totalInputTokens": 900)")));
}

TEST(HostReportTest, MachinesAddUpAndTheHostGroupingGivesOneRowPerMachineAndPeriod) {
    ledger::ReportQuery query;
    query.since = QDate(2026, 12, 1);
    query.until = QDate(2026, 12, 2);
    query.grouping = ReportGrouping::host;
    ledger::UsageReport report = ledger::buildReport({}, query);
    const auto remote = [&](std::int64_t a, std::int64_t b) {
        return std::get<RemoteReport>(parseRemoteReport(
            answer({row("2026-12-02", "codex", a, 1), row("2026-12-02", "gemini", b, 2)},
                   figures(a + b, 3, 2)),
            ReportGrouping::tool, "x"));
    };
    addHost(report, remote(10, 20), "workstation");
    addHost(report, remote(1, 2), "devbox");
    ASSERT_EQ(report.rows.size(), 2u);
    EXPECT_EQ(report.rows[0].group, "devbox");
    EXPECT_EQ(report.rows[0].host, "devbox");
    EXPECT_EQ(report.rows[0].figures.counts.input, 3);
    EXPECT_EQ(report.rows[0].figures.sessions, 2);
    EXPECT_EQ(report.rows[1].figures.costUsd, 3);
    EXPECT_EQ(report.totals.counts.input, 33);
    EXPECT_EQ(report.totals.costUsd, 6);
    EXPECT_TRUE(report.severalHosts);

    // The other machine is asked for the same days and tools, by tool.
    query.tools = {ProviderKind::claudeCode};
    EXPECT_EQ(remoteReportCommand(query).join(' '),
              "report daily --json --since 2026-12-01 --until 2026-12-02 --tool claudeCode "
              "--by tool");
}

TEST(HostReportTest, SessionRowsOfNewerAndOlderMachinesAreBothHeard) {
    // A newer machine says where and when each session ran; an older one does not.
    QJsonObject newer = row("s-new", "claudeCode", 100, 1);
    newer.insert("project", "web");
    newer.insert("start", "2026-12-01T09:00:00.000Z");
    newer.insert("end", "2026-12-01T12:00:00.000Z");
    newer.insert("models", QJsonArray{"claude-sonnet-4-5", "claude-haiku-4-5"});
    const QJsonObject older = row("s-old", "codex", 10, 0);
    const auto parsed =
        parseRemoteReport(answer({newer, older}, figures(110, 1, 2)), ReportGrouping::tool, "x");
    ASSERT_TRUE(std::holds_alternative<RemoteReport>(parsed))
        << std::get<QString>(parsed).toStdString();
    const RemoteReport& remote = std::get<RemoteReport>(parsed);
    EXPECT_EQ(remote.rows[0].project, "web");
    EXPECT_EQ(remote.rows[0].start, 1'796'115'600'000);  // 2026-12-01 09:00 UTC
    EXPECT_EQ(remote.rows[0].end, 1'796'126'400'000);
    EXPECT_EQ(remote.rows[0].models,
              (std::vector<QString>{"claude-haiku-4-5", "claude-sonnet-4-5"}));
    EXPECT_EQ(remote.rows[1].project, "");
    EXPECT_FALSE(remote.rows[1].start);
    EXPECT_TRUE(remote.rows[1].models.empty());

    // What is there must be what it says it is.
    const auto with = [&](const char* key, const QJsonValue& value) {
        QJsonObject bad = newer;
        bad.insert(key, value);
        return answer({bad}, figures(100, 1));
    };
    EXPECT_EQ(problemOf(with("start", "yesterday")), "row 1: start is not a time");
    EXPECT_EQ(problemOf(with("end", "2026-12-01T08:00:00Z")), "row 1: start is after end");
    EXPECT_EQ(problemOf(with("models", "gpt-5")), "row 1: models is not a list of names");
    EXPECT_EQ(problemOf(with("models", QJsonArray{"gpt\x1b[2J"})),
              "row 1: models is not a list of names");
    EXPECT_EQ(problemOf(with("project", 7)), "row 1: project is not a text");

    // One row per machine and session: the two tools' rows of one session become one.
    ledger::ReportQuery query;
    query.period = ledger::ReportPeriod::session;
    query.grouping = ReportGrouping::host;
    ledger::UsageReport report = ledger::buildReport({}, query);
    QJsonObject sameSession = older;
    sameSession.insert("period", "s-new");
    sameSession.insert("start", "2026-12-01T08:00:00.000Z");
    sameSession.insert("end", "2026-12-01T10:00:00.000Z");
    sameSession.insert("models", QJsonArray{"gpt-5"});
    addHost(report,
            std::get<RemoteReport>(parseRemoteReport(
                answer({newer, sameSession}, figures(110, 1, 2)), ReportGrouping::tool, "x")),
            "devbox");
    ASSERT_EQ(report.rows.size(), 1u);
    EXPECT_EQ(report.rows[0].project, "web");
    EXPECT_EQ(report.rows[0].start, 1'796'112'000'000);  // 08:00
    EXPECT_EQ(report.rows[0].end, 1'796'126'400'000);    // 12:00
    EXPECT_EQ(report.rows[0].models,
              (std::vector<QString>{"claude-haiku-4-5", "claude-sonnet-4-5", "gpt-5"}));
}

TEST(HostReportTest, TheNewerAgentsAndWhereTheirCostsCameFromAreHeard) {
    // A newer machine names OpenCode with the cost it recorded and Qwen Code with a model it
    // could not price; an older one names neither and says nothing of where costs came from.
    QJsonObject open = row("2026-12-01", "openCode", 100, 0.25);
    open.insert("costSource", "agent");
    QJsonObject qwen = row("2026-12-01", "qwenCode", 50, 0);
    qwen.insert("costSource", "estimate");
    qwen.insert("unpricedModels", QJsonArray{"qwen3-coder-plus"});
    QJsonObject newerTotals = figures(150, 0.25, 2);
    newerTotals.insert("costSource", "estimate");
    const auto newer =
        parseRemoteReport(answer({open, qwen}, newerTotals), ReportGrouping::tool, "devbox");
    ASSERT_TRUE(std::holds_alternative<RemoteReport>(newer))
        << std::get<QString>(newer).toStdString();
    const RemoteReport& remote = std::get<RemoteReport>(newer);
    EXPECT_EQ(remote.rows[0].tool, ProviderKind::openCode);
    EXPECT_TRUE(remote.rows[0].figures.costAllRecorded());
    EXPECT_EQ(remote.rows[1].tool, ProviderKind::qwenCode);
    EXPECT_FALSE(remote.rows[1].figures.costAllRecorded());
    EXPECT_EQ(remote.rows[1].figures.unpricedModels, std::vector<QString>{"qwen3-coder-plus"});
    const auto older =
        parseRemoteReport(answer({row("2026-12-01", "codex", 10, 0.5)}, figures(10, 0.5)),
                          ReportGrouping::tool, "laptop");
    ASSERT_TRUE(std::holds_alternative<RemoteReport>(older));
    EXPECT_FALSE(std::get<RemoteReport>(older).rows[0].figures.costAllRecorded());
    QJsonObject bad = open;
    bad.insert("costSource", 1);
    EXPECT_EQ(problemOf(answer({bad}, figures(100, 0.25))), "row 1: costSource is not a text");
    bad = open;
    bad.insert("estimated", "yes");
    EXPECT_EQ(problemOf(answer({bad}, figures(100, 0.25))),
              "row 1: estimated is not true or false");

    // Summed over machines, OpenCode's row stays the agent's; the totals are mixed.
    ledger::ReportQuery query;
    query.since = QDate(2026, 12, 1);
    query.until = QDate(2026, 12, 1);
    ledger::UsageReport report = ledger::buildReport({}, query);
    addHost(report, remote, "devbox");
    addHost(report, std::get<RemoteReport>(older), "laptop");
    const QJsonObject json = ledger::reportJson(report);
    const QJsonArray rows = json["rows"].toArray();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[1]["tool"].toString(), "openCode");
    EXPECT_EQ(rows[1]["costSource"].toString(), "agent");
    EXPECT_EQ(rows[2]["host"].toString(), "devbox");
    EXPECT_EQ(rows[2]["unpricedModels"].toArray(), QJsonArray{"qwen3-coder-plus"});
    EXPECT_EQ(json["totals"].toObject()["costSource"].toString(), "estimate");
    EXPECT_TRUE(ledger::reportTable(report).contains("Qwen Code"));
}

TEST(RemoteHostListTest, TheListSharesConfigJsonWithTheAccountsAndNeverClobbersIt) {
    test::TempDir dir;
    const QString path = dir.filePath("config.json");
    const RemoteHostList list(path);
    ASSERT_EQ(list.add("devbox"), "");
    // Saving the accounts keeps the list; the list keeps the accounts.
    const AccountConfigStore accounts(path);
    ApiAccountStorageData data;
    data.selectedGrokApiAccountId = "g-1";
    ASSERT_FALSE(accounts.save(data));
    ASSERT_EQ(list.add("user@workstation"), "");
    EXPECT_EQ(list.load(), (QStringList{"devbox", "user@workstation"}));
    EXPECT_EQ(accounts.load(0).data.selectedGrokApiAccountId, "g-1");

    // A hand-edited entry that ssh would read as an option is never handed out.
    dir.write("config.json", R"({"remoteHosts": ["-oProxyCommand=sh", "ok", 7, "ok"]})");
    EXPECT_EQ(list.load(), QStringList{"ok"});
    // A file that is not a JSON object is left as it is, and the edit fails.
    dir.write("config.json", "{\"remoteHosts\": [");
    EXPECT_FALSE(list.add("devbox").isEmpty());
    EXPECT_EQ(test::readAll(path), "{\"remoteHosts\": [");
}

TEST(RemoteHostCacheTest, EachMachineKeepsItsLastAnswerPerQuestionInItsOwnFile) {
    test::TempDir dir;
    const RemoteHostCache cache(dir.path());
    const QStringList daily{"report", "daily", "--json"};
    ASSERT_EQ(cache.store("../up", daily, "{\"a\":1}", 1000), "");
    ASSERT_EQ(cache.store("../up", daily, "{\"a\":2}", 2000), "");
    ASSERT_EQ(cache.store("devbox", daily, "{\"b\":1}", 3000), "");
    EXPECT_EQ(cache.load("../up", daily)->answer, "{\"a\":2}");
    EXPECT_EQ(cache.load("../up", daily)->readAtMs, 2000);
    EXPECT_EQ(cache.load("devbox", daily)->answer, "{\"b\":1}");
    EXPECT_FALSE(cache.load("devbox", {"usage", "--json"}));
    // Names cannot lead out of the folder.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    EXPECT_FALSE(QDir(dir.path()).exists("../up.json"));
}

}  // namespace
}  // namespace qm::hosts
