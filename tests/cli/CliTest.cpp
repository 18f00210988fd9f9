#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <QUuid>

#include "history/UsageHistoryStore.h"
#include "support/CliEnvironment.h"
#include "support/FakeGeminiUpstream.h"
#include "support/FakeProviderServer.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm {
namespace {

using test::FakeGeminiResponse;
using test::FakeGeminiUpstream;

using Finished = test::CliRun;

// A pseudo-terminal that a child process reads as its standard input, as when a user runs the
// command in a shell and types at it.
class Terminal {
public:
    Terminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        if (const char* name = ::ptsname(master_)) {
            // Never this process's controlling terminal, and no other child's input.
            slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        }
    }
    ~Terminal() {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool isOpen() const { return master_ >= 0 && slave_ >= 0; }

    // `process`, once started, reads this terminal as its standard input.
    void attach(QProcess& process) const {
        const int slave = slave_;
        process.setChildProcessModifier([slave] {
            if (::dup2(slave, STDIN_FILENO) < 0) ::_exit(127);
        });
    }

    // The user types `line`, Return, then Ctrl-D to end the input.
    bool typeLineAndEnd(const QString& line) const {
        const QByteArray keys = line.toUtf8() + "\n\x04";
        return ::write(master_, keys.constData(), size_t(keys.size())) == keys.size();
    }

private:
    int master_ = -1;
    int slave_ = -1;
};

class CliTest : public ::testing::Test {
protected:
    QString dataDir() const { return home.filePath(".local/share/Quotameter"); }
    QString historyPath() const { return UsageHistoryFileStore::pathIn(dataDir()); }

    void prepare(QProcess& process, const QStringList& args) const {
        QProcessEnvironment env = qm::test::cliEnvironment(home.path());
        process.setProcessEnvironment(env);
        process.setProgram(QStringLiteral(QM_CLI_PATH));
        process.setArguments(args);
    }

    Finished run(const QStringList& args, const QByteArray& input = {}) const {
        return test::runCli(test::cliEnvironment(home.path()), args, input);
    }
    // Runs the tool while this thread's event loop keeps serving the fakes it talks to.
    Finished runServed(const QStringList& args, const QByteArray& input = {}) const {
        return test::runCli(test::cliEnvironment(home.path()), args, input, true);
    }

    // The port a relay started with `--port 0` names in its listening line; 0 when none yet.
    static int announcedPort(const QByteArray& out) {
        static const QRegularExpression line(
            QStringLiteral("Relay listening on http://127.0.0.1:(\\d+) "));
        const QRegularExpressionMatch match = line.match(QString::fromUtf8(out));
        return match.hasMatch() ? match.captured(1).toInt() : 0;
    }

    // A `relay` process and what it printed so far.
    struct Relay {
        std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
        QByteArray out;
        int port = 0;
        int metered() const { return int(out.count("  200  in ")); }
    };
    std::unique_ptr<Relay> startRelay(const QString& upstream) const {
        auto relay = std::make_unique<Relay>();
        prepare(*relay->process, {"relay", "--port", "0", "--upstream", upstream});
        QObject::connect(relay->process.get(), &QProcess::readyReadStandardOutput,
                         [r = relay.get()] { r->out += r->process->readAllStandardOutput(); });
        relay->process->start();
        EXPECT_TRUE(QTest::qWaitFor([&] { return relay->out.contains("Relay listening"); }, 30000))
            << relay->out.toStdString() << relay->process->readAllStandardError().toStdString();
        relay->port = announcedPort(relay->out);
        EXPECT_NE(relay->port, 0) << relay->out.toStdString();
        return relay;
    }
    // Sends one request through the relay; the answer's status, 0 when none came.
    static int call(QNetworkAccessManager& network, int port, const QByteArray& key,
                    const QString& method = QStringLiteral("gemini-2.5-flash:generateContent")) {
        QNetworkRequest request(
            QUrl(QStringLiteral("http://127.0.0.1:%1/v1beta/models/%2").arg(port).arg(method)));
        request.setRawHeader("x-goog-api-key", key);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        std::unique_ptr<QNetworkReply> reply(
            network.post(request, QByteArray(R"({"contents":[]})")));
        if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 20000)) return 0;
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }
    static void stop(Relay& relay) {
        relay.process->terminate();
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return relay.process->state() == QProcess::NotRunning; }, 30000));
        EXPECT_EQ(relay.process->exitCode(), 0);
    }
    UsageHistoryData savedHistory() const {
        return UsageHistoryFileStore(historyPath()).load().data;
    }
    static std::unique_ptr<FakeGeminiUpstream> upstreamAnswering() {
        auto upstream = std::make_unique<FakeGeminiUpstream>([](const test::FakeGeminiRequest&) {
            FakeGeminiResponse response;
            response.body = FakeGeminiUpstream::answerJson(1200, 300);
            return response;
        });
        EXPECT_TRUE(upstream->listen());
        return upstream;
    }
    // A history large enough that rewriting it takes a while.
    void saveLargeHistory(int records) const {
        UsageHistoryData big;
        const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
        for (int i = 0; i < records; ++i) {
            big.geminiRecords.push_back({now - 86'400'000 + i, "old", "gemini-2.5-flash", 100, 50,
                                         0, 0, 0, 0.001, 300, "relay", std::nullopt});
        }
        ASSERT_EQ(UsageHistoryFileStore(historyPath()).save(big), std::nullopt);
    }
    static QString addedId(const Finished& added) {
        const QByteArray line = added.out.trimmed();
        return QString::fromUtf8(line.mid(line.lastIndexOf('(') + 1).chopped(1));
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
    auto relay = startRelay(upstream.baseUrl());
    QNetworkAccessManager network;
    EXPECT_EQ(call(network, relay->port, "quotameter-work"), 200);
    ASSERT_EQ(upstream.requestCount(), 1);
    EXPECT_EQ(upstream.requests()[0].query.queryItemValue("key"), "REAL-KEY");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return relay->out.contains("  200  in 1.2k out 300"); }, 20000))
        << relay->out.toStdString();
    call(network, relay->port, "quotameter-work", "gemini-2.5-flash:countTokens");
    ASSERT_TRUE(QTest::qWaitFor([&] { return relay->out.contains("  502"); }, 20000))
        << relay->out.toStdString();
    // A model without a price is metered, and its line says so rather than "$0".
    call(network, relay->port, "quotameter-work", "gemini-9-zeta:generateContent");
    ASSERT_TRUE(QTest::qWaitFor([&] { return relay->out.contains("out 300  unpriced"); }, 20000))
        << relay->out.toStdString();
    stop(*relay);
    EXPECT_EQ(relay->process->exitStatus(), QProcess::NormalExit);

    const auto saved = UsageHistoryFileStore(historyPath()).load();
    ASSERT_EQ(saved.state, UsageHistoryFileStore::LoadState::Loaded);
    ASSERT_EQ(saved.data.geminiRecords.size(), 2u);
    EXPECT_EQ(saved.data.geminiRecords[0].inputTokens, 1200);
    EXPECT_EQ(QDir(dataDir()).entryList({"*.tmp*"}), QStringList());

    // A port that is taken ends the relay with the system's reason.
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    const Finished refused = run({"relay", "--port", QString::number(taken.serverPort())});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_FALSE(refused.err.isEmpty());
}

TEST_F(CliTest, UsageShowsClaudeCodeAsAFourthToolAndKeepsTheTitle) {
    test::writeSampleHome(home.path());
    const Finished text = run({"usage"});
    ASSERT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.startsWith("Codex 3 Grok 1 Gemini 2\n")) << text.out.toStdString();
    // The activity alone: the level behind a card's colour is the JSON's.
    EXPECT_TRUE(text.out.contains("\nClaude Code: Active, not signed in\n"))
        << text.out.toStdString();
    EXPECT_FALSE(
        QString::fromUtf8(text.out).contains(QRegularExpression(R"(: (Active|Recent|Idle) \()")))
        << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("last 5 hours: 2 prompts, 1.4k tokens, 1 session"));
    EXPECT_TRUE(text.out.contains("source: Local transcripts ("));
    EXPECT_TRUE(text.out.contains("cache: 1.0k read, 200 written"));

    const Finished json = run({"usage", "--json"});
    ASSERT_EQ(json.exitCode, 0);
    const QJsonObject root = QJsonDocument::fromJson(json.out).object();
    EXPECT_EQ(root["title"].toString(), "Codex 3 Grok 1 Gemini 2");
    const QJsonArray providers = root["providers"].toArray();
    ASSERT_EQ(providers.size(), 4);
    const QJsonObject claudeCode = providers[3].toObject();
    EXPECT_EQ(claudeCode["kind"].toString(), "claudeCode");
    EXPECT_EQ(claudeCode["totalCacheWriteTokens"].toInteger(), 200);
    EXPECT_EQ(claudeCode["lastFiveHourTokens"].toInteger(), 1350);
    EXPECT_EQ(claudeCode["statusText"].toString(), "Active");
    EXPECT_TRUE(claudeCode.contains("statusLevel"));
}

TEST_F(CliTest, TitleAndUsageSetUpTheDataFolderAsTheApplicationDoes) {
    home.write(".local/share/ClaudeQuotameter/config.json", "{}");
    EXPECT_EQ(run({"title"}).exitCode, 0);
    EXPECT_EQ(test::readAll(dataDir() + "/config.json"), "{}");
    QDir(dataDir()).removeRecursively();
    EXPECT_EQ(run({"usage", "--json"}).exitCode, 0);
    EXPECT_TRUE(QFileInfo::exists(dataDir() + "/config.json"));
}

TEST_F(CliTest, AnAccountWhoseKeyIsMissingSaysSo) {
    home.write(".local/share/Quotameter/config.json",
               R"({"geminiAccounts": [{"id": "no-such-key-)" +
                   QUuid::createUuid().toString(QUuid::Id128).toUtf8() +
                   R"(", "alias": "lost"}]})");
    const Finished list = run({"accounts", "list", "--provider", "gemini"});
    ASSERT_EQ(list.exitCode, 0) << list.err.toStdString();
    EXPECT_TRUE(list.out.contains("lost")) << list.out.toStdString();
    EXPECT_TRUE(list.out.contains("No key stored")) << list.out.toStdString();
}

// A missing config.json is no reason to delete keys: they are listed as without an account,
// and a prune refuses until the accounts are known again.
TEST_F(CliTest, KeysOutliveAMissingConfigAndAPruneRefuses) {
    const Finished added = run({"accounts", "add", "gemini", "--alias", "kept"}, "KEPT-KEY\n");
    ASSERT_EQ(added.exitCode, 0) << added.err.toStdString();
    const QString id = addedId(added);
    ASSERT_TRUE(QFile::remove(QDir(dataDir()).filePath("config.json")));
    const Finished listed = run({"accounts", "list"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(listed.out.contains("Keys without an account")) << listed.out.toStdString();
    EXPECT_TRUE(listed.out.contains(id.toUtf8()));
    const Finished pruned = run({"accounts", "prune"});
    EXPECT_EQ(pruned.exitCode, 1);
    EXPECT_TRUE(pruned.err.contains("is missing")) << pruned.err.toStdString();
    // The key is still there: an account restored with that id works again.
    EXPECT_TRUE(run({"accounts", "list"}).out.contains(id.toUtf8()));
}

TEST_F(CliTest, ConcurrentAccountAddsAllKeepTheirAccountsAndKeys) {
    constexpr int kCount = 16;
    std::vector<std::unique_ptr<Terminal>> terminals;
    std::vector<std::unique_ptr<QProcess>> adds;
    for (int i = 0; i < kCount; ++i) {
        terminals.push_back(std::make_unique<Terminal>());
        ASSERT_TRUE(terminals.back()->isOpen()) << "no pseudo-terminal: " << std::strerror(errno);
        adds.push_back(std::make_unique<QProcess>());
        prepare(*adds.back(),
                {"accounts", "add", "gemini", "--alias", QStringLiteral("acct%1").arg(i)});
        terminals.back()->attach(*adds.back());
    }
    // Each reads its key first and only then the files, and asks for the key on a terminal.
    // Once every one has asked, every key is typed at once: they all load, change and save
    // config.json at the same moment.
    for (auto& add : adds) add->start();
    for (auto& add : adds)
        ASSERT_TRUE(add->waitForStarted(10000)) << add->errorString().toStdString();
    std::vector<QByteArray> errors(kCount);
    // The first that has not asked for its key yet, or -1.
    const auto firstSilent = [&] {
        int silent = -1;
        for (int i = kCount - 1; i >= 0; --i) {
            errors[i] += adds[i]->readAllStandardError();
            if (!errors[i].contains("Enter the API key")) silent = i;
        }
        return silent;
    };
    const auto askedOrGone = [&] {
        const bool gone = std::any_of(adds.begin(), adds.end(), [](const auto& add) {
            return add->state() == QProcess::NotRunning;
        });
        return firstSilent() < 0 || gone;
    };
    // Whether they all asked is told below, naming the first that did not.
    static_cast<void>(QTest::qWaitFor(askedOrGone, 60000));
    const int silent = firstSilent();
    ASSERT_LT(silent, 0) << "add " << silent << " never asked for its key: "
                         << errors[std::max(silent, 0)].toStdString();
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(terminals[i]->typeLineAndEnd(QStringLiteral("KEY-%1-0123456789").arg(i)))
            << "typing on terminal " << i << ": " << std::strerror(errno);
    }
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(adds[i]->waitForFinished(60000)) << "add " << i << " never ended";
        errors[i] += adds[i]->readAllStandardError();
        EXPECT_EQ(adds[i]->exitCode(), 0) << errors[i].toStdString();
    }
    const Finished list = run({"accounts", "list", "--provider", "gemini"});
    ASSERT_EQ(list.exitCode, 0) << list.err.toStdString();
    for (int i = 0; i < kCount; ++i)
        EXPECT_TRUE(list.out.contains(QStringLiteral("acct%1").arg(i).toUtf8()))
            << "account acct" << i << " was lost:\n"
            << list.out.toStdString();
    EXPECT_FALSE(list.out.contains("No key stored")) << list.out.toStdString();
    EXPECT_EQ(QDir(dataDir()).entryList({"*.tmp*"}), QStringList()) << "temporary files were left";
}

TEST_F(CliTest, ARelayAndOtherCommandsShareTheFilesWithoutLosingAnything) {
    const auto upstream = upstreamAnswering();
    const auto provider =
        test::FakeProviderServer::playing(test::FakeProvider::anthropic, "sk-ant-admin-good");
    const Finished work = run({"accounts", "add", "gemini", "--alias", "work"}, "WORK-KEY\n");
    ASSERT_EQ(work.exitCode, 0) << work.err.toStdString();
    const Finished admin =
        run({"accounts", "add", "anthropic", "--alias", "admin"}, "sk-ant-admin-good\n");
    ASSERT_EQ(admin.exitCode, 0) << admin.err.toStdString();

    // Two relays on one data folder, and usage reports fetched while they serve.
    auto first = startRelay(upstream->baseUrl());
    auto second = startRelay(upstream->baseUrl());
    QNetworkAccessManager network;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(call(network, first->port, "quotameter-work"), 200);
        EXPECT_EQ(call(network, second->port, "quotameter-work"), 200);
        const Finished usage = runServed(
            {"accounts", "usage", "anthropic", addedId(admin), "--base-url", provider->baseUrl()});
        EXPECT_EQ(usage.exitCode, 0) << usage.err.toStdString() << usage.out.toStdString();
    }
    // What a start reads now, while both relays still run, holds every record of each.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return first->metered() == 3 && second->metered() == 3; }, 10000));
    {
        const UsageHistoryStore meanwhile{UsageHistoryFileStore(historyPath())};
        EXPECT_EQ(meanwhile.geminiUsageRecords().size(), 6u);
        EXPECT_EQ(meanwhile.apiUsageRecords().size(), 3u);
    }
    // An account added while the relays run is served at once.
    const Finished late = run({"accounts", "add", "gemini", "--alias", "late"}, "LATE-KEY\n");
    ASSERT_EQ(late.exitCode, 0);
    EXPECT_EQ(call(network, first->port, "quotameter-late"), 200);
    EXPECT_EQ(upstream->requests().back().query.queryItemValue("key"), "LATE-KEY");

    ASSERT_TRUE(
        QTest::qWaitFor([&] { return first->metered() == 4 && second->metered() == 3; }, 10000));
    stop(*first);
    stop(*second);
    const UsageHistoryData saved = savedHistory();
    EXPECT_EQ(saved.geminiRecords.size(), 7u);
    EXPECT_EQ(saved.apiRecords.size(), 3u);  // one model per report, three reports
}

TEST_F(CliTest, EveryRecordARelayPrintedSurvivesAKill) {
    const auto upstream = upstreamAnswering();
    ASSERT_EQ(run({"accounts", "add", "gemini", "--alias", "work"}, "WORK-KEY\n").exitCode, 0);
    // A kill lands during the rewrite that follows a record, where a record only in memory
    // would be lost.
    constexpr int kPreloaded = 20000;
    saveLargeHistory(kPreloaded);
    QNetworkAccessManager network;
    int printed = 0;
    int answered = 0;
    // Bounded: a few kills, right after the relay printed its last record (while its save
    // would still be under way) or right after the answer, before it printed.
    for (int round = 0; round < 6; ++round) {
        auto relay = startRelay(upstream->baseUrl());
        const int calls = 2 + round;
        for (int i = 0; i < calls; ++i)
            if (call(network, relay->port, "quotameter-work") == 200) ++answered;
        if (round % 2 == 0) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return relay->metered() == calls; }, 5000));
        }
        relay->process->kill();
        ASSERT_TRUE(relay->process->waitForFinished(10000));
        relay->out += relay->process->readAllStandardOutput();
        printed += relay->metered();
    }
    EXPECT_GT(printed, 0);
    // Read as the next start reads it: the file and the journal beside it.
    UsageHistoryStore history{UsageHistoryFileStore(historyPath())};
    const int kept = int(history.geminiUsageRecords().size()) - kPreloaded;
    EXPECT_GE(kept, printed);
    EXPECT_LE(kept, answered);
}

// While the history cannot be written (here: its lock is a folder), the relay says so at
// once, keeps serving, prints no call as metered, and saves the held records later.
TEST_F(CliTest, ARelayThatCannotSaveSaysSoAndSavesTheCallsLater) {
    const auto upstream = upstreamAnswering();
    ASSERT_EQ(run({"accounts", "add", "gemini", "--alias", "work"}, "WORK-KEY\n").exitCode, 0);
    auto relay = startRelay(upstream->baseUrl());
    QByteArray err;
    QObject::connect(relay->process.get(), &QProcess::readyReadStandardError,
                     [&] { err += relay->process->readAllStandardError(); });
    QNetworkAccessManager network;
    ASSERT_EQ(call(network, relay->port, "quotameter-work"), 200);
    ASSERT_TRUE(QTest::qWaitFor([&] { return relay->metered() == 1; }, 5000));

    const QString lock = historyPath() + ".lock";
    ASSERT_TRUE(QFile::remove(lock));
    ASSERT_TRUE(QDir().mkdir(lock));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(call(network, relay->port, "quotameter-work"), 200);
    ASSERT_TRUE(QTest::qWaitFor([&] { return relay->out.count("  not saved") == 5; }, 5000))
        << relay->out.toStdString();
    EXPECT_EQ(relay->metered(), 1);
    EXPECT_TRUE(err.contains("Usage could not be saved: ")) << err.toStdString();

    ASSERT_TRUE(QDir().rmdir(lock));
    ASSERT_TRUE(QTest::qWaitFor([&] { return err.contains("usage is saved again"); }, 20000))
        << err.toStdString();
    // Saved in the journal: even a kill now keeps them.
    relay->process->kill();
    ASSERT_TRUE(relay->process->waitForFinished(10000));
    UsageHistoryStore history{UsageHistoryFileStore(historyPath())};
    EXPECT_EQ(history.geminiUsageRecords().size(), 6u);
}

// `timeout`, service managers and an impatient Ctrl-C send more stop signals while the relay
// folds its journal into the history file; the fold is never cut short.
TEST_F(CliTest, MoreStopSignalsDuringShutdownStillLeaveTheJournalFolded) {
    const auto upstream = upstreamAnswering();
    ASSERT_EQ(run({"accounts", "add", "gemini", "--alias", "work"}, "WORK-KEY\n").exitCode, 0);
    saveLargeHistory(20000);  // the fold takes a while
    auto relay = startRelay(upstream->baseUrl());
    QNetworkAccessManager network;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(call(network, relay->port, "quotameter-work"), 200);
    ASSERT_TRUE(QTest::qWaitFor([&] { return relay->metered() == 3; }, 5000));

    const pid_t pid = pid_t(relay->process->processId());
    for (int i = 0; i < 2000 && relay->process->state() != QProcess::NotRunning; ++i) {
        ::kill(pid, i % 2 ? SIGINT : SIGTERM);
        relay->process->waitForFinished(2);
    }
    ASSERT_TRUE(relay->process->state() == QProcess::NotRunning ||
                relay->process->waitForFinished(20000));
    EXPECT_EQ(relay->process->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(UsageHistoryFileStore(historyPath()).load().data.geminiRecords.size(), 20003u);
}

TEST_F(CliTest, BudgetsShowTodaysAndThisMonthsSpendAgainstEachBudget) {
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    home.write(".local/share/Quotameter/config.json", R"({"geminiAccounts": [
        {"id": "g1", "alias": "team", "dailyBudgetUsd": 2, "monthlyBudgetUsd": 0,
         "alertThresholdPct": 75}]})");
    UsageHistoryData data;
    data.geminiRecords = {
        {now, "g1", "gemini-2.5-pro", 100, 50, 0, 0, 0, 1.959, 300, "relay", std::nullopt},
        {now, "other", "gemini-2.5-pro", 100, 50, 0, 0, 0, 9, 300, "relay", std::nullopt}};
    ASSERT_EQ(UsageHistoryFileStore(historyPath()).save(data), std::nullopt);

    // 97.95% reads 97%, as the budget alert says it: no text claims a share not yet reached.
    const Finished text = run({"budgets"});
    ASSERT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.contains("Gemini team (g1)")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("today       $1.96 of $2.00 (97%)")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("this month  $1.96 (no budget)")) << text.out.toStdString();

    const Finished json = run({"budgets", "--json"});
    ASSERT_EQ(json.exitCode, 0);
    const QJsonObject account =
        QJsonDocument::fromJson(json.out).object()["accounts"].toArray()[0].toObject();
    EXPECT_NEAR(account["dailySharePct"].toDouble(), 97.95, 1e-9);
    EXPECT_TRUE(account["monthlySharePct"].isNull());

    home.write(".local/share/Quotameter/config.json", "{not json");
    EXPECT_EQ(run({"budgets"}).exitCode, 1);
}

// Commands that only read leave a history they cannot decode as it is, beside nothing new:
// setting it aside is for the process that records usage.
TEST_F(CliTest, ReadingCommandsLeaveAnUndecodableHistoryAlone) {
    home.write(".local/share/Quotameter/usage-history.json", "{broken");
    const QStringList before = QDir(dataDir()).entryList(QDir::Files | QDir::Hidden);
    for (const QStringList& args :
         {QStringList{"history"}, QStringList{"title", "--json"}, QStringList{"budgets"},
          QStringList{"limits", "--json"}, QStringList{"statusline"}, QStringList{"usage"}}) {
        run(args, R"({"session_id":"s","model":{"display_name":"Opus"}})");
        EXPECT_EQ(QDir(dataDir()).entryList(QDir::Files | QDir::Hidden), before)
            << args.join(' ').toStdString();
        QFile file(historyPath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), "{broken") << args.join(' ').toStdString();
    }
}

TEST_F(CliTest, PricesShowTheRowsInEffectAndAnUpdateReplacesThem) {
    // The built-in row of a model, as the list in effect has it.
    const Finished shown = run({"prices", "--json", "claude-opus-4-5-20251101"});
    ASSERT_EQ(shown.exitCode, 0) << shown.err.toStdString();
    const QJsonObject row =
        QJsonDocument::fromJson(shown.out).object().value("rows").toArray().first().toObject();
    EXPECT_EQ(row.value("model").toString(), "claude-opus-4-5-20251101");
    EXPECT_EQ(row.value("provider").toString(), "anthropic");
    EXPECT_EQ(row.value("inputPerMTok").toDouble(), 5.0);
    EXPECT_EQ(row.value("outputPerMTok").toDouble(), 25.0);
    EXPECT_EQ(row.value("cacheReadPerMTok").toDouble(), 0.5);
    EXPECT_EQ(row.value("cacheWritePerMTok").toDouble(), 6.25);
    EXPECT_EQ(row.value("source").toString(), "bundled 2026-07-24");
    EXPECT_EQ(run({"prices", "claude-2.1"}).exitCode, 1);

    // From a local server; then a truncated file is refused and changes nothing.
    test::FakeProviderServer server;
    ASSERT_TRUE(server.listen());
    server.route("/list.json", test::FakeProviderResponse::json(200, R"({"claude-opus-4-5": {
        "litellm_provider": "anthropic", "input_cost_per_token": 4e-06,
        "output_cost_per_token": 2e-05}})"));
    // One model where the list prices many is refused, unless forced.
    const Finished refusedFew =
        runServed({"prices", "update", "--from", server.baseUrl() + "/list.json"});
    EXPECT_EQ(refusedFew.exitCode, 1);
    EXPECT_TRUE(refusedFew.err.contains("Anthropic models") && refusedFew.err.contains("--force"))
        << refusedFew.err.toStdString();
    const Finished updated =
        runServed({"prices", "update", "--force", "--from", server.baseUrl() + "/list.json"});
    ASSERT_EQ(updated.exitCode, 0) << updated.err.toStdString();
    EXPECT_TRUE(updated.out.startsWith("Prices updated: 1 models")) << updated.out.toStdString();
    const QString bad = home.write("bad.json", "{\"claude-opus-4-5\": {\"input_cost_per_token\"");
    const Finished refused = run({"prices", "update", "--from", bad});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains("not valid JSON")) << refused.err.toStdString();
    const QJsonObject after =
        QJsonDocument::fromJson(run({"prices", "--json", "claude-opus-4-5"}).out)
            .object()
            .value("rows")
            .toArray()
            .first()
            .toObject();
    EXPECT_EQ(after.value("inputPerMTok").toDouble(), 4.0);
    EXPECT_TRUE(after.value("source").toString().startsWith("updated "));
}

TEST_F(CliTest, UsageNamesTheModelsItCouldNotPrice) {
    test::ClaudeRequest request{.requestId = "req_X",
                                .messageId = "msg_X",
                                .model = "claude-private-1",
                                .input = 100,
                                .output = 50};
    home.write(".claude/projects/-home-dev-web/x.jsonl",
               test::claudePromptLine("Hello") + test::claudeAssistantLines(request));
    const QJsonObject json = QJsonDocument::fromJson(run({"usage", "--json"}).out).object();
    EXPECT_EQ(json.value("unpricedModels").toArray(), QJsonArray({"claude-private-1"}));
    EXPECT_TRUE(run({"usage"}).out.contains("1 model unpriced: claude-private-1"));
}

// One transcript line of 2^63 - 1 tokens beside a normal one: every command shows the normal
// line's figures alone, and the two that print figures say on stderr that a line was skipped,
// on a warm run too.
TEST_F(CliTest, ALineOfImpossibleTokensIsSkippedAlikeByUsageTitleAndReport) {
    test::ClaudeLine line;
    line.secondsAgo = 120;
    test::ClaudeRequest normal{
        .requestId = "req_1", .messageId = "msg_1", .input = 100, .output = 50, .blocks = 1};
    QByteArray huge = test::claudeAssistantLines(
        {.requestId = "req_2", .messageId = "msg_2", .input = 1, .blocks = 1}, line);
    huge.replace("\"input_tokens\":1,", "\"input_tokens\":9223372036854775807,");
    home.write(".claude/projects/-home-dev-web/s1.jsonl",
               test::claudePromptLine("Fix the login", line) +
                   test::claudeAssistantLines(normal, line) + huge);

    const Finished report = run({"report", "daily", "--json"});
    ASSERT_EQ(report.exitCode, 0) << report.err.toStdString();
    const QJsonObject totals = QJsonDocument::fromJson(report.out).object()["totals"].toObject();
    EXPECT_EQ(totals["inputTokens"].toInteger(), 100);
    EXPECT_EQ(totals["outputTokens"].toInteger(), 50);
    EXPECT_TRUE(report.err.contains("1 line skipped")) << report.err.toStdString();

    const Finished usage = run({"usage", "--json"});
    ASSERT_EQ(usage.exitCode, 0) << usage.err.toStdString();
    const QJsonObject claude =
        QJsonDocument::fromJson(usage.out).object()["providers"].toArray()[3].toObject();
    EXPECT_EQ(claude["totalInputTokens"].toInteger(), 100);
    EXPECT_EQ(claude["lastFiveHourTokens"].toInteger(), 150);
    // Sonnet 4.5 at 3 and 15 dollars per million: 100 x 3 + 50 x 15 = 1050 millionths.
    EXPECT_NEAR(claude["costTotal"].toDouble(), 0.00105, 1e-9);
    EXPECT_TRUE(usage.err.contains("1 line skipped")) << usage.err.toStdString();

    const Finished title = run({"title", "--json"});
    const QString tooltip = QJsonDocument::fromJson(title.out).object()["tooltip"].toString();
    EXPECT_TRUE(tooltip.contains("Claude Code: 1 prompt, 150 tokens in 5h"))
        << tooltip.toStdString();

    EXPECT_TRUE(run({"report", "daily"}).err.contains("1 line skipped"));
}

// A model name that would retitle and clear the terminal and turn the text around it is shown
// escaped wherever it is printed; JSON carries it exactly, escaped as JSON escapes.
TEST_F(CliTest, NamesFromTheLogsCannotDriveTheTerminal) {
    const QString model = QString::fromUtf8("claude-\x1b]0;pwned\x07\x1b[2J\u202Eevil");
    const QByteArray shown = "claude-\\x1b]0;pwned\\x07\\x1b[2J\\u202eevil";
    test::ClaudeLine line;
    line.cwd = QString::fromUtf8("/home/dev/\x1b[31mweb");
    test::ClaudeRequest request{
        .requestId = "req_1", .messageId = "msg_1", .model = model, .input = 10, .output = 5};
    // The session is named after its file, which may hold the same.
    home.write(QString::fromUtf8(".claude/projects/-home-dev-web/s1\x1b[2J.jsonl"),
               test::claudePromptLine("Hello", line) + test::claudeAssistantLines(request, line));
    const auto raw = [](const QByteArray& out) {
        return out.contains('\x1b') || out.contains('\x07') || out.contains("\u202E");
    };

    const std::vector<std::pair<QStringList, QByteArray>> printed{
        {{"report", "daily", "--by", "model"}, shown},
        {{"report", "daily", "--by", "model", "--csv"}, shown},
        {{"report", "daily", "--by", "project"}, "\\x1b[31mweb"},
        {{"report", "session"}, "s1\\x1b[2J"},
        {{"usage"}, shown}};
    for (const auto& [args, escaped] : printed) {
        const Finished out = run(args);
        ASSERT_EQ(out.exitCode, 0) << out.err.toStdString();
        EXPECT_FALSE(raw(out.out)) << args.join(' ').toStdString();
        EXPECT_TRUE(out.out.contains(escaped)) << out.out.toStdString();
    }
    EXPECT_FALSE(raw(run({"title", "--json"}).out));

    const QJsonArray rows =
        QJsonDocument::fromJson(run({"report", "daily", "--json", "--by", "model"}).out)
            .object()["rows"]
            .toArray();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0]["model"].toString(), model);
    const Finished json = run({"usage", "--json"});
    EXPECT_FALSE(json.out.contains('\x1b'));
    const QJsonObject claude =
        QJsonDocument::fromJson(json.out).object()["providers"].toArray()[3].toObject();
    EXPECT_EQ(claude["latestModel"].toString(), model);

    const QJsonObject input{{"session_id", "s1"}, {"model", QJsonObject{{"display_name", model}}}};
    const Finished status = run({"statusline"}, QJsonDocument(input).toJson());
    EXPECT_TRUE(status.out.startsWith(shown + " · ")) << status.out.toStdString();
}

}  // namespace
}  // namespace qm
