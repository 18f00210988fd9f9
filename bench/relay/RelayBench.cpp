// The relay measured against calling the fake Gemini upstream directly, all on loopback:
//   - latency a small buffered generateContent gains through the relay (median, 99th pct.);
//   - requests per second with 32 clients, for a call that is not metered and for a metered
//     generateContent with 10 000 records already in the history (each one saved);
//   - for a streamed answer, the delay from an event leaving the upstream to reaching the
//     client.
// The upstream runs on a thread of its own, the relay on its own thread with its callbacks on
// the main thread (as in the application), and the clients are plain blocking sockets.

#include <QCoreApplication>
#include <QCoroTask>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "history/UsageHistoryStore.h"
#include "relay/GeminiRelayServer.h"
#include "relay/LoopbackClient.h"
#include "relay/RelayBenchSetup.h"
#include "support/FakeGeminiUpstream.h"

namespace {

using namespace qm::bench;
using qm::test::FakeGeminiResponse;

// Event i leaves the upstream at sent[i]; the client sees its "data: " line at seen[i].
std::vector<double> streamDelays(quint16 port, std::vector<Clock::time_point>& sent,
                                 std::mutex& sentLock, bool withKey) {
    {
        std::lock_guard lock(sentLock);
        sent.clear();
    }
    std::vector<Clock::time_point> seen;
    std::string carry;
    exchange(port, request("POST", kStream, withKey), [&](std::string_view bytes) {
        const auto now = Clock::now();
        carry.append(bytes);
        std::size_t at = 0;
        while ((at = carry.find("data: ", at)) != std::string::npos) {
            seen.push_back(now);
            at += 6;
        }
        carry = carry.substr(carry.size() > 5 ? carry.size() - 5 : 0);
    });
    std::lock_guard lock(sentLock);
    std::vector<double> delays;
    for (std::size_t i = 0; i < std::min(sent.size(), seen.size()); ++i)
        delays.push_back(msBetween(sent[i], seen[i]));
    return delays;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir data;

    QThread upstreamThread;
    upstreamThread.start();
    auto* upstream = new qm::test::FakeGeminiUpstream([](const qm::test::FakeGeminiRequest& r) {
        FakeGeminiResponse response;
        if (r.path.contains(QLatin1String(":streamGenerateContent"))) {
            response.mode = FakeGeminiResponse::Mode::Streamed;
            response.headers = {{"Content-Type", "text/event-stream"}};
            for (int i = 0; i < kStreamEvents; ++i)
                response.chunks.push_back(qm::test::FakeGeminiUpstream::sseEvent(12, i + 1));
            response.chunkIntervalMs = kStreamIntervalMs;
        } else if (r.path.contains(QLatin1String(":generateContent"))) {
            response.body = qm::test::FakeGeminiUpstream::answerJson(12, 30);
        } else {
            response.body = R"({"models":[{"name":"models/gemini-2.5-flash"}]})";
        }
        return response;
    });
    std::vector<Clock::time_point> sent;
    std::mutex sentLock;
    upstream->onChunkWritten = [&](int) {
        std::lock_guard lock(sentLock);
        sent.push_back(Clock::now());
    };
    if (!listenOnThread(upstream, upstreamThread)) return 1;

    // A history of 10 000 relay records, so each metered call saves a file of that size.
    const QString historyPath = qm::UsageHistoryFileStore::pathIn(data.path());
    seedRelayHistory(historyPath, 10000);
    qm::UsageHistoryStore history{qm::UsageHistoryFileStore(historyPath)};

    const std::vector<qm::GeminiRelayAccounts::Candidate> accounts{
        {"bench-account", "Bench", true, std::nullopt}};
    qm::GeminiRelayServerCallbacks callbacks;
    callbacks.accountResolver = [&](const std::optional<QString>& credential) {
        return qm::GeminiRelayAccounts::resolveAccount(credential, accounts, [](const QString&) {
            return qm::GeminiRelayAccounts::SecretRead{QStringLiteral("real-key"), std::nullopt};
        });
    };
    callbacks.usageRecorder = [&](const qm::GeminiUsageRecord& record) {
        return history.appendGeminiRecord(record) == qm::UsageHistoryStore::Outcome::saved;
    };
    callbacks.accountCountProvider = [&] { return int(accounts.size()); };
    qm::GeminiRelayServerOptions options;
    options.upstreamBase = upstream->baseUrl();
    options.listenOnIpv6 = false;
    qm::GeminiRelayServer relay(0, callbacks, options);
    if (const auto error = QCoro::waitFor(relay.start())) {
        std::fprintf(stderr, "the relay could not start: %s\n", qPrintable(error->description()));
        return 1;
    }
    const quint16 relayPort = quint16(relay.port());
    const quint16 upstreamPort = upstream->port();

    // The measurements run on their own thread while this one serves the relay's callbacks.
    std::thread bench([&] {
        const std::string generate = request("POST", kGenerate, true);
        exchange(upstreamPort, generate);
        exchange(relayPort, generate);
        const Latency direct = sequential(upstreamPort, generate, 1000);
        const Latency relayed = sequential(relayPort, generate, 1000);
        std::printf("relay_generate_direct_median_ms: %.3f ms\n", direct.median);
        std::printf("relay_generate_relayed_median_ms: %.3f ms\n", relayed.median);
        std::printf("relay_added_latency_median_ms: %.3f ms\n", relayed.median - direct.median);
        std::printf("relay_added_latency_p99_ms: %.3f ms\n", relayed.p99 - direct.p99);

        const std::string models = request("GET", kModels, true);
        const Latency directModels = sequential(upstreamPort, models, 1000);
        const Latency relayedModels = sequential(relayPort, models, 1000);
        std::printf("relay_added_latency_unmetered_median_ms: %.3f ms\n",
                    relayedModels.median - directModels.median);
        std::printf("relay_added_latency_unmetered_p99_ms: %.3f ms\n",
                    relayedModels.p99 - directModels.p99);
        std::printf("relay_direct_rps_32_clients: %.0f req/s\n",
                    throughput(upstreamPort, models, 32, 3));
        std::printf("relay_unmetered_rps_32_clients: %.0f req/s\n",
                    throughput(relayPort, models, 32, 3));
        const std::size_t before = history.geminiUsageRecords().size();
        std::printf("relay_metered_rps_32_clients_10k_history: %.0f req/s\n",
                    throughput(relayPort, generate, 32, 3));
        QThread::msleep(500);  // the last records reach the history
        std::printf("relay_metered_records_added: %zu\n",
                    history.geminiUsageRecords().size() - before);

        std::vector<double> directDelays, relayDelays;
        for (int i = 0; i < 5; ++i) {
            for (double d : streamDelays(upstreamPort, sent, sentLock, true))
                directDelays.push_back(d);
            for (double d : streamDelays(relayPort, sent, sentLock, true)) relayDelays.push_back(d);
        }
        if (directDelays.empty() || relayDelays.empty()) {
            std::fprintf(stderr, "no streamed events arrived\n");
        } else {
            std::printf("relay_stream_event_delay_direct_median_ms: %.3f ms\n",
                        percentile(directDelays, 0.5));
            std::printf("relay_stream_event_delay_median_ms: %.3f ms\n",
                        percentile(relayDelays, 0.5));
            std::printf("relay_stream_event_delay_p99_ms: %.3f ms\n",
                        percentile(relayDelays, 0.99));
            std::printf("relay_stream_events_seen: %zu of %d\n", relayDelays.size(),
                        5 * kStreamEvents);
        }
        std::fflush(stdout);
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    bench.join();
    QCoro::waitFor(relay.stop());
    QMetaObject::invokeMethod(
        upstream, [upstream] { delete upstream; }, Qt::BlockingQueuedConnection);
    upstreamThread.quit();
    upstreamThread.wait();
    return 0;
}
