#include <gtest/gtest.h>

#include <QSignalSpy>

#include "RelayTestClient.h"
#include "relay/GeminiRelayStore.h"
#include "support/FakeGeminiUpstream.h"
#include "support/QtPrinters.h"

namespace qm {
namespace {

using test::exchange;
using test::httpRequest;
using test::waitUntil;

class RelayStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(upstream.listen());
        options.upstreamBase = upstream.baseUrl();
        options.listenOnIpv6 = false;
    }

    std::unique_ptr<GeminiRelayStore> makeStore() {
        GeminiRelayEnvironment environment;
        environment.geminiAccounts = [this] { return accounts; };
        environment.readSecret = [](const QString&) {
            return GeminiRelayAccounts::SecretRead{QStringLiteral("REAL"), std::nullopt};
        };
        environment.recordUsage = [this](const GeminiUsageRecord& record) {
            records.push_back(record);
            return true;
        };
        return std::make_unique<GeminiRelayStore>(environment, options);
    }

    test::FakeGeminiUpstream upstream;
    GeminiRelayServerOptions options;
    std::vector<GeminiRelayAccounts::Candidate> accounts{
        {QStringLiteral("a1"), QStringLiteral("work"), false, std::nullopt}};
    std::vector<GeminiUsageRecord> records;
};

TEST_F(RelayStoreTest, PortRangeAndDefaultPort) {
    auto store = makeStore();
    EXPECT_EQ(store->port(), 47821);
    for (const int port : {0, 70000}) {
        store->start(port);
        EXPECT_FALSE(store->isRunning());
        EXPECT_EQ(store->lastError(), QStringLiteral("Port must be between 1 and 65535."));
        EXPECT_EQ(store->port(), 47821);
    }
}

TEST_F(RelayStoreTest, RunStopAndRunAgain) {
    auto store = makeStore();
    QSignalSpy changes(store.get(), &GeminiRelayStore::changed);
    store->startOnFreePort();
    ASSERT_TRUE(waitUntil([&] { return store->isRunning(); }));
    const int port = store->port();
    EXPECT_NE(port, 0);
    EXPECT_FALSE(store->lastError());
    EXPECT_TRUE(store->startedAt());
    EXPECT_GT(changes.count(), 0);

    // A second start, even on another port, changes nothing.
    store->start(port + 1);
    EXPECT_EQ(store->port(), port);

    const auto health = exchange(static_cast<quint16>(port), httpRequest("GET", "/health"));
    EXPECT_EQ(health.status, 200);
    EXPECT_TRUE(health.body.contains("\"accounts\":1"));
    const auto call = exchange(
        static_cast<quint16>(port),
        httpRequest("POST", "/v1beta/models/gemini-2.5-flash:generateContent?key=quotameter-work",
                    {}, "{}"));
    EXPECT_EQ(call.status, 200);
    ASSERT_TRUE(waitUntil([&] { return store->requestsServed() == 2; }));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].accountId, "a1");
    EXPECT_EQ(store->activeClients().size(), 1u);

    store->stop();
    EXPECT_FALSE(store->isRunning());
    EXPECT_FALSE(store->startedAt());
    EXPECT_EQ(store->requestsServed(), 2);
    // The closing snapshot arrives; the listener is gone.
    ASSERT_TRUE(waitUntil([&] {
        return exchange(static_cast<quint16>(port), httpRequest("GET", "/health"), 500).status == 0;
    }));

    // A fresh server on the same port, with counts of its own.
    store->start();
    ASSERT_TRUE(waitUntil([&] { return store->isRunning() && store->requestsServed() == 0; }));
    EXPECT_EQ(store->port(), port);
    EXPECT_EQ(exchange(static_cast<quint16>(port), httpRequest("GET", "/health")).status, 200);
    ASSERT_TRUE(waitUntil([&] { return store->requestsServed() == 1; }));
}

TEST_F(RelayStoreTest, DestroyingTheStoreKeepsARecordInFlight) {
    test::FakeGeminiResponse slow;
    slow.mode = test::FakeGeminiResponse::Mode::Streamed;
    slow.chunks = {test::FakeGeminiUpstream::sseEvent(3, 4)};
    slow.chunkIntervalMs = 0;
    upstream.setHandler([slow](const test::FakeGeminiRequest&) { return slow; });
    auto store = makeStore();
    store->startOnFreePort();
    ASSERT_TRUE(waitUntil([&] { return store->isRunning(); }));
    const int port = store->port();
    test::RelayTestClient client(
        static_cast<quint16>(port),
        httpRequest("POST",
                    "/v1beta/models/gemini-2.5-flash:streamGenerateContent?key=quotameter-work", {},
                    "{}"));
    ASSERT_TRUE(waitUntil([&] { return client.finished(); }));
    store.reset();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].outputTokens, 4);
}

}  // namespace
}  // namespace qm
