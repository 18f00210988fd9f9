#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTest>

#include "history/UsageHistoryStore.h"
#include "support/FakeGeminiUpstream.h"
#include "support/TempDir.h"

namespace qm {
namespace {

using test::FakeGeminiResponse;
using test::FakeGeminiUpstream;

struct Finished {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

class CliTest : public ::testing::Test {
protected:
    QString dataDir() const { return home.filePath(".local/share/Quotameter"); }
    QString historyPath() const { return UsageHistoryFileStore::pathIn(dataDir()); }

    void prepare(QProcess& process, const QStringList& args) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_DATA_HOME", home.filePath(".local/share"));
        env.insert("ASAN_OPTIONS", "detect_leaks=0");
        process.setProcessEnvironment(env);
        process.setProgram(QStringLiteral(QM_CLI_PATH));
        process.setArguments(args);
    }

    Finished run(const QStringList& args, const QByteArray& input = {}) const {
        QProcess process;
        prepare(process, args);
        process.start();
        process.write(input);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(30000)) << args.join(' ').toStdString();
        return {process.exitCode(), process.readAllStandardOutput(),
                process.readAllStandardError()};
    }

    test::TempDir home;
};

TEST_F(CliTest, HistoryPrintsTotalsAndDaysAndNeverWrites) {
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    UsageHistoryData data;
    data.geminiRecords = {
        {now - 1, "g1", "gemini-2.5-flash", 100, 50, 0, 0, 0, 0.00125, 300, "relay", std::nullopt},
        {now, "g1", "gemini-2.5-flash", 100, 50, 0, 0, 0, 0.00175, 300, "relay", std::nullopt}};
    data.apiRecords = {{now, "anthropic", "a1", "claude-x", 1000, 200, 30, 0.5}};
    ASSERT_EQ(UsageHistoryFileStore(historyPath()).save(data), std::nullopt);
    const QByteArray before = test::readAll(historyPath());

    const Finished text = run({"history"});
    EXPECT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.contains("Gemini relay: 2 records, $0.0030 total"))
        << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("API: $0.5000 total")) << text.out.toStdString();

    const Finished json = run({"history", "--json"});
    ASSERT_EQ(json.exitCode, 0);
    const QJsonObject root = QJsonDocument::fromJson(json.out).object();
    EXPECT_EQ(root["gemini"]["totalText"].toString(), "$0.0030 total");
    EXPECT_EQ(root["gemini"]["daily"].toArray().size(), 1);  // both within one local day
    const QJsonObject firstApiDay = root["api"]["daily"].toArray()[0].toObject();
    EXPECT_EQ(firstApiDay["providers"].toObject()["Anthropic"].toDouble(), 0.5);
    EXPECT_EQ(test::readAll(historyPath()), before);

    // A file that is not a history is reported, not replaced.
    home.write(".local/share/Quotameter/usage-history.json", "{not json");
    const Finished broken = run({"history"});
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_TRUE(broken.err.contains("could not be read")) << broken.err.toStdString();
    EXPECT_EQ(test::readAll(historyPath()), "{not json");
}

TEST_F(CliTest, RelayServesMetersAndStopsCleanlyOnSigterm) {
    FakeGeminiUpstream upstream([](const test::FakeGeminiRequest& request) {
        FakeGeminiResponse response;
        response.body = FakeGeminiUpstream::answerJson(1200, 300);
        // A cut answer leaves an error in the relay; stopping afterwards is still clean.
        if (request.path.endsWith(QLatin1String(":countTokens")))
            response.mode = FakeGeminiResponse::Mode::CloseEarly;
        return response;
    });
    ASSERT_TRUE(upstream.listen());

    const Finished added = run({"accounts", "add", "gemini", "--alias", "work"}, "REAL-KEY\n");
    ASSERT_EQ(added.exitCode, 0) << added.err.toStdString();

    int port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    QProcess relay;
    prepare(relay, {"relay", "--port", QString::number(port), "--upstream", upstream.baseUrl()});
    QByteArray out;
    QObject::connect(&relay, &QProcess::readyReadStandardOutput,
                     [&] { out += relay.readAllStandardOutput(); });
    relay.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return out.contains("Relay listening"); }, 20000))
        << out.toStdString() << relay.readAllStandardError().toStdString();

    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/v1beta/models/"
                                                "gemini-2.5-flash:generateContent")
                                     .arg(port)));
    request.setRawHeader("x-goog-api-key", "quotameter-work");
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    std::unique_ptr<QNetworkReply> reply(network.post(request, QByteArray(R"({"contents":[]})")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return reply->isFinished(); }, 20000));
    EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    ASSERT_EQ(upstream.requestCount(), 1);
    EXPECT_EQ(upstream.requests()[0].query.queryItemValue("key"), "REAL-KEY");

    ASSERT_TRUE(QTest::qWaitFor([&] { return out.contains("  200  in 1.2k out 300"); }, 10000))
        << out.toStdString();
    QNetworkRequest failing(QUrl(QStringLiteral("http://127.0.0.1:%1/v1beta/models/"
                                                "gemini-2.5-flash:countTokens")
                                     .arg(port)));
    failing.setRawHeader("x-goog-api-key", "quotameter-work");
    std::unique_ptr<QNetworkReply> failed(network.post(failing, QByteArray("{}")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return out.contains("  502"); }, 20000)) << out.toStdString();
    relay.terminate();
    ASSERT_TRUE(relay.waitForFinished(20000));
    EXPECT_EQ(relay.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(relay.exitCode(), 0) << relay.readAllStandardError().toStdString();

    const auto saved = UsageHistoryFileStore(historyPath()).load();
    ASSERT_EQ(saved.state, UsageHistoryFileStore::LoadState::Loaded);
    ASSERT_EQ(saved.data.geminiRecords.size(), 1u);
    EXPECT_EQ(saved.data.geminiRecords[0].inputTokens, 1200);
    EXPECT_FALSE(QFile::exists(historyPath() + ".tmp"));

    // A port that is taken ends the relay with the system's reason.
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    const Finished refused = run({"relay", "--port", QString::number(taken.serverPort())});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_FALSE(refused.err.isEmpty());
}

}  // namespace
}  // namespace qm

namespace qm {
namespace {

TEST_F(CliTest, BudgetsShowTodaysAndThisMonthsSpendAgainstEachBudget) {
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    home.write(".local/share/Quotameter/config.json", R"({"geminiAccounts": [
        {"id": "g1", "alias": "team", "dailyBudgetUsd": 2, "monthlyBudgetUsd": 0,
         "alertThresholdPct": 75}]})");
    UsageHistoryData data;
    data.geminiRecords = {
        {now, "g1", "gemini-2.5-pro", 100, 50, 0, 0, 0, 1.5, 300, "relay", std::nullopt},
        {now, "other", "gemini-2.5-pro", 100, 50, 0, 0, 0, 9, 300, "relay", std::nullopt}};
    ASSERT_EQ(UsageHistoryFileStore(historyPath()).save(data), std::nullopt);

    const Finished text = run({"budgets"});
    ASSERT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.contains("Gemini team (g1)")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("today       $1.50 of $2.00 (75%)")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("this month  $1.50 (no budget)")) << text.out.toStdString();

    const Finished json = run({"budgets", "--json"});
    ASSERT_EQ(json.exitCode, 0);
    const QJsonObject account =
        QJsonDocument::fromJson(json.out).object()["accounts"].toArray()[0].toObject();
    EXPECT_EQ(account["dailySharePct"].toDouble(), 75);
    EXPECT_TRUE(account["monthlySharePct"].isNull());

    home.write(".local/share/Quotameter/config.json", "{not json");
    EXPECT_EQ(run({"budgets"}).exitCode, 1);
}

}  // namespace
}  // namespace qm
