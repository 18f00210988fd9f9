#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <deque>
#include <functional>
#include <optional>

class QTcpSocket;

namespace qm::metrics {

// Serves the exposition at GET /metrics and nothing else: 404 for another path, 405 for
// another method, 400 for what is not HTTP, 431 for a request head past a few kilobytes, 421
// for a Host that names neither the listening address nor localhost (a web page reaching the
// listener through a name of its own, as DNS rebinding does). One request per connection. A
// connection that sends no whole request head within a couple of seconds is closed, and past a
// bound of open connections the oldest is closed to make room, so clients that connect and say
// nothing can neither use up the process's files nor keep a scrape out. The body is produced afresh
// for every scrape, on the thread that owns the server.
class MetricsHttpServer : public QObject {
    Q_OBJECT

public:
    using Producer = std::function<QByteArray()>;

    static constexpr qsizetype kMaxRequestBytes = 8192;
    static constexpr int kRequestTimeoutMs = 2'000;
    // How long a client has to take its answer once it is sent.
    static constexpr int kAnswerTimeoutMs = 30'000;
    static constexpr int kMaxOpenConnections = 256;

    explicit MetricsHttpServer(Producer producer, int requestTimeoutMs = kRequestTimeoutMs,
                               int maxOpenConnections = kMaxOpenConnections,
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
    // Closes the connection accepted first that is still open.
    void dropOldest();

    Producer producer_;
    int requestTimeoutMs_;
    int maxOpenConnections_;
    int open_ = 0;
    // Open connections in the order they came, for dropOldest(); closed ones read as null.
    std::deque<QPointer<QTcpSocket>> byAge_;
    // Last, so its connections (which count themselves out of `open_`) go first.
    QTcpServer server_;
};

}  // namespace qm::metrics
