#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <atomic>
#include <memory>

#include "RelayTestClient.h"
#include "relay/GeminiRelayServer.h"
#include "support/FakeGeminiUpstream.h"
#include "support/QtPrinters.h"

namespace qm {
namespace {

using test::exchange;
using test::FakeGeminiResponse;
using test::FakeGeminiUpstream;
using test::httpRequest;
using test::RelayTestClient;
using test::waitUntil;

const QByteArray kGenerate = "/v1beta/models/gemini-2.5-flash:generateContent";
const QByteArray kStream = "/v1beta/models/gemini-2.5-flash:streamGenerateContent?alt=sse";

class RelayServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(upstream.listen());
        options.upstreamBase = upstream.baseUrl();
        options.listenOnIpv6 = false;
        options.clock = [this] { return clockMs.load(); };
    }

    void TearDown() override { server.reset(); }

    quint16 startRelay(int port = 0) {
        GeminiRelayServerCallbacks callbacks;
        callbacks.accountResolver = [this](const std::optional<QString>& credential) {
            return GeminiRelayAccounts::resolveAccount(
                credential, accounts, [this](const QString& id) {
                    const auto it = secrets.find(id);
                    return it == secrets.end() ? GeminiRelayAccounts::SecretRead{} : it->second;
                });
        };
        callbacks.usageRecorder = [this](const GeminiUsageRecord& record) {
            records.push_back(record);
            return true;
        };
        callbacks.accountCountProvider = [this] { return static_cast<int>(accounts.size()); };
        callbacks.statusHandler = [this](const GeminiRelayServerSnapshot& snapshot) {
            last = snapshot;
        };
        callbacks.requestLogger = [this](const GeminiRelayRequestLog& log) { logs.push_back(log); };
        server = std::make_unique<GeminiRelayServer>(port, callbacks, options);
        startError = QCoro::waitFor(server->start());
        return static_cast<quint16>(server->port());
    }

    // Waits until the relay has finished `count` requests and reported it.
    bool served(std::int64_t count) {
        return waitUntil([&] {
            return last && last->requestsServed == count && last->activeConnectionCount == 0;
        });
    }

    QByteArray generate(const QByteArray& key = "quotameter-work",
                        const QByteArray& path = kGenerate) {
        return httpRequest("POST", path + (path.contains('?') ? "&key=" : "?key=") + key,
                           {{"Content-Type", "application/json"}, {"User-Agent", "sdk/1.0 test"}},
                           R"({"contents":[]})");
    }

    FakeGeminiUpstream upstream;
    GeminiRelayServerOptions options;
    std::vector<GeminiRelayAccounts::Candidate> accounts{
        {QStringLiteral("acct-work"), QStringLiteral("work"), true, std::nullopt}};
    std::map<QString, GeminiRelayAccounts::SecretRead> secrets{
        {QStringLiteral("acct-work"), {QStringLiteral("REAL-KEY"), std::nullopt}}};
    std::vector<GeminiUsageRecord> records;
    std::vector<GeminiRelayRequestLog> logs;
    std::optional<GeminiRelayServerSnapshot> last;
    std::atomic<std::int64_t> clockMs{1'700'000'000'000};
    std::unique_ptr<GeminiRelayServer> server;
    std::optional<GeminiRelayServerError> startError;
};

QJsonObject errorOf(const test::RawExchange& answer) {
    return QJsonDocument::fromJson(answer.body).object()["error"].toObject();
}

TEST_F(RelayServerTest, PreflightHealthAndUnsupportedPaths) {
    const quint16 port = startRelay();
    ASSERT_FALSE(startError);
    ASSERT_TRUE(waitUntil([&] { return last && last->isRunning; }));
    EXPECT_EQ(last->port, port);
    EXPECT_EQ(last->startedAt, clockMs.load());

    const auto preflight = exchange(port, httpRequest("options", "/v1beta/anything?key=x",
                                                      {{"Origin", "https://evil.example"}}));
    EXPECT_EQ(preflight.status, 204);
    EXPECT_EQ(preflight.header("access-control-allow-methods"), "GET, POST, OPTIONS");
    EXPECT_EQ(preflight.header("content-length"), "0");
    EXPECT_TRUE(preflight.body.isEmpty());
    ASSERT_TRUE(served(1));
    EXPECT_TRUE(last->activeClients.empty());

    const auto health =
        exchange(port, httpRequest("GET", "/health", {{"User-Agent", "probe/2 x"}}));
    EXPECT_EQ(health.status, 200);
    const QJsonObject body = QJsonDocument::fromJson(health.body).object();
    EXPECT_EQ(body["ok"].toBool(), true);
    EXPECT_EQ(body["service"].toString(), "Quotameter - Gemini Relay");
    EXPECT_EQ(body["accounts"].toInt(), 1);
    EXPECT_EQ(body["requests"].toInt(), 1);
    EXPECT_EQ(body["activeClients"].toInt(), 1);
    ASSERT_TRUE(served(2));
    ASSERT_EQ(last->activeClients.size(), 1u);
    EXPECT_EQ(last->activeClients[0].accountAlias, "(health)");
    EXPECT_EQ(last->activeClients[0].remoteIp, "127.0.0.1");
    EXPECT_EQ(last->activeClients[0].displayName(), "probe/2");

    for (const QByteArray path : {"/v2/models", "/V1/models"}) {
        const auto missing = exchange(port, httpRequest("GET", path));
        EXPECT_EQ(missing.status, 404);
        EXPECT_EQ(errorOf(missing)["message"].toString(),
                  "Unsupported path: " + path + ". Relay supports /v1beta/* and /v1/*.");
    }
    EXPECT_EQ(upstream.requestCount(), 0);
}

TEST_F(RelayServerTest, BrowserOriginsOtherThanLoopbackAreRefused) {
    const quint16 port = startRelay();
    const auto refused =
        exchange(port, httpRequest("GET", "/health", {{"Origin", "https://evil.example"}}));
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(errorOf(refused)["message"].toString(), "Origin not allowed: https://evil.example");
    const auto sneaky =
        exchange(port, httpRequest("POST", kGenerate + "?key=quotameter-work",
                                   {{"Origin", "http://localhost.evil.example"}}, "{}"));
    EXPECT_EQ(sneaky.status, 403);
    EXPECT_EQ(upstream.requestCount(), 0);
    for (const QByteArray origin :
         {"http://localhost:3000", "https://127.0.0.1", "http://[::1]:8080"}) {
        EXPECT_EQ(exchange(port, httpRequest("GET", "/health", {{"Origin", origin}})).status, 200)
            << origin.constData();
    }
}

TEST_F(RelayServerTest, CredentialFailures) {
    accounts.push_back(
        {QStringLiteral("acct-nokey"), QStringLiteral("nokey"), false, std::nullopt});
    accounts.push_back(
        {QStringLiteral("acct-locked"), QStringLiteral("locked"), false, std::nullopt});
    secrets[QStringLiteral("acct-locked")] = {std::nullopt, QStringLiteral("Keyring is locked.")};
    const quint16 port = startRelay();

    const auto missing =
        exchange(port, httpRequest("GET", "/v1beta/models", {{"Authorization", "Basic abc"}}));
    EXPECT_EQ(missing.status, 401);
    EXPECT_EQ(errorOf(missing)["message"].toString(),
              "Missing credentials. Send '?key=quotameter-<alias>' or header 'x-goog-api-key'.");
    const auto nomatch = exchange(port, httpRequest("GET", "/v1beta/models?key=AIzaReal"));
    EXPECT_EQ(nomatch.status, 401);
    EXPECT_TRUE(errorOf(nomatch)["message"].toString().startsWith("No Gemini account matches"));
    const auto nokey = exchange(port, httpRequest("GET", "/v1beta/models?key=quotameter-nokey"));
    EXPECT_EQ(nokey.status, 500);
    EXPECT_EQ(errorOf(nokey)["message"].toString(), "Stored key is not available in Keychain.");
    const auto locked =
        exchange(port, httpRequest("GET", "/v1/models", {{"x-goog-api-key", "quotameter-locked"}}));
    EXPECT_EQ(locked.status, 500);
    EXPECT_EQ(errorOf(locked)["message"].toString(), "Keyring is locked.");
    EXPECT_EQ(upstream.requestCount(), 0);
    ASSERT_TRUE(served(4));
    ASSERT_EQ(last->activeClients.size(), 1u);
    EXPECT_EQ(last->activeClients[0].accountAlias, "locked");
    EXPECT_EQ(last->activeClients[0].requestCount, 4);
}

TEST_F(RelayServerTest, ForwardsWithTheStoredKeyOnly) {
    upstream.setHandler([](const test::FakeGeminiRequest&) {
        FakeGeminiResponse response;
        response.status = 200;
        response.headers = {{"Access-Control-Allow-Origin", "https://site.example"},
                            {"X-Upstream", "yes"},
                            {"Server", "ESF"}};
        response.body = R"({"models":[]})";
        return response;
    });
    const quint16 port = startRelay();
    const auto answer = exchange(
        port, httpRequest("GET", "/v1beta/models?Key=quotameter-work&alt=sse&KEY=again&pageSize=5",
                          {{"x-goog-api-key", "quotameter-work"},
                           {"Authorization", "Bearer quotameter-work"},
                           {"User-Agent", " sdk/1.0 "},
                           {"Cookie", "a=b"},
                           {"X-Custom", "no"}}));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, R"({"models":[]})");
    EXPECT_EQ(answer.header("access-control-allow-origin"), "*");
    EXPECT_EQ(answer.header("x-upstream"), "yes");
    EXPECT_EQ(answer.header("server"), "");
    EXPECT_EQ(answer.header("content-length"), "13");

    const auto requests = upstream.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& forwarded = requests[0];
    EXPECT_EQ(forwarded.method, "GET");
    EXPECT_EQ(forwarded.path, "/v1beta/models");
    const auto items = forwarded.query.queryItems(QUrl::FullyDecoded);
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0], qMakePair(QStringLiteral("alt"), QStringLiteral("sse")));
    EXPECT_EQ(items[1], qMakePair(QStringLiteral("pageSize"), QStringLiteral("5")));
    EXPECT_EQ(items[2], qMakePair(QStringLiteral("key"), QStringLiteral("REAL-KEY")));
    EXPECT_EQ(forwarded.header("user-agent"), "sdk/1.0");
    for (const QByteArray name : {"x-goog-api-key", "authorization", "cookie", "x-custom"}) {
        EXPECT_EQ(forwarded.header(name), "") << name.constData();
    }
    ASSERT_TRUE(served(1));
    EXPECT_TRUE(records.empty());
}

TEST_F(RelayServerTest, MetersSuccessfulGenerateContentOnly) {
    int status = 200;
    upstream.setHandler([&status](const test::FakeGeminiRequest& request) {
        FakeGeminiResponse response;
        response.status = status;
        response.body = FakeGeminiUpstream::answerJson(1000, 200, 100);
        if (request.path.endsWith(":countTokens")) response.body = R"({"totalTokens":3})";
        return response;
    });
    const quint16 port = startRelay();

    const auto ok = exchange(port, generate());
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, FakeGeminiUpstream::answerJson(1000, 200, 100));
    ASSERT_TRUE(served(1));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].accountId, "acct-work");
    EXPECT_EQ(records[0].model, "gemini-2.5-flash");
    EXPECT_EQ(records[0].inputTokens, 1000);
    EXPECT_EQ(records[0].outputTokens, 200);
    EXPECT_EQ(records[0].cacheTokens, 100);
    EXPECT_GT(records[0].costUsd, 0);
    EXPECT_EQ(records[0].clientUserAgent, QStringLiteral("sdk/1.0 test"));
    EXPECT_GE(records[0].latencyMs, 0);
    EXPECT_EQ(upstream.requests()[0].body, R"({"contents":[]})");
    EXPECT_EQ(upstream.requests()[0].header("content-type"), "application/json");

    exchange(port, generate("quotameter-work", "/v1beta/models/gemini-2.5-flash:countTokens"));
    status = 429;
    const auto limited = exchange(port, generate());
    EXPECT_EQ(limited.status, 429);
    EXPECT_TRUE(limited.raw.startsWith("HTTP/1.1 429 HTTP\r\n"));
    status = 503;
    EXPECT_EQ(exchange(port, generate()).status, 503);
    exchange(port, generate("wrong-key"));
    ASSERT_TRUE(served(5));
    EXPECT_EQ(records.size(), 1u);

    // Every request reaches the log once, with the status the client got and the usage of
    // the metered one.
    ASSERT_TRUE(waitUntil([&] { return logs.size() == 5; }));
    std::vector<int> statuses;
    for (const auto& log : logs) statuses.push_back(log.status);
    EXPECT_EQ(statuses, (std::vector<int>{200, 200, 429, 503, 401}));
    EXPECT_EQ(logs[0].usage, records[0]);
    EXPECT_EQ(logs[0].accountAlias, "work");
    EXPECT_EQ(logs[0].path, QString::fromLatin1(kGenerate));
    EXPECT_EQ(logs[0].method, "POST");
    EXPECT_EQ(logs[0].userAgent, "sdk/1.0 test");
    EXPECT_FALSE(logs[1].usage);
    EXPECT_EQ(logs[4].accountAlias, "(unmatched)");
}

TEST_F(RelayServerTest, StreamsEventsAsTheyArriveAndMetersTheLast) {
    std::vector<qint64> written;
    QElapsedTimer clock;
    clock.start();
    upstream.onChunkWritten = [&](int) { written.push_back(clock.elapsed()); };
    upstream.setHandler([](const test::FakeGeminiRequest&) {
        FakeGeminiResponse response;
        response.mode = FakeGeminiResponse::Mode::Streamed;
        response.headers = {{"Content-Type", "text/event-stream"}};
        response.chunks = {FakeGeminiUpstream::sseEvent(10, 1), FakeGeminiUpstream::sseEvent(10, 5),
                           FakeGeminiUpstream::sseEvent(10, 9)};
        response.chunkIntervalMs = 150;
        return response;
    });
    const quint16 port = startRelay();
    clock.restart();
    RelayTestClient client(port, generate("quotameter-work", kStream));
    ASSERT_TRUE(waitUntil([&] { return client.finished(); }));
    EXPECT_EQ(client.status(), 200);
    EXPECT_EQ(client.header("content-type"), "text/event-stream");
    EXPECT_EQ(client.header("content-length"), "");
    EXPECT_EQ(client.header("transfer-encoding"), "");
    EXPECT_EQ(client.body(), FakeGeminiUpstream::sseEvent(10, 1) +
                                 FakeGeminiUpstream::sseEvent(10, 5) +
                                 FakeGeminiUpstream::sseEvent(10, 9));
    // The first event reached the client long before the upstream sent its last one.
    ASSERT_EQ(written.size(), 3u);
    ASSERT_GE(client.arrivals().size(), 2u);
    EXPECT_LT(client.arrivals()[0].first, written[2]);
    ASSERT_TRUE(served(1));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outputTokens, 9);
    EXPECT_GE(records[0].latencyMs, 250);
}

TEST_F(RelayServerTest, LongStreamIsForwardedWholeButMeteredOnItsFirstFourMiB) {
    const QByteArray filler =
        "data: {\"candidates\":[{\"text\":\"" + QByteArray(60000, 'x') + "\"}]}\r\n\r\n";
    std::vector<QByteArray> chunks{FakeGeminiUpstream::sseEvent(1, 2)};
    for (int i = 0; i < 80; ++i) chunks.push_back(filler);  // about 4.8 MB
    chunks.push_back(FakeGeminiUpstream::sseEvent(99, 99));
    QByteArray expected;
    for (const QByteArray& c : chunks) expected += c;
    upstream.setHandler([chunks](const test::FakeGeminiRequest&) {
        FakeGeminiResponse response;
        response.mode = FakeGeminiResponse::Mode::Streamed;
        response.chunks = chunks;
        return response;
    });
    const quint16 port = startRelay();
    RelayTestClient client(port, generate("quotameter-work", kStream));
    ASSERT_TRUE(waitUntil([&] { return client.finished(); }, 30000));
    EXPECT_EQ(client.body().size(), expected.size());
    EXPECT_TRUE(client.body() == expected);
    ASSERT_TRUE(served(1));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].inputTokens, 1);
}

TEST_F(RelayServerTest, ClientThatDisappearsMidStream) {
    upstream.setHandler([](const test::FakeGeminiRequest&) {
        FakeGeminiResponse response;
        response.mode = FakeGeminiResponse::Mode::Streamed;
        for (int i = 0; i < 200; ++i) response.chunks.push_back(FakeGeminiUpstream::sseEvent(1, i));
        response.chunkIntervalMs = 20;
        return response;
    });
    const quint16 port = startRelay();
    {
        RelayTestClient client(port, generate("quotameter-work", kStream));
        client.abortAfter(1);
        ASSERT_TRUE(waitUntil([&] { return client.finished(); }));
    }
    ASSERT_TRUE(served(1));
    EXPECT_TRUE(records.empty());
    // The upstream call was cancelled rather than left running to its end.
    EXPECT_TRUE(waitUntil([&] { return upstream.openConnections() == 0; }, 3000));
    EXPECT_EQ(exchange(port, httpRequest("GET", "/health")).status, 200);
    ASSERT_TRUE(served(2));
}

TEST_F(RelayServerTest, UpstreamThatClosesEarlyOrNeverAnswers) {
    FakeGeminiResponse::Mode mode = FakeGeminiResponse::Mode::CloseEarly;
    upstream.setHandler([&mode](const test::FakeGeminiRequest&) {
        FakeGeminiResponse response;
        response.mode = mode;
        response.body = FakeGeminiUpstream::answerJson(5, 5);
        response.chunks = {FakeGeminiUpstream::sseEvent(5, 5)};
        return response;
    });
    options.upstreamIdleTimeout = std::chrono::milliseconds(300);
    const quint16 port = startRelay();

    const auto early = exchange(port, generate());
    EXPECT_EQ(early.status, 502);
    EXPECT_TRUE(errorOf(early)["message"].toString().startsWith("Upstream request failed: "));

    mode = FakeGeminiResponse::Mode::NeverAnswer;
    const auto silent = exchange(port, generate());
    EXPECT_EQ(silent.status, 502);
    EXPECT_EQ(errorOf(silent)["message"].toString(),
              "Upstream request failed: The request timed out.");
    ASSERT_TRUE(served(2));
    EXPECT_EQ(last->lastError, QStringLiteral("The request timed out."));

    // A stream cut before its end must not look complete to the client.
    mode = FakeGeminiResponse::Mode::StreamCut;
    const auto cut = test::posixExchange(port, generate("quotameter-work", kStream));
    EXPECT_TRUE(cut.received.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(cut.received.contains("\"candidatesTokenCount\":5"));
    EXPECT_TRUE(cut.reset);
    EXPECT_FALSE(cut.cleanEnd);
    ASSERT_TRUE(served(3));
    EXPECT_TRUE(records.empty());
}

TEST_F(RelayServerTest, StopWhileAStreamIsInFlight) {
    upstream.setHandler([](const test::FakeGeminiRequest&) {
        FakeGeminiResponse response;
        response.mode = FakeGeminiResponse::Mode::Streamed;
        for (int i = 0; i < 100; ++i) response.chunks.push_back(FakeGeminiUpstream::sseEvent(1, i));
        response.chunkIntervalMs = 50;
        return response;
    });
    const quint16 port = startRelay();
    RelayTestClient client(port, generate("quotameter-work", kStream));
    ASSERT_TRUE(waitUntil([&] { return client.received().contains("data:"); }));
    QCoro::waitFor(server->stop());
    ASSERT_TRUE(waitUntil([&] { return client.finished(); }, 3000));
    EXPECT_FALSE(client.received().contains("\"candidatesTokenCount\":99"));
    ASSERT_TRUE(waitUntil([&] { return last && !last->isRunning; }));
    EXPECT_FALSE(last->startedAt);
    EXPECT_EQ(last->activeConnectionCount, 0);
    EXPECT_FALSE(last->lastError) << last->lastError->toStdString();
    EXPECT_TRUE(records.empty());
    EXPECT_TRUE(waitUntil([&] { return upstream.openConnections() == 0; }, 3000));
    // Nothing listens any more.
    RelayTestClient refused(port, httpRequest("GET", "/health"));
    ASSERT_TRUE(waitUntil([&] { return refused.finished(); }));
    EXPECT_TRUE(refused.received().isEmpty());
}

TEST_F(RelayServerTest, PortAlreadyTakenAndInvalidPort) {
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, 0));
    startRelay(squatter.serverPort());
    ASSERT_TRUE(startError);
    EXPECT_EQ(startError->kind, GeminiRelayServerError::Kind::listenFailed);
    EXPECT_FALSE(startError->description().isEmpty());
    server.reset();

    startRelay(70000);
    ASSERT_TRUE(startError);
    EXPECT_EQ(startError->description(), "Invalid relay port: 70000");
}

TEST_F(RelayServerTest, TwoHundredConcurrentConnections) {
    const quint16 port = startRelay();
    std::vector<std::unique_ptr<RelayTestClient>> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(std::make_unique<RelayTestClient>(port, generate()));
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            return std::all_of(clients.begin(), clients.end(),
                               [](const auto& c) { return c->finished(); });
        },
        60000));
    for (const auto& client : clients) EXPECT_EQ(client->status(), 200);
    ASSERT_TRUE(served(200));
    EXPECT_EQ(records.size(), 200u);
    EXPECT_EQ(upstream.requestCount(), 200);
    ASSERT_EQ(last->activeClients.size(), 1u);
    EXPECT_EQ(last->activeClients[0].requestCount, 200);
}

TEST_F(RelayServerTest, BadAndSilentRequests) {
    options.requestReadTimeout = std::chrono::milliseconds(200);
    const quint16 port = startRelay();
    const auto bad = exchange(port, "GET\r\n\r\n");
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(errorOf(bad)["message"].toString(), "Invalid request line.");
    ASSERT_TRUE(served(1));
    EXPECT_EQ(last->lastError, QStringLiteral("Invalid request line."));

    // Half a request and then silence: closed without an answer, not counted.
    const auto silent =
        exchange(port, "POST /v1/x HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", 5000);
    EXPECT_TRUE(silent.finished);
    EXPECT_TRUE(silent.raw.isEmpty());
    RelayTestClient closer(port, "GET /health HTTP/1.1\r\n");
    closer.abortAfter(0);
    ASSERT_TRUE(waitUntil([&] { return last && last->activeConnectionCount == 0; }));
    EXPECT_EQ(last->requestsServed, 1);
}

TEST_F(RelayServerTest, ClientActivityWindows) {
    const quint16 port = startRelay();
    const auto call = [&](const QByteArray& agent) {
        exchange(port, httpRequest("GET", "/health", {{"User-Agent", agent}}));
    };
    call("tool/1.0");
    clockMs += 1000;
    call("tool/1.0");
    clockMs += 1000;
    call("tool/1.1");
    ASSERT_TRUE(served(3));
    ASSERT_EQ(last->activeClients.size(), 2u);
    EXPECT_EQ(last->activeClients[0].userAgent, "tool/1.1");
    EXPECT_EQ(last->activeClients[1].requestCount, 2);
    EXPECT_EQ(last->activeClients[1].lastSeenAt - last->activeClients[1].firstSeenAt, 1000);

    clockMs += 301'000;
    call("other/1");
    ASSERT_TRUE(served(4));
    ASSERT_EQ(last->activeClients.size(), 1u) << "idle clients leave the active list";

    clockMs += 3'500'000;  // tool/1.0 is now more than an hour idle
    call("other/1");
    call("tool/1.0");
    ASSERT_TRUE(served(6));
    const auto& clients = last->activeClients;
    const auto tool = std::find_if(clients.begin(), clients.end(),
                                   [](const auto& c) { return c.userAgent == "tool/1.0"; });
    ASSERT_NE(tool, clients.end());
    EXPECT_EQ(tool->requestCount, 1) << "its old entry was dropped";
}

TEST_F(RelayServerTest, PathsHeadsAndHostsThatCouldMisuseTheKeyNeverGoUpstream) {
    const quint16 port = startRelay();
    for (const QByteArray target : {"/v1beta/../x", "/v1beta/%2e%2e/files", "/v1beta/..%2Fx",
                                    "/v1beta/models/gemini-2.5-flash:generateContent/%2e"}) {
        const auto answer = exchange(port, generate("quotameter-work", target));
        EXPECT_EQ(answer.status, 400) << target.constData();
        EXPECT_EQ(errorOf(answer)["message"].toString(),
                  "Paths with dot segments are not allowed.");
    }
    const auto smuggled =
        exchange(port, "POST " + kGenerate +
                           "?key=quotameter-work HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                           "Content-Type: application/json\rX-Injected: 1\r\n\r\n");
    EXPECT_EQ(smuggled.status, 400);
    EXPECT_EQ(errorOf(smuggled)["code"].toInt(), 400);

    const auto withHost = [&](const QByteArray& host) {
        return exchange(
            port, "GET /v1beta/models?key=quotameter-work HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    };
    const auto rebound = withHost("attacker.example:" + QByteArray::number(port));
    EXPECT_EQ(rebound.status, 403);
    EXPECT_EQ(errorOf(rebound)["message"].toString(),
              "Host not allowed: attacker.example:" + QString::number(port));
    EXPECT_EQ(withHost("localhost.attacker.example").status, 403);
    EXPECT_EQ(upstream.requestCount(), 0);

    for (const QByteArray& host : {QByteArray("localhost"), "LOCALHOST:" + QByteArray::number(port),
                                   QByteArray("127.0.0.1"), QByteArray("[::1]:47821")}) {
        EXPECT_EQ(withHost(host).status, 200) << host.constData();
    }
    EXPECT_EQ(upstream.requestCount(), 4);
}

TEST_F(RelayServerTest, ExpectContinueAndTheBodyLimit) {
    upstream.setHandler([](const test::FakeGeminiRequest& request) {
        FakeGeminiResponse response;
        response.body = FakeGeminiUpstream::answerJson(request.body.size(), 1);
        return response;
    });
    const quint16 port = startRelay();
    const QByteArray body = R"({"contents":[{"parts":[{"text":"hello"}]}]})";
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(socket.waitForConnected(5000));
    socket.write("POST " + kGenerate + "?key=quotameter-work HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                 "Expect: 100-continue\r\nContent-Length: " + QByteArray::number(body.size()) +
                 "\r\n\r\n");
    QByteArray received;
    ASSERT_TRUE(waitUntil([&] {
        received += socket.readAll();
        return received.contains("\r\n\r\n");
    }));
    EXPECT_EQ(received, "HTTP/1.1 100 Continue\r\n\r\n");
    socket.write(body);
    ASSERT_TRUE(waitUntil([&] {
        received += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    }));
    EXPECT_TRUE(received.contains("\r\n\r\nHTTP/1.1 200 OK\r\n")) << received.constData();
    ASSERT_EQ(upstream.requestCount(), 1);
    EXPECT_EQ(upstream.requests()[0].body, body);
    EXPECT_TRUE(waitUntil([&] { return records.size() == 1; })) << "still metered";

    const auto tooLarge = exchange(
        port, "POST " + kGenerate + "?key=quotameter-work HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                  "Expect: 100-continue\r\nContent-Length: " +
                  QByteArray::number(GeminiRelayHttp::kBodyLimit + 1) + "\r\n\r\n");
    EXPECT_EQ(tooLarge.status, 413);
    EXPECT_FALSE(tooLarge.raw.contains("100 Continue"));
    EXPECT_EQ(errorOf(tooLarge)["message"].toString(), "Request body is too large.");
    EXPECT_EQ(upstream.requestCount(), 1);
}

// Statuses Qt's client has opinions about still reach the client as a whole answer.
TEST_F(RelayServerTest, UnusualUpstreamStatusesAreAnsweredNotCut) {
    std::atomic<int> status{301};
    upstream.setHandler([&status](const test::FakeGeminiRequest&) {
        FakeGeminiResponse response;
        response.status = status.load();
        response.body = status == 304 ? QByteArray("{}") : QByteArray(R"({"error":"x"})");
        if (status == 302) response.headers = {{"Location", "http://127.0.0.1:1/elsewhere"}};
        return response;
    });
    const quint16 port = startRelay();
    for (const int code : {301, 302, 304, 407, 503}) {
        status = code;
        for (const QByteArray& target : {kGenerate, kStream}) {
            const auto answer = test::posixExchange(port, generate("quotameter-work", target));
            EXPECT_TRUE(answer.cleanEnd && !answer.reset) << code << target.constData();
            const int got = answer.received.mid(9, 3).toInt();
            EXPECT_TRUE(got == code || got == 502) << code << " answered " << got;
        }
    }
    // A redirect is the client's to follow: the relay does not carry the key there itself.
    for (const auto& request : upstream.requests()) EXPECT_NE(request.path, "/elsewhere");
    EXPECT_TRUE(records.empty());
}

TEST_F(RelayServerTest, ManyDistinctClientsStayCheapAndExpire) {
    const quint16 port = startRelay();
    constexpr int kAgents = 2000;
    for (int i = 0; i < kAgents; ++i) {
        exchange(port,
                 httpRequest("GET", "/health", {{"User-Agent", "agent/" + QByteArray::number(i)}}));
    }
    ASSERT_TRUE(served(kAgents));
    // Bounded whatever the number of agents: the least recently seen make room.
    ASSERT_EQ(last->activeClients.size(), 1000u);
    EXPECT_EQ(last->activeClients.front().userAgent, "agent/1999");
    EXPECT_EQ(last->activeClients.back().userAgent, "agent/1000");

    clockMs += 301'000;
    const auto health = exchange(port, httpRequest("GET", "/health", {{"User-Agent", "agent/7"}}));
    EXPECT_EQ(QJsonDocument::fromJson(health.body).object()["activeClients"].toInt(), 1);
    ASSERT_TRUE(served(kAgents + 1));
    ASSERT_EQ(last->activeClients.size(), 1u);
    EXPECT_EQ(last->activeClients[0].requestCount, 1) << "its entry had expired";
}

TEST_F(RelayServerTest, OpenAiCompatibleCallsAreMeteredOrCountedAsUnmetered) {
    upstream.setHandler([](const test::FakeGeminiRequest& request) {
        FakeGeminiResponse response;
        if (!request.body.contains("\"stream\":true")) {
            response.body = R"({"choices":[],"usage":{"prompt_tokens":40,"completion_tokens":8}})";
            return response;
        }
        response.mode = FakeGeminiResponse::Mode::Streamed;
        response.headers = {{"Content-Type", "text/event-stream"}};
        response.chunks = {"data: {\"choices\":[{\"delta\":{\"content\":\"Hi\"}}]}\n\n",
                           "data: [DONE]\n\n"};
        return response;
    });
    const quint16 port = startRelay();
    const QByteArray path = "/v1beta/openai/chat/completions";
    const auto call = [&](const QByteArray& body) {
        return exchange(port, httpRequest("POST", path,
                                          {{"Authorization", "Bearer quotameter-work"},
                                           {"Content-Type", "application/json"}},
                                          body));
    };
    EXPECT_EQ(call(R"({"model":"gemini-2.5-flash","messages":[]})").status, 200);
    const auto streamed = call(R"({"model":"gemini-2.5-flash","messages":[],"stream":true})");
    EXPECT_EQ(streamed.status, 200);
    EXPECT_TRUE(streamed.body.contains("[DONE]"));
    ASSERT_TRUE(served(2));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].model, "gemini-2.5-flash");
    EXPECT_EQ(records[0].inputTokens, 40);
    EXPECT_EQ(records[0].outputTokens, 8);
    EXPECT_EQ(last->unmeteredRequests, 1);
    ASSERT_TRUE(waitUntil([&] { return logs.size() == 2; }));
    EXPECT_FALSE(logs[0].unmetered);
    EXPECT_TRUE(logs[1].unmetered);
    EXPECT_FALSE(logs[1].usage);
}

// An upstream answer is not trusted: absurd usage is refused with its reason.
TEST_F(RelayServerTest, HostileUsageFiguresAreUnmeteredWithTheReason) {
    upstream.setHandler([](const test::FakeGeminiRequest& request) {
        FakeGeminiResponse response;
        response.body = request.path.contains("negative")
                            ? FakeGeminiUpstream::answerJson(-5, 10)
                            : FakeGeminiUpstream::answerJson(20'000'000'000, 10);
        return response;
    });
    const quint16 port = startRelay();
    EXPECT_EQ(exchange(port, generate()).status, 200);
    EXPECT_EQ(exchange(port, generate("quotameter-work", "/v1beta/models/negative:generateContent"))
                  .status,
              200);
    ASSERT_TRUE(served(2));
    ASSERT_TRUE(waitUntil([&] { return logs.size() == 2; }));
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(last->unmeteredRequests, 2);
    for (const GeminiRelayRequestLog& log : logs) {
        EXPECT_TRUE(log.unmetered);
        EXPECT_FALSE(log.usage.has_value());
    }
    EXPECT_TRUE(logs[0].unmeteredReason.contains("above")) << logs[0].unmeteredReason.toStdString();
    EXPECT_TRUE(logs[1].unmeteredReason.contains("negative"));
}

TEST_F(RelayServerTest, AnswersNeverCarryTheRealKeyAndClientsStayBounded) {
    upstream.setHandler([](const test::FakeGeminiRequest&) {
        FakeGeminiResponse response;
        response.status = 302;
        response.headers = {{"Location", "https://elsewhere.example/v1beta/x?key=REAL-KEY&a=1"},
                            {"X-Debug", "called with REAL-KEY"}};
        return response;
    });
    const quint16 port = startRelay();
    const auto answer = exchange(port, generate());
    EXPECT_EQ(answer.status, 302);
    EXPECT_EQ(answer.header("location"),
              "https://elsewhere.example/v1beta/x?key=quotameter-work&a=1");
    EXPECT_EQ(answer.header("x-debug"), "called with quotameter-work");

    // A user agent is kept at 256 characters, in the client table and in the history.
    upstream.setHandler([](const test::FakeGeminiRequest&) {
        FakeGeminiResponse response;
        response.body = FakeGeminiUpstream::answerJson(10, 5);
        return response;
    });
    const QByteArray longAgent(5000, 'a');
    exchange(port, httpRequest("POST", kGenerate + "?key=quotameter-work",
                               {{"Content-Type", "application/json"}, {"User-Agent", longAgent}},
                               R"({"contents":[]})"));
    ASSERT_TRUE(served(2));
    ASSERT_TRUE(waitUntil([&] { return records.size() == 1; }));
    EXPECT_EQ(records[0].clientUserAgent->size(), 256);
    EXPECT_EQ(last->activeClients.front().userAgent.size(), 256);
}

}  // namespace
}  // namespace qm
