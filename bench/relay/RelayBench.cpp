// The relay measured against calling the fake Gemini upstream directly, all on loopback:
//   - latency a small buffered generateContent gains through the relay (median, 99th pct.);
//   - requests per second with 32 clients, for a call that is not metered and for a metered
//     generateContent with 10 000 records already in the history (each one saved);
//   - for a streamed answer, the delay from an event leaving the upstream to reaching the
//     client.
// The upstream runs on a thread of its own, the relay on its own thread with its callbacks on
// the main thread (as in the application), and the clients are plain blocking sockets.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include "support/FakeGeminiUpstream.h"

namespace {

using Clock = std::chrono::steady_clock;
using qm::test::FakeGeminiResponse;

const std::string kGenerate = "/v1beta/models/gemini-2.5-flash:generateContent";
const std::string kModels = "/v1beta/models";
const std::string kStream = "/v1beta/models/gemini-2.5-flash:streamGenerateContent?alt=sse";
constexpr int kStreamEvents = 40;
constexpr int kStreamIntervalMs = 5;

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const std::size_t at = std::min(values.size() - 1, std::size_t(p * double(values.size())));
    return values[at];
}

std::string request(const std::string& method, const std::string& target, bool withKey) {
    const std::string body = method == "POST" ? R"({"contents":[{"parts":[{"text":"hi"}]}]})" : "";
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (withKey) text += "x-goog-api-key: quotameter-default\r\n";
    text += "User-Agent: bench/1\r\nContent-Type: application/json\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return text;
}

// One request on a fresh connection; reads until the answer is complete (its length, the end
// of a chunked body, or the peer closing). `onBytes` sees every read as it arrives.
template <typename OnBytes>
bool exchange(quint16 port, const std::string& text, OnBytes onBytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size())) {
        ::close(fd);
        return false;
    }
    std::string answer;
    char buffer[65536];
    bool ok = false;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ok = n == 0 && answer.rfind("HTTP/1.1 2", 0) == 0;
            break;
        }
        answer.append(buffer, std::size_t(n));
        onBytes(std::string_view(buffer, std::size_t(n)));
        const std::size_t headEnd = answer.find("\r\n\r\n");
        if (headEnd == std::string::npos) continue;
        const std::string head = answer.substr(0, headEnd);
        std::string lower(head);
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        if (const std::size_t at = lower.find("content-length: "); at != std::string::npos) {
            const std::size_t length = std::stoul(lower.substr(at + 16));
            if (answer.size() >= headEnd + 4 + length) {
                ok = head.rfind("HTTP/1.1 2", 0) == 0;
                break;
            }
        } else if (lower.find("transfer-encoding: chunked") != std::string::npos &&
                   answer.size() >= 5 && answer.compare(answer.size() - 5, 5, "0\r\n\r\n") == 0) {
            ok = head.rfind("HTTP/1.1 2", 0) == 0;
            break;
        }
    }
    ::close(fd);
    return ok;
}

bool exchange(quint16 port, const std::string& text) {
    return exchange(port, text, [](std::string_view) {});
}

struct Latency {
    double median = 0;
    double p99 = 0;
};

Latency sequential(quint16 port, const std::string& text, int count) {
    std::vector<double> times;
    times.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!exchange(port, text)) std::fprintf(stderr, "request failed\n");
        times.push_back(msBetween(start, Clock::now()));
    }
    return {percentile(times, 0.5), percentile(times, 0.99)};
}

double throughput(quint16 port, const std::string& text, int clients, double seconds) {
    std::atomic<long> done{0};
    std::atomic<long> failed{0};
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            while (Clock::now() < end) {
                if (exchange(port, text)) {
                    ++done;
                } else {
                    ++failed;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    if (failed) std::fprintf(stderr, "%ld requests failed\n", failed.load());
    return double(done) / msBetween(start, Clock::now()) * 1000.0;
}

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
    upstream->moveToThread(&upstreamThread);
    bool listening = false;
    QMetaObject::invokeMethod(
        upstream, [&] { listening = upstream->listen(); }, Qt::BlockingQueuedConnection);
    if (!listening) {
        std::fprintf(stderr, "the fake upstream could not listen\n");
        return 1;
    }

    // A history of 10 000 relay records, so each metered call saves a file of that size.
    const QString historyPath = qm::UsageHistoryFileStore::pathIn(data.path());
    {
        qm::UsageHistoryData seed;
        const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
        for (int i = 0; i < 10000; ++i) {
            seed.geminiRecords.push_back({now - (10000 - i) * 60'000LL, "bench-account",
                                          "gemini-2.5-flash", 12, 30, 0, 0, 0, 0.0001, 40, "relay",
                                          std::nullopt});
        }
        qm::UsageHistoryFileStore(historyPath).save(seed);
    }
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
        history.appendGeminiRecord(record);
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
