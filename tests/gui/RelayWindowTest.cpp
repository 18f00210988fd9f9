#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "accounts/AccountStore.h"
#include "accounts/MemorySecretBackend.h"
#include "gui/relay/RelayClientModel.h"
#include "gui/relay/RelayMetricView.h"
#include "gui/relay/RelayWindow.h"
#include "gui/trends/TrendSection.h"
#include "gui/trends/TrendsWindow.h"
#include "gui/widgets/StatusBadge.h"
#include "gui/widgets/StoreChangeCoalescer.h"
#include "history/UsageHistoryStore.h"
#include "relay/GeminiRelayStore.h"
#include "relay/GeminiRelayStoreEnvironment.h"
#include "relay/RelayPresence.h"
#include "support/FakeGeminiUpstream.h"
#include "support/Screenshots.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"

namespace qm::gui {
namespace {

using test::kNow;

// Sends a generateContent call to the relay on `port`; the answer is left to the caller.
bool sendGenerate(QTcpSocket& client, int port, const QByteArray& query, const QByteArray& header) {
    client.connectToHost(QHostAddress::LocalHost, quint16(port));
    if (!client.waitForConnected(5000)) return false;
    client.write("POST /v1beta/models/gemini-2.5-flash:generateContent" + query +
                 " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + header + "\r\nContent-Length: 2\r\n\r\n{}");
    return true;
}

class RelayWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        upstream.setHandler([](const test::FakeGeminiRequest&) {
            test::FakeGeminiResponse answer;
            answer.body = test::FakeGeminiUpstream::answerJson(1200, 300);
            answer.headers = {{"Content-Type", "application/json"}};
            return answer;
        });
        ASSERT_TRUE(upstream.listen());
        options.upstreamBase = upstream.baseUrl();
        options.listenOnIpv6 = false;
        GeminiRelayEnvironment environment;
        environment.geminiAccounts = [] {
            return std::vector<GeminiRelayAccounts::Candidate>{
                {QStringLiteral("a1"), QStringLiteral("work"), true, std::nullopt}};
        };
        environment.readSecret = [](const QString&) {
            return GeminiRelayAccounts::SecretRead{QStringLiteral("REAL"), std::nullopt};
        };
        environment.recordUsage = [](const GeminiUsageRecord&) { return true; };
        relay = std::make_unique<GeminiRelayStore>(environment, options);
        window = std::make_unique<RelayWindow>(relay.get(), nullptr, [] { return kNow; });
        window->show();
    }

    template <typename T>
    T* child(const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString metric(const char* name) { return child<RelayMetricView>(name)->value(); }
    void setPort(const QString& text) {
        auto* field = child<QLineEdit>("portField");
        field->selectAll();
        QTest::keyClicks(field, text);
        ASSERT_EQ(field->text(), text);
    }
    bool waitForRedraw(const std::function<bool()>& done) {
        return QTest::qWaitFor([&] {
            window->flushRedraw();
            return done();
        });
    }

    test::FakeGeminiUpstream upstream;
    GeminiRelayServerOptions options;
    std::unique_ptr<GeminiRelayStore> relay;
    std::unique_ptr<RelayWindow> window;
};

TEST(RelayPortTextTest, ParsesDecimalWithSignAndSpaces) {
    EXPECT_EQ(RelayWindow::parsedPort(QStringLiteral(" 8080 ")), 8080);
    EXPECT_EQ(RelayWindow::parsedPort(QStringLiteral("8080\n")), 8080);
    EXPECT_EQ(RelayWindow::parsedPort(QStringLiteral("+443")), 443);
    EXPECT_EQ(RelayWindow::parsedPort(QStringLiteral("-1")), -1);
    EXPECT_EQ(RelayWindow::parsedPort(QStringLiteral("0")), 0);
    EXPECT_FALSE(RelayWindow::parsedPort(QStringLiteral("80a")));
    EXPECT_FALSE(RelayWindow::parsedPort(QStringLiteral("0x50")));
    EXPECT_FALSE(RelayWindow::parsedPort(QString()));
    // Too large for an int still reaches the store, which reports the range.
    EXPECT_EQ(RelayWindow::parsedPort(QStringLiteral("99999999999")),
              std::numeric_limits<int>::max());
}

TEST_F(RelayWindowTest, PortFieldStartStopAndCountersAfterStop) {
    auto* start = child<QPushButton>("startButton");
    auto* stop = child<QPushButton>("stopButton");
    auto* field = child<QLineEdit>("portField");
    EXPECT_EQ(field->text(), QStringLiteral("47821"));
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_EQ(child<QLabel>("statusBadge")->text(), QStringLiteral("■ Stopped"));

    setPort(QStringLiteral("80ab"));
    EXPECT_FALSE(start->isEnabled());

    // "0" parses, so Start is offered; the store refuses the range and says so.
    setPort(QStringLiteral("0"));
    ASSERT_TRUE(start->isEnabled());
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_FALSE(relay->isRunning());
    EXPECT_TRUE(child<QLabel>("errorLabel")->isVisible());
    EXPECT_EQ(child<QLabel>("errorLabel")->text(),
              QStringLiteral("Port must be between 1 and 65535."));

    // The field's port reaches the store: one that is taken fails with the system's reason.
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, 0));
    setPort(QStringLiteral(" %1 ").arg(squatter.serverPort()));
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(waitForRedraw(
        [&] { return relay->lastError() && child<QLabel>("errorLabel")->isVisible(); }));
    EXPECT_FALSE(relay->isRunning());
    EXPECT_EQ(relay->port(), squatter.serverPort());
    EXPECT_TRUE(start->isEnabled());

    relay->startOnFreePort();
    ASSERT_TRUE(waitForRedraw([&] { return relay->isRunning() && stop->isEnabled(); }));
    const int port = relay->port();
    EXPECT_FALSE(field->isEnabled());
    EXPECT_FALSE(start->isEnabled());
    EXPECT_FALSE(child<QLabel>("errorLabel")->isVisible());
    EXPECT_EQ(child<QLabel>("startedLabel")->text(), QStringLiteral("Started now"));
    EXPECT_EQ(metric("portMetric"), QString::number(port));
    EXPECT_TRUE(child<QLabel>("instructionsLabel")
                    ->text()
                    .startsWith(QStringLiteral("Use base_url http://127.0.0.1:%1 and key "
                                               "quotameter-<alias>.")
                                    .arg(port)));

    // One request through the relay, then Stop: the counters keep their values.
    QTcpSocket client;
    ASSERT_TRUE(sendGenerate(client, port, "?key=quotameter-work", "User-Agent: probe/1.0"));
    ASSERT_TRUE(waitForRedraw([&] { return metric("requestsMetric") == QStringLiteral("1"); }));
    EXPECT_EQ(metric("clientsMetric"), QStringLiteral("1"));
    EXPECT_FALSE(child<QLabel>("noClientsLabel")->isVisible());
    const RelayClientModel* clients = window->clientModel();
    ASSERT_EQ(clients->rowCount(), 1);
    EXPECT_EQ(clients->index(0, RelayClientModel::ClientColumn).data().toString(), "probe/1.0");
    EXPECT_EQ(clients->index(0, RelayClientModel::AliasColumn).data().toString(), "work");
    EXPECT_EQ(clients->index(0, RelayClientModel::SeenColumn).data().toString(), "now");
    test::saveWindowShot(*window, QStringLiteral("relay-running-narrow"), {680, 460});
    test::saveWindowShot(*window, QStringLiteral("relay-running-wide"), {1000, 640});

    QTest::mouseClick(stop, Qt::LeftButton);
    ASSERT_TRUE(waitForRedraw([&] { return field->isEnabled() && start->isEnabled(); }));
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_FALSE(child<QLabel>("startedLabel")->isVisible());
    EXPECT_EQ(metric("requestsMetric"), QStringLiteral("1"));
    EXPECT_EQ(child<QLabel>("statusBadge")->text(), QStringLiteral("■ Stopped"));
    test::saveWindowShot(*window, QStringLiteral("relay-stopped-narrow"), {680, 460});
}

TEST_F(RelayWindowTest, ClientTableMergesSnapshotsKeepingSelection) {
    RelayClientModel model([] { return kNow; });
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    const auto client = [](const char* agent, std::int64_t count) {
        GeminiRelayClientInfo info;
        info.remoteIp = QStringLiteral("127.0.0.1");
        info.userAgent = QString::fromLatin1(agent);
        info.accountAlias = QStringLiteral("work");
        info.lastSeenAt = kNow - 120'000;
        info.requestCount = count;
        return info;
    };
    model.setClients({client("a", 1), client("b", 1)});
    QItemSelectionModel selection(&model);
    selection.select(model.index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);

    // "b" becomes newest and a new client "c" appears; the selection follows "b".
    model.setClients({client("b", 2), client("c", 1), client("a", 1)});
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(model.index(0, 0).data().toString(), "b");
    EXPECT_EQ(model.index(0, RelayClientModel::RequestsColumn).data().toString(), "2");
    EXPECT_EQ(model.index(0, RelayClientModel::SeenColumn).data().toString(), "2m");
    EXPECT_TRUE(selection.isRowSelected(0, {}));
    EXPECT_EQ(model.index(0, 0).data(RelayClientModel::RemoteIpRole).toString(), "127.0.0.1");

    model.setClients({client("c", 1)});
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_FALSE(selection.hasSelection());
    model.setClients({});
    EXPECT_EQ(model.rowCount(), 0);
}

// A streamed OpenAI-style call without usage is served but cannot be priced; the window says so.
TEST_F(RelayWindowTest, UnmeteredCallsAreShown) {
    upstream.setHandler([](const test::FakeGeminiRequest&) {
        test::FakeGeminiResponse answer;
        answer.mode = test::FakeGeminiResponse::Mode::Streamed;
        answer.chunks = {"data: {\"choices\":[{\"delta\":{\"content\":\"Hi\"}}]}\n\n",
                         "data: [DONE]\n\n"};
        return answer;
    });
    EXPECT_FALSE(child<QLabel>("unmeteredLabel")->isVisible());
    relay->startOnFreePort();
    ASSERT_TRUE(waitForRedraw([&] { return relay->isRunning(); }));
    const int port = relay->port();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(port));
    ASSERT_TRUE(client.waitForConnected(5000));
    const QByteArray body = R"({"model":"gemini-2.5-flash","messages":[],"stream":true})";
    client.write(
        "POST /v1beta/openai/chat/completions HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Authorization: Bearer quotameter-work\r\nContent-Length: " +
        QByteArray::number(body.size()) + "\r\n\r\n" + body);
    ASSERT_TRUE(waitForRedraw([&] { return child<QLabel>("unmeteredLabel")->isVisible(); }));
    EXPECT_TRUE(child<QLabel>("unmeteredLabel")
                    ->text()
                    .startsWith(QStringLiteral("1 call could not be metered")));
    EXPECT_EQ(metric("requestsMetric"), QStringLiteral("1"));
}

// The relay as the application wires it: Gemini accounts and keys from the account store,
// metered calls into the history, which the trends window draws.
TEST_F(RelayWindowTest, RelayStartedHereServesACallThatReachesTheTrends) {
    test::TempDir dir;
    AccountStore accounts(AccountConfigStore(AccountConfigStore::pathIn(dir.path())),
                          KeychainStore(std::make_shared<MemorySecretBackend>()));
    ASSERT_FALSE(accounts.addAccount(ApiAccountProvider::gemini, QStringLiteral("work"),
                                     QStringLiteral("AIza-real-key"), std::nullopt));
    UsageHistoryStore history(UsageHistoryFileStore(UsageHistoryFileStore::pathIn(dir.path())));
    GeminiRelayStore appRelay(relayEnvironment(accounts, history), options);
    RelayWindow relayWindow(&appRelay);
    TrendsWindow trends(&history);
    relayWindow.show();
    trends.show();

    appRelay.startOnFreePort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return appRelay.isRunning(); }));
    const int port = appRelay.port();

    QTcpSocket client;
    ASSERT_TRUE(sendGenerate(client, port, "", "x-goog-api-key: quotameter-work"));
    QByteArray answer;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        answer += client.readAll();
        return answer.contains("usageMetadata");
    }));
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200"));
    EXPECT_EQ(upstream.requests().back().query.queryItemValue(QStringLiteral("key")),
              QStringLiteral("AIza-real-key"));

    auto* requests = relayWindow.findChild<RelayMetricView*>(QStringLiteral("requestsMetric"));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        relayWindow.flushRedraw();
        return requests->value() == QStringLiteral("1");
    }));
    ASSERT_EQ(history.geminiUsageRecords().size(), 1u);
    trends.flushRedraw();
    auto* gemini = trends.findChild<TrendSection*>(QStringLiteral("geminiSection"));
    EXPECT_FALSE(gemini->isEmpty());
    EXPECT_EQ(gemini->subtitle(),
              UsageTrends::totalText(history.geminiUsageRecords().front().costUsd));
    EXPECT_GT(history.geminiUsageRecords().front().costUsd, 0.0);
    test::saveWindowShot(trends, QStringLiteral("trends-after-relay-call"), {760, 520});
    appRelay.stop();
}

TEST(StoreChangeCoalescerTest, ABurstOfChangesRedrawsOnceWithTheLastState) {
    int redraws = 0;
    StoreChangeCoalescer coalescer([&] { ++redraws; }, std::chrono::milliseconds(100));
    for (int i = 0; i < 1000; ++i) coalescer.poke();
    EXPECT_EQ(redraws, 0);  // never inside the store's own change
    ASSERT_TRUE(QTest::qWaitFor([&] { return redraws == 1; }));
    // A change right after a redraw waits for the interval instead of redrawing at once.
    coalescer.poke();
    EXPECT_TRUE(coalescer.isPending());
    coalescer.flush();
    EXPECT_EQ(redraws, 2);
    EXPECT_FALSE(coalescer.isPending());
}

}  // namespace
}  // namespace qm::gui

namespace qm::gui {
namespace {

// The window says at once when metered calls cannot be saved, and stops saying so when they
// can be again.
TEST(RelayWindowSaving, UsageThatCannotBeSavedIsShownUntilItIsSaved) {
    std::optional<QString> problem;
    std::function<void()> notify;
    GeminiRelayEnvironment environment;
    environment.recordUsage = [](const GeminiUsageRecord&) { return false; };
    environment.usageSaveProblem = [&problem] { return problem; };
    environment.watchUsageSaving = [&notify](QObject*, std::function<void()> changed) {
        notify = std::move(changed);
    };
    GeminiRelayStore relay(environment);
    RelayWindow window(&relay, nullptr, [] { return kNow; });
    window.show();
    auto* error = window.findChild<QLabel*>(QStringLiteral("errorLabel"));
    ASSERT_NE(error, nullptr);
    ASSERT_TRUE(notify);

    problem = QStringLiteral(
        "Could not write usage-history.json.journal: No space left on "
        "device; 3 held in memory until it can be written");
    notify();
    window.flushRedraw();
    EXPECT_TRUE(error->isVisible());
    EXPECT_EQ(error->text(), "Usage could not be saved: " + *problem);
    test::saveWindowShot(window, QStringLiteral("relay-usage-not-saved"), {680, 460});

    problem.reset();
    notify();
    window.flushRedraw();
    EXPECT_FALSE(error->isVisible());
}

// A relay another process runs on the same data folder (`quotameter-cli relay`) is shown as
// running there, with its port and count, and as stopped once that process has ended.
TEST(RelayWindowElsewhere, ARelayOfAnotherProcessIsShownWhileItLives) {
    test::TempDir data;
    const pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        ::pause();  // stands for the other process until killed
        ::_exit(0);
    }
    const QString folder = RelayPresence::folderIn(data.path());
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile file(QDir(folder).filePath(QStringLiteral("%1.json").arg(other)));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral(R"({"pid":%1,"port":51234,"startedAt":%2,"requests":7})")
                   .arg(other)
                   .arg(kNow - 600'000)
                   .toUtf8());
    file.close();

    GeminiRelayEnvironment environment;
    environment.presenceFolder = folder;
    GeminiRelayStore relay(environment);
    RelayWindow window(&relay, nullptr, [] { return kNow; });
    window.show();
    window.flushRedraw();
    auto* badge = window.findChild<StatusBadge*>(QStringLiteral("statusBadge"));
    ASSERT_NE(badge, nullptr);
    EXPECT_EQ(badge->text(), "✓ Running in another process");
    EXPECT_EQ(window.findChild<RelayMetricView*>(QStringLiteral("portMetric"))->value(), "51234");
    EXPECT_EQ(window.findChild<RelayMetricView*>(QStringLiteral("requestsMetric"))->value(), "7");
    test::saveWindowShot(window, QStringLiteral("relay-elsewhere"), {680, 460});

    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            window.flushRedraw();
            return badge->text() == "■ Stopped";
        },
        10000));
    EXPECT_FALSE(file.exists());  // what the ended process left behind is cleared
}

}  // namespace
}  // namespace qm::gui
