#include "metrics/MetricsHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

#include "metrics/MetricsExposition.h"

namespace qm::metrics {
namespace {

QByteArray response(int status, const QByteArray& reason, const QByteArray& contentType,
                    const QByteArray& body, const QByteArray& extraHeaders = {}) {
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
           "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders +
           "Connection: close\r\n\r\n" + body;
}

QByteArray plain(int status, const QByteArray& reason, const QByteArray& extraHeaders = {}) {
    return response(status, reason, "text/plain; charset=utf-8", reason + '\n', extraHeaders);
}

// Where the head ends (just past its blank line), or -1 while it has not ended.
qsizetype headEnd(const QByteArray& bytes) {
    const qsizetype crlf = bytes.indexOf("\r\n\r\n");
    if (crlf >= 0) return crlf + 4;
    const qsizetype lf = bytes.indexOf("\n\n");
    return lf >= 0 ? lf + 2 : -1;
}

}  // namespace

MetricsHttpServer::MetricsHttpServer(Producer producer, int requestTimeoutMs, QObject* parent)
    : QObject(parent), producer_(std::move(producer)), requestTimeoutMs_(requestTimeoutMs) {
    connect(&server_, &QTcpServer::newConnection, this, &MetricsHttpServer::accept);
}

std::optional<QString> MetricsHttpServer::listen(const QHostAddress& address, quint16 port) {
    if (server_.listen(address, port)) return std::nullopt;
    return server_.errorString();
}

void MetricsHttpServer::accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        if (open_ >= kMaxOpenConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++open_;
        connect(socket, &QObject::destroyed, this, [this] { --open_; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        QTimer::singleShot(requestTimeoutMs_, socket, [socket] { socket->abort(); });
    }
}

void MetricsHttpServer::read(QTcpSocket* socket) {
    if (socket->property("answered").toBool()) {
        socket->readAll();  // anything after the one request is not read
        return;
    }
    const QByteArray pending = socket->peek(kMaxRequestBytes + 1);
    const qsizetype end = headEnd(pending);
    QByteArray reply;
    if (end >= 0 && end <= kMaxRequestBytes) {
        reply = answer(pending.left(end));
    } else if (pending.size() > kMaxRequestBytes) {
        reply = plain(431, "Request Header Fields Too Large");
    } else {
        return;  // the head is still arriving
    }
    socket->readAll();
    socket->setProperty("answered", true);
    socket->write(reply);
    socket->disconnectFromHost();
}

QByteArray MetricsHttpServer::answer(const QByteArray& head) const {
    const qsizetype lineEnd = head.indexOf('\n');
    const QList<QByteArray> parts = head.left(lineEnd).trimmed().split(' ');
    if (parts.size() != 3 || !parts[2].startsWith("HTTP/1.")) return plain(400, "Bad Request");
    const QByteArray& method = parts[0];
    QByteArray path = parts[1];
    if (const qsizetype query = path.indexOf('?'); query >= 0) path.truncate(query);
    if (path != "/metrics") return plain(404, "Not Found");
    if (method != "GET") return plain(405, "Method Not Allowed", "Allow: GET\r\n");
    return response(200, "OK", kExpositionContentType, producer_());
}

}  // namespace qm::metrics
