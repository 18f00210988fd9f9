#include <gtest/gtest.h>

#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <memory>
#include <vector>

#include "metrics/MetricsHttpServer.h"

namespace qm::metrics {
namespace {

// The exporter's listener driven over real loopback sockets.
class MetricsHttpServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(server.listen(QHostAddress::LocalHost, 0), std::nullopt); }

    // Sends `bytes` and returns all the server answered before it closed.
    QByteArray exchange(const QByteArray& bytes) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        EXPECT_TRUE(socket.waitForConnected(5000));
        socket.write(bytes);
        QByteArray answer;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                answer += socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            15000));
        return answer + socket.readAll();
    }

    int scrapes = 0;
    MetricsHttpServer server{[this] {
                                 ++scrapes;
                                 return QByteArray("quotameter_up ") + QByteArray::number(scrapes) +
                                        '\n';
                             },
                             1000};
};

TEST_F(MetricsHttpServerTest, ServesAFreshExpositionPerScrapeAtMetricsOnly) {
    const QByteArray first = exchange("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(first.startsWith("HTTP/1.1 200 OK\r\n")) << first.toStdString();
    EXPECT_TRUE(first.contains("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
    EXPECT_TRUE(first.contains("\r\nContent-Length: 16\r\n"));
    EXPECT_TRUE(first.endsWith("\r\n\r\nquotameter_up 1\n"));
    // Prometheus may add parameters; the query is not part of the path.
    EXPECT_TRUE(exchange("GET /metrics?x=1 HTTP/1.1\r\n\r\n").endsWith("quotameter_up 2\n"));

    EXPECT_TRUE(exchange("GET / HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 404 "));
    EXPECT_TRUE(exchange("GET /metrics/../x HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 404 "));
    const QByteArray post = exchange("POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    EXPECT_TRUE(post.startsWith("HTTP/1.1 405 ")) << post.toStdString();
    EXPECT_TRUE(post.contains("\r\nAllow: GET\r\n"));
    EXPECT_TRUE(exchange("hello\r\n\r\n").startsWith("HTTP/1.1 400 "));
    EXPECT_EQ(scrapes, 2);  // nothing but the two good requests produced an exposition
}

TEST_F(MetricsHttpServerTest, AnOversizedHeadIsRefusedAndASilentClientIsDroppedAnswerless) {
    const QByteArray big =
        "GET /metrics HTTP/1.1\r\nX-Pad: " + QByteArray(MetricsHttpServer::kMaxRequestBytes, 'a');
    EXPECT_TRUE(exchange(big).startsWith("HTTP/1.1 431 "));
    // A head that never ends gets no answer and its connection is closed in time.
    EXPECT_EQ(exchange("GET /metrics HTTP/1.1\r\n"), QByteArray());
    EXPECT_EQ(scrapes, 0);
    // The server still answers afterwards.
    EXPECT_TRUE(exchange("GET /metrics HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 "));
}

TEST_F(MetricsHttpServerTest, ClientsThatSayNothingCannotCrowdOutScrapes) {
    std::vector<std::unique_ptr<QTcpSocket>> silent;
    for (int i = 0; i < MetricsHttpServer::kMaxOpenConnections; ++i) {
        silent.push_back(std::make_unique<QTcpSocket>());
        silent.back()->connectToHost(QHostAddress::LocalHost, server.port());
        ASSERT_TRUE(silent.back()->waitForConnected(5000));
    }
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return server.openConnections() == MetricsHttpServer::kMaxOpenConnections; }));
    // One more is closed at once, unanswered ...
    EXPECT_EQ(exchange("GET /metrics HTTP/1.1\r\n\r\n"), QByteArray());
    // ... until the silent ones time out and free their places.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return std::ranges::all_of(silent, [](const auto& socket) {
                return socket->state() == QAbstractSocket::UnconnectedState;
            });
        },
        15000));
    EXPECT_TRUE(exchange("GET /metrics HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 "));
}

}  // namespace
}  // namespace qm::metrics
