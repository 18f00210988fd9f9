// The three windows offscreen, on real stores:
//   - the trends window opening (built, shown and painted) over a 100 000-record history;
//   - the time from a new relay record to the trends window showing it, and the longest
//     single step of the interface thread on the way (append, event-loop turn or paint);
//   - the accounts window opening with 50 accounts;
//   - the relay's metered requests per second at 32 clients with its window open and closed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <QApplication>
#include <QDateTime>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "accounts/AccountStore.h"
#include "accounts/MemorySecretBackend.h"
#include "gui/accounts/AccountsWindow.h"
#include "gui/relay/RelayWindow.h"
#include "gui/trends/TrendSection.h"
#include "gui/trends/TrendsWindow.h"
#include "history/UsageHistoryStore.h"
#include "relay/GeminiRelayStore.h"
#include "relay/GeminiRelayStoreEnvironment.h"
#include "support/FakeGeminiUpstream.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// 40 000 relay records and 40 000 API records over 90 days, 20 000 Claude snapshots over 30.
qm::UsageHistoryData largeHistory(std::int64_t now) {
    qm::UsageHistoryData data;
    const std::int64_t day = 86'400'000;
    for (int i = 0; i < 40000; ++i) {
        const std::int64_t at = now - 89 * day + std::int64_t(i) * (89 * day / 40000);
        data.geminiRecords.push_back({at, "bench", "gemini-2.5-flash", 1200, 300, 0, 0, 0, 0.0011,
                                      400, "relay", std::nullopt});
        data.apiRecords.push_back(
            {at, i % 3 ? "openai" : "anthropic", "acct", "model", 1000, 100, 50, 0.01});
    }
    for (int i = 0; i < 20000; ++i) {
        const std::int64_t at = now - 29 * day + std::int64_t(i) * (29 * day / 20000);
        data.claudeSnapshots.push_back(
            {at, double(i % 100), double(i % 70), double(i % 40), "Opus"});
    }
    return data;
}

void benchTrends(const QString& folder) {
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    const QString path = qm::UsageHistoryFileStore::pathIn(folder);
    qm::UsageHistoryFileStore(path).save(largeHistory(now));
    qm::UsageHistoryStore history{qm::UsageHistoryFileStore(path)};
    history.flush();

    std::vector<double> opens;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        qm::gui::TrendsWindow window(&history);
        window.resize(900, 700);
        window.show();
        QApplication::processEvents();
        window.repaint();
        opens.push_back(msSince(start));
    }
    std::printf("trends_open_100k_records_median_ms: %.1f ms\n", median(opens));
    std::printf("trends_open_100k_records_max_ms: %.1f ms\n",
                *std::max_element(opens.begin(), opens.end()));

    qm::gui::TrendsWindow window(&history);
    window.resize(900, 700);
    window.show();
    QApplication::processEvents();
    auto* gemini = window.findChild<qm::gui::TrendSection*>(QStringLiteral("geminiSection"));
    std::vector<double> reflects;
    double longestStep = 0;
    for (int run = 0; run < 20; ++run) {
        QThread::msleep(120);  // past the redraw interval: each record is a fresh change
        QApplication::processEvents();
        const QString before = gemini->subtitle();
        const auto start = Clock::now();
        auto step = Clock::now();
        history.appendGeminiRecord({QDateTime::currentMSecsSinceEpoch(), "bench",
                                    "gemini-2.5-flash", 1200, 300, 0, 0, 0, 0.5, 400, "relay",
                                    std::nullopt});
        longestStep = std::max(longestStep, msSince(step));
        while (gemini->subtitle() == before) {
            step = Clock::now();
            QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            longestStep = std::max(longestStep, msSince(step));
        }
        // The repaint of what changed, as the event loop does it.
        step = Clock::now();
        QApplication::processEvents();
        longestStep = std::max(longestStep, msSince(step));
        reflects.push_back(msSince(start));
    }
    history.flush();
    std::printf("trends_new_record_reflect_median_ms: %.1f ms\n", median(reflects));
    std::printf("trends_new_record_reflect_max_ms: %.1f ms\n",
                *std::max_element(reflects.begin(), reflects.end()));
    std::printf("trends_new_record_longest_ui_step_ms: %.1f ms\n", longestStep);
}

void benchAccounts(const QString& folder) {
    qm::AccountStore accounts(qm::AccountConfigStore(qm::AccountConfigStore::pathIn(folder)),
                              qm::KeychainStore(std::make_shared<qm::MemorySecretBackend>()));
    for (int i = 0; i < 50; ++i) {
        accounts.addAccount(qm::kAllApiAccountProviders[0], QStringLiteral("account %1").arg(i),
                            QStringLiteral("AIza-bench-key-%1").arg(i), QStringLiteral("proj"));
    }
    qm::UsageHistoryStore history{
        qm::UsageHistoryFileStore(qm::UsageHistoryFileStore::pathIn(folder))};
    qm::GeminiRelayStore relay{qm::GeminiRelayEnvironment{}};
    std::vector<double> opens;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        qm::gui::AccountsWindow window(&accounts, &relay, &history, {});
        window.resize(900, 700);
        window.show();
        QApplication::processEvents();
        window.repaint();
        opens.push_back(msSince(start));
    }
    std::printf("accounts_open_50_accounts_median_ms: %.1f ms\n", median(opens));
    std::printf("accounts_open_50_accounts_max_ms: %.1f ms\n",
                *std::max_element(opens.begin(), opens.end()));
}

// One metered generateContent on a fresh connection; true for a complete 2xx answer.
bool generate(quint16 port) {
    static const std::string text =
        "POST /v1beta/models/gemini-2.5-flash:generateContent HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "x-goog-api-key: quotameter-bench\r\nUser-Agent: bench/1\r\n"
        "Content-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A request that stalls counts as failed instead of stopping the whole measurement.
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    std::string answer;
    char buffer[16384];
    // Until the announced length has arrived (or the relay closes).
    for (ssize_t n = 0; ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        answer.append(buffer, std::size_t(n));
        const std::size_t headEnd = answer.find("\r\n\r\n");
        const std::size_t at = answer.find("Content-Length: ");
        if (headEnd != std::string::npos && at != std::string::npos && at < headEnd &&
            answer.size() >= headEnd + 4 + std::stoul(answer.substr(at + 16))) {
            break;
        }
    }
    ::close(fd);
    return ok && answer.rfind("HTTP/1.1 2", 0) == 0;
}

double throughput(quint16 port, int clients, double seconds) {
    std::atomic<long> done{0};
    std::atomic<long> failed{0};
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            while (Clock::now() < end) {
                if (generate(port)) {
                    ++done;
                } else {
                    ++failed;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    if (failed) std::fprintf(stderr, "%ld requests failed or stalled\n", failed.load());
    return double(done) / msSince(start) * 1000.0;
}

int benchRelay(QApplication& app, const QString& folder) {
    QThread upstreamThread;
    upstreamThread.start();
    auto* upstream = new qm::test::FakeGeminiUpstream([](const qm::test::FakeGeminiRequest&) {
        qm::test::FakeGeminiResponse response;
        response.body = qm::test::FakeGeminiUpstream::answerJson(12, 30);
        return response;
    });
    upstream->moveToThread(&upstreamThread);
    bool listening = false;
    QMetaObject::invokeMethod(
        upstream, [&] { listening = upstream->listen(); }, Qt::BlockingQueuedConnection);
    if (!listening) return 1;

    qm::AccountStore accounts(qm::AccountConfigStore(qm::AccountConfigStore::pathIn(folder)),
                              qm::KeychainStore(std::make_shared<qm::MemorySecretBackend>()));
    accounts.addAccount(qm::kAllApiAccountProviders[0], QStringLiteral("bench"),
                        QStringLiteral("AIza-real"), std::nullopt);
    qm::UsageHistoryStore history{
        qm::UsageHistoryFileStore(qm::UsageHistoryFileStore::pathIn(folder))};
    qm::GeminiRelayServerOptions options;
    options.upstreamBase = upstream->baseUrl();
    options.listenOnIpv6 = false;
    qm::GeminiRelayStore relay(qm::relayEnvironment(accounts, history), options);
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    relay.start(port);
    std::unique_ptr<qm::gui::RelayWindow> window;

    std::thread bench([&] {
        // The store belongs to the main thread; ask it there.
        const auto running = [&] {
            bool answer = false;
            QMetaObject::invokeMethod(
                &app, [&] { answer = relay.isRunning(); }, Qt::BlockingQueuedConnection);
            return answer;
        };
        for (int wait = 0; !running(); ++wait) {
            if (wait == 500) {
                std::fprintf(stderr, "the relay did not start\n");
                std::exit(1);
            }
            QThread::msleep(10);
        }
        throughput(port, 32, 0.5);  // warm-up
        // Short rounds: every request takes a loopback port that then waits out TIME_WAIT, and
        // the range holds about 28 000 of them.
        const double closedRps = throughput(port, 32, 2);
        QMetaObject::invokeMethod(
            &app,
            [&] {
                window = std::make_unique<qm::gui::RelayWindow>(&relay);
                window->resize(900, 600);
                window->show();
            },
            Qt::BlockingQueuedConnection);
        const double openRps = throughput(port, 32, 2);
        QMetaObject::invokeMethod(
            &app, [&] { window.reset(); }, Qt::BlockingQueuedConnection);
        std::printf("relay_metered_rps_32_clients_window_closed: %.0f req/s\n", closedRps);
        std::printf("relay_metered_rps_32_clients_window_open: %.0f req/s\n", openRps);
        std::printf("relay_window_open_throughput_ratio: %.1f %%\n", openRps / closedRps * 100);
        std::fflush(stdout);
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    bench.join();
    relay.stop();
    QMetaObject::invokeMethod(
        upstream, [upstream] { delete upstream; }, Qt::BlockingQueuedConnection);
    upstreamThread.quit();
    upstreamThread.wait();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir trends, accounts, relay;
    if (!qEnvironmentVariableIsSet("QM_BENCH_RELAY_ONLY")) {
        benchTrends(trends.path());
        benchAccounts(accounts.path());
    }
    std::fflush(stdout);
    return benchRelay(app, relay.path());
}
