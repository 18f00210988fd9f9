#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>

#include <qcoro/qcorotask.h>

class QTcpSocket;

namespace qm {
class RelayConnection;
}

// Writing answers to a relay connection and ending it. Coroutine arguments are kept as named
// objects by the callers: GCC 12 can destroy temporaries inside a co_await expression twice.
namespace qm::RelayConnectionIo {

// Writes `bytes`, waiting while the client has more than a high-water mark unread. False when
// the connection is gone or was stopped.
QCoro::Task<bool> send(RelayConnection* connection, const QByteArray& bytes);

// `response` whole; a client that leaves meanwhile is noted as the failure.
QCoro::Task<> deliver(RelayConnection* connection, const QByteArray& response);

// An error answer of `status` carrying `message`.
QCoro::Task<> answer(RelayConnection* connection, int status, const QString& message);

// Fails the request: answers `status` when nothing has been sent yet, else cuts the
// connection so a half-sent answer is not taken for a whole one.
QCoro::Task<> fail(RelayConnection* connection, const QString& description, int status = 400);

// Flushes what is written, then closes; a client that stops reading for `timeout` is cut off.
QCoro::Task<> closeGracefully(RelayConnection* connection, std::chrono::milliseconds timeout);

// Ends the connection with a reset rather than an orderly close, so a client reading an
// answer without a length learns that it is incomplete.
void resetConnection(QTcpSocket* socket);

// Why the socket failed, "Connection closed." when it just went away.
QString socketFailureText(const QTcpSocket* socket);

}  // namespace qm::RelayConnectionIo
