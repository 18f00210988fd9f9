#include "relay/RelayConnectionIo.h"

#include <sys/socket.h>

#include <QTcpSocket>

#include "relay/GeminiRelayHttp.h"
#include "relay/RelayConnection.h"

namespace qm::RelayConnectionIo {
namespace {

// Bytes handed to a client socket before the relay waits for it to drain.
constexpr qint64 kSendHighWater = 1024 * 1024;

}  // namespace

QCoro::Task<bool> send(RelayConnection* connection, const QByteArray& bytes) {
    if (connection->cancelled() || !connection->socketOpen()) co_return false;
    if (!connection->headSent && bytes.startsWith("HTTP/1.1 ") && bytes.size() >= 12)
        connection->status = bytes.mid(9, 3).toInt();
    if (connection->socket()->write(bytes) != bytes.size()) co_return false;
    connection->headSent = true;
    while (connection->socket()->bytesToWrite() > kSendHighWater) {
        if (connection->cancelled() || !connection->socketOpen()) co_return false;
        co_await connection->changed();
    }
    co_return !connection->cancelled() && connection->socketOpen();
}

QCoro::Task<> deliver(RelayConnection* connection, const QByteArray& response) {
    if (!co_await send(connection, response)) {
        connection->noteFailure(socketFailureText(connection->socket()));
    }
}

QCoro::Task<> answer(RelayConnection* connection, int status, const QString& message) {
    const QByteArray response = GeminiRelayHttp::errorResponse(status, message);
    co_await deliver(connection, response);
}

QCoro::Task<> fail(RelayConnection* connection, const QString& description, int status) {
    connection->noteFailure(description);
    if (connection->headSent) {
        // Part of an answer is out; a 400 now would corrupt it. Cut the connection instead
        // so the client sees the answer as broken rather than complete.
        resetConnection(connection->socket());
        co_return;
    }
    const QByteArray response = GeminiRelayHttp::errorResponse(status, description);
    co_await send(connection, response);
}

QCoro::Task<> closeGracefully(RelayConnection* connection, std::chrono::milliseconds timeout) {
    QTcpSocket* socket = connection->socket();
    if (connection->cancelled() || socket->state() == QAbstractSocket::UnconnectedState) co_return;
    connection->startReadDeadline(timeout);
    socket->disconnectFromHost();
    while (socket->state() != QAbstractSocket::UnconnectedState && !connection->cancelled() &&
           !connection->readTimedOut()) {
        co_await connection->changed();
    }
    connection->stopReadDeadline();
    if (socket->state() != QAbstractSocket::UnconnectedState) socket->abort();
}

void resetConnection(QTcpSocket* socket) {
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0) {
        const linger hard{1, 0};
        ::setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    socket->abort();
}

QString socketFailureText(const QTcpSocket* socket) {
    if (socket->error() == QAbstractSocket::UnknownSocketError) {
        return GeminiRelayServerError::connectionClosed().description();
    }
    return socket->errorString();
}

}  // namespace qm::RelayConnectionIo
