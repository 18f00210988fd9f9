#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

namespace qm::test {

// Sends `bytes` to a server on `address`:`port` over a real socket and returns all it answered
// before it closed the connection.
inline QByteArray exchangeWith(const QHostAddress& address, quint16 port, const QByteArray& bytes,
                               int timeoutMs = 60000) {
    QTcpSocket socket;
    socket.connectToHost(address, port);
    EXPECT_TRUE(socket.waitForConnected(5000));
    socket.write(bytes);
    QByteArray answer;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs));
    return answer + socket.readAll();
}

}  // namespace qm::test
