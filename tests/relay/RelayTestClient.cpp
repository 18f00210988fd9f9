#include "RelayTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

namespace qm::test {

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done()) return true;
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer elapsed;
    elapsed.start();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || elapsed.elapsed() > timeoutMs) loop.quit();
    });
    poll.start(2);
    loop.exec();
    return done();
}

QByteArray httpRequest(const QByteArray& method, const QByteArray& target,
                       const std::vector<std::pair<QByteArray, QByteArray>>& headers,
                       const QByteArray& body) {
    QByteArray out = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
    if (!body.isEmpty()) out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return out + "\r\n" + body;
}

RelayTestClient::RelayTestClient(quint16 port, QByteArray request, const QHostAddress& host)
    : request_(std::move(request)) {
    clock_.start();
    connect(&socket_, &QTcpSocket::connected, this, [this] { socket_.write(request_); });
    connect(&socket_, &QTcpSocket::readyRead, this, [this] {
        const QByteArray data = socket_.readAll();
        received_ += data;
        arrivals_.emplace_back(clock_.elapsed(), data.size());
        if (abortAfter_ >= 0 && received_.size() >= abortAfter_) {
            socket_.abort();
            finished_ = true;
        }
    });
    connect(&socket_, &QTcpSocket::errorOccurred, this, [this] { finished_ = true; });
    connect(&socket_, &QTcpSocket::disconnected, this, [this] { finished_ = true; });
    socket_.connectToHost(host, port);
}

int RelayTestClient::status() const {
    const QByteArray line = received_.left(received_.indexOf("\r\n"));
    return line.split(' ').value(1).toInt();
}

QByteArray RelayTestClient::header(const QByteArray& lowerName) const {
    const QByteArray head = received_.left(received_.indexOf("\r\n\r\n"));
    for (const QByteArray& line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).toLower() == lowerName) {
            return line.mid(colon + 1).trimmed();
        }
    }
    return {};
}

std::vector<QByteArray> RelayTestClient::headerNames() const {
    std::vector<QByteArray> names;
    const QByteArray head = received_.left(received_.indexOf("\r\n\r\n"));
    const QList<QByteArray> lines = head.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0) names.push_back(lines[i].left(colon));
    }
    return names;
}

QByteArray RelayTestClient::body() const {
    const qsizetype end = received_.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : received_.mid(end + 4);
}

PosixExchange posixExchange(quint16 port, const QByteArray& request, int timeoutMs) {
    PosixExchange out;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::send(fd, request.constData(), static_cast<size_t>(request.size()), 0) ==
                request.size()) {
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    out.received.append(buffer, n);
                    continue;
                }
                if (n == 0) out.cleanEnd = true;
                if (n < 0) out.reset = errno == ECONNRESET;
                break;
            }
        }
        ::close(fd);
        done = true;
    });
    waitUntil([&] { return done.load(); }, timeoutMs + 2000);
    reader.join();
    return out;
}

RawExchange exchange(quint16 port, const QByteArray& request, int timeoutMs) {
    auto client = std::make_shared<RelayTestClient>(port, request);
    waitUntil([&] { return client->finished(); }, timeoutMs);
    RawExchange out;
    out.finished = client->finished();
    out.status = client->status();
    out.raw = client->received();
    out.body = client->body();
    out.header = [client](const QByteArray& name) { return client->header(name); };
    return out;
}

}  // namespace qm::test
