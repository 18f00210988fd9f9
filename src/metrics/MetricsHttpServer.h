#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <functional>
#include <optional>

class QTcpSocket;

namespace qm::metrics {

// Serves the exposition at GET /metrics and nothing else: 404 for another path, 405 for
// another method, 400 for what is not HTTP, 431 for a request head past a few kilobytes, and
// a connection that sends no whole request in time is closed. One request per connection, and
// a bounded number open at once: past that, new connections are closed unanswered, so clients
// that connect and say nothing cannot use up the process's files.
// The body is produced afresh for every scrape, on the thread that owns the server.
class MetricsHttpServer : public QObject {
    Q_OBJECT

public:
    using Producer = std::function<QByteArray()>;

    static constexpr qsizetype kMaxRequestBytes = 8192;
    static constexpr int kRequestTimeoutMs = 10'000;
    static constexpr int kMaxOpenConnections = 32;

    explicit MetricsHttpServer(Producer producer, int requestTimeoutMs = kRequestTimeoutMs,
                               QObject* parent = nullptr);

    // The system's text when the address cannot be listened on. Port 0 takes a free one.
    std::optional<QString> listen(const QHostAddress& address, quint16 port);
    quint16 port() const { return server_.serverPort(); }
    // Connections accepted and not yet closed.
    int openConnections() const { return open_; }

    // The whole answer (status line, headers, body) to the request head `head`.
    QByteArray answer(const QByteArray& head) const;

private:
    void accept();
    void read(QTcpSocket* socket);

    Producer producer_;
    int requestTimeoutMs_;
    int open_ = 0;
    // Last, so its connections (which count themselves out of `open_`) go first.
    QTcpServer server_;
};

}  // namespace qm::metrics
