#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>
#include <memory>

#include "core/SharedFile.h"
#include "history/UsageHistoryFile.h"
#include "support/CliEnvironment.h"
#include "support/RolloutFixtures.h"
#include "support/SocketExchange.h"
#include "support/TempDir.h"

namespace qm {
namespace {

const QString kAnthropicId = QStringLiteral("0123456789abcdef0123456789abcdef");

// quotameter-cli metrics over a home with the four tools' logs, Codex plan limits, a history
// with relay calls and API costs, and two API accounts.
class MetricsCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::writeSampleHome(home.path());
        const std::int64_t nowS = QDateTime::currentSecsSinceEpoch();
        home.write(".codex/sessions/2026/12/07/rollout-limits.jsonl",
                   test::codexMetaLine("0199a1b2-limits", "/home/dev/app", 120) +
                       test::codexTurnLine("gpt-5", 120) +
                       test::codexRateLimitsLine(43, 12, nowS + 3600, nowS + 3 * 86400, 100));
        const QString config = QStringLiteral(
            R"({"anthropicApiAccounts": [{"id": "ffffffffffffffffffffffffffffffff", "alias": "ops"},
                                         {"id": "%1", "alias": "team \"blue\""}],
                "geminiAccounts": [{"id": "g1", "alias": "relay-main"}]})");
        home.write(".local/share/Quotameter/config.json", config.arg(kAnthropicId).toUtf8());
        const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
        UsageHistoryData data;
        data.geminiRecords = {
            {now - 2, "g1", "gemini-2.5-flash", 100, 50, 0, 0, 0, 0.25, 300, "relay", {}},
            {now - 1, "g1", "gemini-2.5-flash", 100, 50, 0, 0, 0, 0.5, 300, "relay", {}}};
        data.apiRecords = {{now, "anthropic", kAnthropicId, "claude-x", 1000, 200, 30, 1.5}};
        const QString history =
            UsageHistoryFileStore::pathIn(home.filePath(".local/share/Quotameter"));
        ASSERT_EQ(UsageHistoryFileStore(history).save(data), std::nullopt);
    }

    void prepare(QProcess& process, const QStringList& args) const {
        QProcessEnvironment env = qm::test::cliEnvironment(home.path());
        process.setProcessEnvironment(env);
        process.setProgram(QStringLiteral(QM_CLI_PATH));
        process.setArguments(QStringList{"metrics"} + args);
    }

    test::CliRun runCli(const QStringList& args) const {
        return test::runCli(test::cliEnvironment(home.path()), QStringList{"metrics"} + args);
    }
    std::pair<int, QByteArray> run(const QStringList& args) const {
        const test::CliRun done = runCli(args);
        return {done.exitCode, done.out};
    }

    // An exporter on a port of its own choosing; the port it names on stderr.
    struct Exporter {
        std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
        QByteArray err;
        int port = 0;
    };
    std::unique_ptr<Exporter> startExporter(const QStringList& args) const {
        auto exporter = std::make_unique<Exporter>();
        prepare(*exporter->process, args);
        QObject::connect(exporter->process.get(), &QProcess::readyReadStandardError,
                         [e = exporter.get()] { e->err += e->process->readAllStandardError(); });
        exporter->process->start();
        const QRegularExpression serving(R"(Serving metrics at http://127\.0\.0\.1:(\d+)/metrics)");
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                const auto match = serving.match(QString::fromUtf8(exporter->err));
                exporter->port = match.hasMatch() ? match.captured(1).toInt() : 0;
                return exporter->port != 0;
            },
            60000))
            << exporter->err.toStdString();
        return exporter;
    }
    static void stop(Exporter& exporter) {
        exporter.process->terminate();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return exporter.process->state() == QProcess::NotRunning; }, 30000));
        EXPECT_EQ(exporter.process->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(exporter.process->exitCode(), 0);
    }

    static std::pair<int, QByteArray> get(QNetworkAccessManager& network, const QUrl& url) {
        std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(url)));
        EXPECT_TRUE(QTest::qWaitFor([&] { return reply->isFinished(); }, 60000));
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                reply->readAll()};
    }

    // Sends `bytes` to the exporter and returns all it answered before it closed.
    static QByteArray exchange(int port, const QByteArray& bytes) {
        return test::exchangeWith(QHostAddress(QHostAddress::LocalHost), quint16(port), bytes);
    }

    test::TempDir home;
};

TEST_F(MetricsCommandTest, PrintsEveryFamilyFromTheFixtureHomeAndPromtoolAcceptsIt) {
    const auto [code, text] = run({});
    ASSERT_EQ(code, 0);
    // Codex: 1000 input of which 100 cached; Claude Code: 100 fresh, 1000 read, 200 written.
    for (const char* series :
         {"quotameter_tokens_total{kind=\"input\",model=\"gpt-5\",tool=\"codex\"} 900\n",
          "quotameter_tokens_total{kind=\"cached_input\",model=\"gpt-5\",tool=\"codex\"} 100\n",
          "quotameter_tokens_total{kind=\"cache_write\",model=\"claude-sonnet-4-5-20250929\","
          "tool=\"claudeCode\"} 200\n",
          "quotameter_tokens_total{kind=\"input\",model=\"gemini-2.5-pro\",tool=\"gemini\"} 200\n",
          "quotameter_limit_used_ratio{tool=\"codex\",window=\"fiveHour\"} 0.43\n",
          "quotameter_limit_used_ratio{tool=\"codex\",window=\"weekly\"} 0.12\n",
          "quotameter_relay_requests_total{status=\"200\"} 2\n",
          "quotameter_api_cost_usd_total{account=\"2\",provider=\"anthropic\"} 1.5\n",
          "quotameter_api_cost_usd_total{account=\"1\",provider=\"gemini\"} 0.75\n"}) {
        EXPECT_TRUE(text.contains(series)) << series << "\n" << text.toStdString();
    }
    EXPECT_TRUE(text.contains("quotameter_cost_usd_total{model=\"gpt-5\",tool=\"codex\"} "));
    EXPECT_TRUE(text.contains("# TYPE quotameter_limit_resets_timestamp_seconds gauge\n"));
    // Nothing that names an account, a key or a prompt.
    for (const QByteArray& secret : {kAnthropicId.toUtf8(), QByteArray("relay-main"),
                                     QByteArray("team"), QByteArray("Make the header sticky")})
        EXPECT_FALSE(text.contains(secret)) << secret.toStdString();

    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty()) GTEST_SKIP() << "promtool is not installed";
    for (const QStringList& args : {QStringList{}, QStringList{"--account-labels"}}) {
        const QByteArray exposition = run(args).second;
        QProcess check;
        check.start(promtool, {"check", "metrics"});
        check.write(exposition);
        check.closeWriteChannel();
        ASSERT_TRUE(check.waitForFinished(30000));
        EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardOutput().toStdString()
                                       << check.readAllStandardError().toStdString();
    }
}

TEST_F(MetricsCommandTest, AliasesOnlyWhenAskedAndBadArgumentsAreRefused) {
    const QByteArray named = run({"--account-labels"}).second;
    EXPECT_TRUE(named.contains(
        "quotameter_api_cost_usd_total{account=\"team \\\"blue\\\"\",provider=\"anthropic\"} 1.5"))
        << named.toStdString();
    EXPECT_FALSE(named.contains(kAnthropicId.toUtf8()));
    // A history that cannot be read is said on stderr; the rest is still reported.
    home.write(".local/share/Quotameter/usage-history.json", "{not json");
    const test::CliRun broken = runCli({});
    EXPECT_EQ(broken.exitCode, 0);
    EXPECT_TRUE(broken.err.contains("usage history could not be read"));
    const QByteArray& rest = broken.out;
    EXPECT_TRUE(rest.contains("quotameter_tokens_total{kind=\"input\",model=\"gpt-5\""));
    EXPECT_FALSE(rest.contains("quotameter_relay_requests_total{"));
    EXPECT_EQ(test::readAll(home.filePath(".local/share/Quotameter/usage-history.json")),
              "{not json");

    for (const QStringList& bad :
         {QStringList{"--listen"}, QStringList{"--listen", "127.0.0.1:99999"},
          QStringList{"--listen", "devbox:9464"}, QStringList{"--listen", "10.1:9464"},
          QStringList{"--listen", "127.0.0.1:"}, QStringList{"--json"}}) {
        EXPECT_EQ(run(bad).first, 2) << bad.join(' ').toStdString();
    }
}

TEST_F(MetricsCommandTest, ServesMetricsOnLoopbackAndNothingElseUntilStopped) {
    // A bare port stays on loopback (the exporter names 127.0.0.1).
    auto exporter = startExporter({"--listen", "0"});
    ASSERT_NE(exporter->port, 0);
    EXPECT_FALSE(exporter->err.contains("warning"));
    QNetworkAccessManager network;
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(exporter->port);
    const auto [status, body] = get(network, QUrl(base + "/metrics"));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body, run({}).second);
    // New usage shows in the next scrape: the index is read afresh each time.
    home.write(".codex/sessions/2026/12/07/rollout-later.jsonl",
               test::codexMetaLine("0199a1b2-later", "/home/dev/app", 30) +
                   test::codexTurnLine("gpt-5", 30) + test::codexTotalsLine(500, 10, 0, 20));
    EXPECT_TRUE(get(network, QUrl(base + "/metrics"))
                    .second.contains(
                        "quotameter_tokens_total{kind=\"input\",model=\"gpt-5\",tool=\"codex\"} "
                        "1400\n"));
    // Claude Code deletes old transcripts; the served counters do not fall with them.
    const QString cacheReads =
        "quotameter_tokens_total{kind=\"cached_input\",model=\"claude-sonnet-4-5-20250929\","
        "tool=\"claudeCode\"} 1000\n";
    ASSERT_TRUE(get(network, QUrl(base + "/metrics")).second.contains(cacheReads.toUtf8()));
    ASSERT_TRUE(QDir(home.filePath(".claude")).removeRecursively());
    EXPECT_TRUE(get(network, QUrl(base + "/metrics")).second.contains(cacheReads.toUtf8()));
    EXPECT_FALSE(run({}).second.contains("tool=\"claudeCode\""));  // a fresh read has none

    EXPECT_EQ(get(network, QUrl(base + "/")).first, 404);
    EXPECT_EQ(get(network, QUrl(base + "/api/v1/query")).first, 404);
    stop(*exporter);
}

// A page that reaches the exporter through a name of its own (DNS rebinding) gets nothing, and
// clients that connect and say nothing do not keep a scrape out.
TEST_F(MetricsCommandTest, AForeignHostGetsNoMetricsAndSilentClientsKeepNoScrapeOut) {
    auto exporter = startExporter({"--listen", "127.0.0.1:0"});
    ASSERT_NE(exporter->port, 0);
    const QByteArray port = QByteArray::number(exporter->port);
    for (const QByteArray& host : {QByteArray("evil.example"), "evil.example:" + port}) {
        const QByteArray answer =
            exchange(exporter->port, "GET /metrics HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 421 ")) << answer.toStdString();
        EXPECT_FALSE(answer.contains("quotameter_"));
    }

    std::vector<std::unique_ptr<QTcpSocket>> silent;
    for (int i = 0; i < 32; ++i) {
        silent.push_back(std::make_unique<QTcpSocket>());
        silent.back()->connectToHost(QHostAddress::LocalHost, quint16(exporter->port));
        ASSERT_TRUE(silent.back()->waitForConnected(5000));
    }
    QNetworkAccessManager network;
    const auto [status, body] =
        get(network, QUrl(QStringLiteral("http://127.0.0.1:%1/metrics").arg(exporter->port)));
    EXPECT_EQ(status, 200);
    EXPECT_TRUE(body.contains("quotameter_tokens_total{")) << body.toStdString();
    stop(*exporter);
}

// Another process holding the usage index (a long update, or one that hangs) does not fail a
// scrape: it is served, read without the index's lock, and the exporter says so once.
TEST_F(MetricsCommandTest, AScrapeWhileTheIndexIsBusyIsServedAndSaidOnce) {
    auto exporter = startExporter({"--listen", "0"});
    ASSERT_NE(exporter->port, 0);
    QNetworkAccessManager network;
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/metrics").arg(exporter->port));
    const QByteArray expected = get(network, url).second;
    ASSERT_TRUE(expected.contains("quotameter_tokens_total{"));
    {
        const FileLock held = FileLock::acquire(home.filePath(".cache/Quotameter/usage-index.bin"));
        ASSERT_TRUE(held.held());
        for (int i = 0; i < 2; ++i) {
            const auto [status, body] = get(network, url);
            EXPECT_EQ(status, 200);
            EXPECT_EQ(body, expected);
        }
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return exporter->err.contains("usage index is busy"); }))
        << exporter->err.toStdString();
    EXPECT_EQ(get(network, url).first, 200);
    EXPECT_EQ(exporter->err.count("usage index is busy"), 1) << exporter->err.toStdString();
    stop(*exporter);
}

// A real Prometheus server on loopback scrapes the exporter every second; the series comes
// back through its query interface.
TEST_F(MetricsCommandTest, ARealPrometheusScrapesTheExporterAndAnswersAQuery) {
    const QString prometheusPath = QStandardPaths::findExecutable(QStringLiteral("prometheus"));
    if (prometheusPath.isEmpty()) GTEST_SKIP() << "prometheus is not installed";
    auto exporter = startExporter({"--listen", "127.0.0.1:0"});
    ASSERT_NE(exporter->port, 0);
    const QString config =
        home.write("prometheus/prometheus.yml",
                   QStringLiteral("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                  "scrape_configs:\n  - job_name: quotameter\n    static_configs:\n"
                                  "      - targets: ['127.0.0.1:%1']\n")
                       .arg(exporter->port)
                       .toUtf8());
    // Prometheus binds port 0 itself and names the port it got in its log.
    QProcess prometheus;
    prometheus.setProcessChannelMode(QProcess::MergedChannels);
    QByteArray log;
    QObject::connect(&prometheus, &QProcess::readyRead, [&] { log += prometheus.readAll(); });
    prometheus.start(prometheusPath, {"--config.file=" + config,
                                      "--storage.tsdb.path=" + home.filePath("prometheus/data"),
                                      QStringLiteral("--web.listen-address=127.0.0.1:0")});
    ASSERT_TRUE(prometheus.waitForStarted(10000));
    const QRegularExpression listening(R"re(msg="Listening on" address=127\.0\.0\.1:(\d+))re");
    int webPort = 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            webPort = listening.match(QString::fromUtf8(log)).captured(1).toInt();
            return webPort != 0 || prometheus.state() == QProcess::NotRunning;
        },
        60000));
    ASSERT_NE(webPort, 0) << log.toStdString();

    QNetworkAccessManager network;
    QUrl query(QStringLiteral("http://127.0.0.1:%1/api/v1/query").arg(webPort));
    query.setQuery(QStringLiteral(
        "query=quotameter_tokens_total{job=\"quotameter\",tool=\"codex\",kind=\"input\"}"));
    QJsonArray result;
    const bool found = QTest::qWaitFor(
        [&] {
            if (prometheus.state() == QProcess::NotRunning) return true;
            std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(query)));
            if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 5000)) return false;
            result = QJsonDocument::fromJson(reply->readAll())["data"]["result"].toArray();
            if (result.isEmpty()) QTest::qWait(250);
            return !result.isEmpty();
        },
        120000);
    EXPECT_TRUE(found && !result.isEmpty()) << log.toStdString();
    if (!result.isEmpty()) {
        const QJsonObject series = result[0].toObject();
        EXPECT_EQ(series["metric"].toObject()["model"].toString(), "gpt-5");
        EXPECT_EQ(series["value"].toArray()[1].toString(), "900");
    }
    prometheus.terminate();
    EXPECT_TRUE(prometheus.waitForFinished(30000));
    stop(*exporter);
}

}  // namespace
}  // namespace qm
