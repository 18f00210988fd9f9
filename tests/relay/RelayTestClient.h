#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>
#include <functional>
#include <map>
#include <vector>

namespace qm::test {

// Runs the event loop (so the relay's callbacks on this thread can run) until `done` holds
// or the time is up; returns whether it held.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000);

QByteArray httpRequest(const QByteArray& method, const QByteArray& target,
                       const std::vector<std::pair<QByteArray, QByteArray>>& headers = {},
                       const QByteArray& body = {});

// A raw TCP client: sends bytes and collects everything until the server closes.
class RelayTestClient : public QObject {
    Q_OBJECT

public:
    RelayTestClient(quint16 port, QByteArray request,
                    const QHostAddress& host = QHostAddress::LocalHost);

    // Disappear (reset the connection) once this many bytes have arrived.
    void abortAfter(qint64 bytes) { abortAfter_ = bytes; }

    bool finished() const { return finished_; }
    const QByteArray& received() const { return received_; }
    // Milliseconds since the client started, for each block received.
    const std::vector<std::pair<qint64, qint64>>& arrivals() const { return arrivals_; }

    int status() const;
    QByteArray header(const QByteArray& lowerName) const;
    std::vector<QByteArray> headerNames() const;  // in order, as sent
    QByteArray body() const;

private:
    QTcpSocket socket_;
    QByteArray request_;
    QByteArray received_;
    std::vector<std::pair<qint64, qint64>> arrivals_;
    QElapsedTimer clock_;
    qint64 abortAfter_ = -1;
    bool finished_ = false;
};

struct RawExchange {
    int status = 0;
    QByteArray raw;
    QByteArray body;
    bool finished = false;
    std::function<QByteArray(const QByteArray&)> header;
};

// Sends one request and waits for the whole answer.
RawExchange exchange(quint16 port, const QByteArray& request, int timeoutMs = 10000);

// The same with a plain blocking socket on a helper thread, which, unlike QTcpSocket, tells
// a connection reset from an orderly close.
struct PosixExchange {
    QByteArray received;
    bool cleanEnd = false;
    bool reset = false;
};
PosixExchange posixExchange(quint16 port, const QByteArray& request, int timeoutMs = 10000);

}  // namespace qm::test
