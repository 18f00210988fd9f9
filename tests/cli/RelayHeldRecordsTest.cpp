#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <memory>
#include <set>
#include <vector>

#include "history/UsageHistoryReader.h"
#include "relay/RelayPresence.h"
#include "support/CliEnvironment.h"
#include "support/FakeGeminiUpstream.h"
#include "support/TempDir.h"

namespace qm {
namespace {

// `quotameter-cli relay` while its history cannot be written (the history's lock is a folder,
// so no write can take it): what it holds meanwhile, and what it says when stopped.
class RelayHeldRecordsTest : public ::testing::Test {
protected:
    void SetUp() override {
        upstream.setHandler([](const test::FakeGeminiRequest&) {
            test::FakeGeminiResponse response;
            response.body = test::FakeGeminiUpstream::answerJson(1200, 300);
            return response;
        });
        ASSERT_TRUE(upstream.listen());
        const test::CliRun added =
            test::runCli(test::cliEnvironment(home.path()),
                         {"accounts", "add", "gemini", "--alias", "work"}, "WORK-KEY\n");
        ASSERT_EQ(added.exitCode, 0) << added.err.toStdString();
    }

    QString historyPath() const {
        return UsageHistoryFileStore::pathIn(home.filePath(".local/share/Quotameter"));
    }
    QString lockPath() const { return historyPath() + ".lock"; }
    void blockSaving() const {
        QFile::remove(lockPath());
        ASSERT_TRUE(QDir().mkdir(lockPath()));
    }
    void allowSaving() const { ASSERT_TRUE(QDir().rmdir(lockPath())); }

    void startRelay() {
        relay.setProcessEnvironment(test::cliEnvironment(home.path()));
        QObject::connect(&relay, &QProcess::readyReadStandardOutput,
                         [this] { out += relay.readAllStandardOutput(); });
        QObject::connect(&relay, &QProcess::readyReadStandardError,
                         [this] { err += relay.readAllStandardError(); });
        relay.start(QStringLiteral(QM_CLI_PATH),
                    {"relay", "--port", "0", "--upstream", upstream.baseUrl()});
        static const QRegularExpression listening(
            QStringLiteral("Relay listening on http://127.0.0.1:(\\d+) "));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                port = listening.match(QString::fromUtf8(out)).captured(1).toInt();
                return port != 0;
            },
            30000))
            << out.toStdString() << err.toStdString();
    }

    // Makes `count` calls through the relay, several at a time; how many were answered 200.
    int callMany(int count) {
        std::vector<std::unique_ptr<QNetworkReply>> replies;
        for (int i = 0; i < count; ++i) {
            QNetworkRequest request(QUrl(
                QStringLiteral("http://127.0.0.1:%1/v1beta/models/gemini-2.5-flash:generateContent")
                    .arg(port)));
            request.setRawHeader("x-goog-api-key", "quotameter-work");
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
            replies.emplace_back(network.post(request, QByteArray(R"({"contents":[]})")));
        }
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return std::ranges::all_of(replies, [](const auto& r) { return r->isFinished(); });
            },
            300000));
        return int(std::ranges::count_if(replies, [](const auto& reply) {
            return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
        }));
    }
    int notSaved() const { return int(out.count("  not saved")); }

    test::TempDir home;
    test::FakeGeminiUpstream upstream;
    QNetworkAccessManager network;
    QProcess relay;
    QByteArray out;
    QByteArray err;
    int port = 0;
};

// Thousands of calls while nothing can be written are held and all saved once writing works
// again; a stop while it still does not names how many are lost and ends with status 1.
TEST_F(RelayHeldRecordsTest, HeldCallsAreSavedWhenPossibleAndAStopNamesThoseLost) {
    startRelay();
    ASSERT_EQ(callMany(1), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return out.contains("  200  in "); }, 20000));

    constexpr int kHeld = 2000;
    blockSaving();
    ASSERT_EQ(callMany(kHeld), kHeld);
    ASSERT_TRUE(QTest::qWaitFor([&] { return notSaved() == kHeld; }, 30000)) << notSaved() << "\n"
                                                                             << err.toStdString();
    allowSaving();
    ASSERT_TRUE(QTest::qWaitFor([&] { return err.contains("usage is saved again"); }, 60000))
        << err.toStdString();

    constexpr int kLost = 300;
    blockSaving();
    ASSERT_EQ(callMany(kLost), kLost);
    ASSERT_TRUE(QTest::qWaitFor([&] { return notSaved() == kHeld + kLost; }, 30000));
    relay.terminate();
    ASSERT_TRUE(QTest::qWaitFor([&] { return relay.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(relay.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(relay.exitCode(), 1);
    err += relay.readAllStandardError();
    EXPECT_TRUE(err.contains("quotameter-cli: 300 metered records could not be saved and are lost"))
        << err.toStdString();

    // Every call saved before the stop is on disk once.
    allowSaving();
    const UsageHistoryReader history =
        UsageHistoryReader::read(historyPath(), QDateTime::currentMSecsSinceEpoch());
    EXPECT_EQ(history.geminiUsageRecords().size(), std::size_t(1 + kHeld));
}

// A relay that `quotameter-cli relay` runs is known to the other processes on its data folder
// (the app's relay window shows it) with its port and its count, and is gone once it stops.
TEST_F(RelayHeldRecordsTest, ARunningRelayIsKnownToTheOtherProcesses) {
    const QString folder = RelayPresence::folderIn(home.filePath(".local/share/Quotameter"));
    startRelay();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !RelayPresence::others(folder).empty(); }, 10000));
    EXPECT_EQ(RelayPresence::others(folder).front().port, port);
    EXPECT_EQ(RelayPresence::others(folder).front().pid, relay.processId());
    ASSERT_EQ(callMany(3), 3);
    // The count follows within the two seconds a busy relay waits between writes.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const auto runs = RelayPresence::others(folder);
            return !runs.empty() && runs.front().requests == 3;
        },
        10000));
    relay.terminate();
    ASSERT_TRUE(QTest::qWaitFor([&] { return relay.state() == QProcess::NotRunning; }, 60000));
    EXPECT_TRUE(RelayPresence::others(folder).empty());
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files).isEmpty());
}

}  // namespace
}  // namespace qm
