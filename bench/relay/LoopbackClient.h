#pragma once

// Plain blocking loopback HTTP clients for the relay benchmarks: one request per connection,
// sequential latency and many-client throughput.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qm::bench {

using Clock = std::chrono::steady_clock;
inline const std::string kGenerate = "/v1beta/models/gemini-2.5-flash:generateContent";
inline const std::string kModels = "/v1beta/models";
inline const std::string kStream = "/v1beta/models/gemini-2.5-flash:streamGenerateContent?alt=sse";
inline constexpr int kStreamEvents = 40;
inline constexpr int kStreamIntervalMs = 5;

inline double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

inline double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const std::size_t at = std::min(values.size() - 1, std::size_t(p * double(values.size())));
    return values[at];
}

inline std::string request(const std::string& method, const std::string& target, bool withKey) {
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
inline bool exchange(quint16 port, const std::string& text, OnBytes onBytes) {
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

inline bool exchange(quint16 port, const std::string& text) {
    return exchange(port, text, [](std::string_view) {});
}

struct Latency {
    double median = 0;
    double p99 = 0;
};

inline Latency sequential(quint16 port, const std::string& text, int count) {
    std::vector<double> times;
    times.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!exchange(port, text)) std::fprintf(stderr, "request failed\n");
        times.push_back(msBetween(start, Clock::now()));
    }
    return {percentile(times, 0.5), percentile(times, 0.99)};
}

// Requests per second; `served`, when given, receives the number that succeeded.
inline double throughput(quint16 port, const std::string& text, int clients, double seconds,
                         std::atomic<long>* served = nullptr) {
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
    if (served) *served = done.load();
    return double(done) / msBetween(start, Clock::now()) * 1000.0;
}

}  // namespace qm::bench
