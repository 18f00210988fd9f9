#include "metrics/MetricsHttpServer.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

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

// The values of every Host header of `head`.
QList<QByteArray> hostHeaders(const QByteArray& head) {
    QList<QByteArray> hosts;
    const QList<QByteArray> lines = head.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0 && lines[i].left(colon).trimmed().toLower() == "host")
            hosts.push_back(lines[i].mid(colon + 1).trimmed());
    }
    return hosts;
}

// The host of a Host value without its port ("[::1]:9464" gives "::1"), lower-cased; nothing
// when the value is not a host with an optional port.
std::optional<QString> hostWithoutPort(const QByteArray& value) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^(?:\[([0-9a-f:.]+)\]|([a-z0-9.-]+))(?::[0-9]{1,5})?$)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(value));
    if (!match.hasMatch()) return std::nullopt;
    const QString host = match.hasCaptured(1) ? match.captured(1) : match.captured(2);
    return host.toLower();
}

// Whether a request naming `host` is meant for a listener on `listening`: the listening
// address itself, localhost, or, on an address other machines reach, this machine's name
// and (when listening on every address) any address of its own. A name a web page brought
// (DNS rebinding) is none of these.
bool namesListener(const QString& host, const QHostAddress& listening) {
    if (host == QLatin1String("localhost")) return true;
    static const QRegularExpression dottedQuad(QStringLiteral(R"(^\d{1,3}(\.\d{1,3}){3}$)"));
    const bool literal = host.contains(QLatin1Char(':')) || dottedQuad.match(host).hasMatch();
    if (!literal) {
        return !listening.isLoopback() &&
               host.compare(QHostInfo::localHostName(), Qt::CaseInsensitive) == 0;
    }
    const QHostAddress address(host);
    if (address.isNull()) return false;
    if (address.isEqual(listening, QHostAddress::ConvertV4MappedToIPv4)) return true;
    const bool everywhere = listening == QHostAddress::Any || listening == QHostAddress::AnyIPv4 ||
                            listening == QHostAddress::AnyIPv6;
    if (!everywhere) return false;
    if (address.isLoopback()) return true;
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.begin(), own.end(), [&](const QHostAddress& mine) {
        return mine.isEqual(address, QHostAddress::ConvertV4MappedToIPv4);
    });
}

}  // namespace

MetricsHttpServer::MetricsHttpServer(Producer producer, int requestTimeoutMs,
                                     int maxOpenConnections, QObject* parent)
    : QObject(parent),
      producer_(std::move(producer)),
      requestTimeoutMs_(requestTimeoutMs),
      maxOpenConnections_(maxOpenConnections) {
    connect(&server_, &QTcpServer::newConnection, this, &MetricsHttpServer::accept);
}

std::optional<QString> MetricsHttpServer::listen(const QHostAddress& address, quint16 port) {
    if (server_.listen(address, port)) return std::nullopt;
    return server_.errorString();
}

void MetricsHttpServer::accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        // Full: the oldest goes, so clients that hold connections open and say nothing can
        // only push one another out, never keep a newcomer out.
        if (open_ >= maxOpenConnections_) dropOldest();
        // Closed connections leave their places behind; they go before the list grows long.
        if (byAge_.size() > 2 * std::size_t(maxOpenConnections_))
            std::erase_if(byAge_, [](const QPointer<QTcpSocket>& open) { return open.isNull(); });
        ++open_;
        byAge_.emplace_back(socket);
        connect(socket, &QObject::destroyed, this, [this] { --open_; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        auto* deadline = new QTimer(socket);
        deadline->setObjectName(QStringLiteral("deadline"));
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        deadline->start(requestTimeoutMs_);
    }
}

void MetricsHttpServer::dropOldest() {
    while (!byAge_.empty()) {
        QPointer<QTcpSocket> oldest = byAge_.front();
        byAge_.pop_front();
        if (!oldest) continue;
        oldest->abort();
        // At once, outside any signal of its own: its place is free before the next accept.
        delete oldest.data();
        return;
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
    // The answer gets its own, longer time to be taken.
    if (auto* deadline = socket->findChild<QTimer*>(QStringLiteral("deadline")))
        deadline->start(kAnswerTimeoutMs);
    socket->write(reply);
    socket->disconnectFromHost();
}

QByteArray MetricsHttpServer::answer(const QByteArray& head) const {
    const qsizetype lineEnd = head.indexOf('\n');
    const QList<QByteArray> parts = head.left(lineEnd).trimmed().split(' ');
    if (parts.size() != 3 || !parts[2].startsWith("HTTP/1.")) return plain(400, "Bad Request");
    // No Host at all is an HTTP/1.0 client; a browser always names one.
    const QList<QByteArray> hosts = hostHeaders(head);
    if (hosts.size() > 1) return plain(400, "Bad Request");
    if (hosts.size() == 1) {
        const std::optional<QString> host = hostWithoutPort(hosts.front());
        if (!host) return plain(400, "Bad Request");
        if (!namesListener(*host, server_.serverAddress()))
            return plain(421, "Misdirected Request");
    }
    const QByteArray& method = parts[0];
    QByteArray path = parts[1];
    if (const qsizetype query = path.indexOf('?'); query >= 0) path.truncate(query);
    if (path != "/metrics") return plain(404, "Not Found");
    if (method != "GET") return plain(405, "Method Not Allowed", "Allow: GET\r\n");
    return response(200, "OK", kExpositionContentType, producer_());
}

}  // namespace qm::metrics
