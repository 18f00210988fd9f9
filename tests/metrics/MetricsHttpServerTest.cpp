#include <gtest/gtest.h>

#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <memory>
#include <vector>

#include "metrics/MetricsHttpServer.h"
#include "support/SocketExchange.h"

namespace qm::metrics {
namespace {

// Sends `bytes` to `server` at `address` and returns all it answered before it closed.
QByteArray exchangeWith(const MetricsHttpServer& server, const QByteArray& bytes,
                        const QHostAddress& address = QHostAddress(QHostAddress::LocalHost)) {
    return test::exchangeWith(address, server.port(), bytes, 15000);
}

// The exporter's listener driven over real loopback sockets.
class MetricsHttpServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(server.listen(QHostAddress::LocalHost, 0), std::nullopt); }

    QByteArray exchange(const QByteArray& bytes) { return exchangeWith(server, bytes); }

    int scrapes = 0;
    MetricsHttpServer server{[this] {
                                 ++scrapes;
                                 return QByteArray("quotameter_up ") + QByteArray::number(scrapes) +
                                        '\n';
                             },
                             1000};
};

TEST_F(MetricsHttpServerTest, ServesAFreshExpositionPerScrapeAtMetricsOnly) {
    const QByteArray first = exchange("GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
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

// A web page can reach a listener on loopback under a name of its own (DNS rebinding); the
// listener answers only requests that name its own address or localhost.
TEST_F(MetricsHttpServerTest, AHostNamingAnythingButTheListenerIsMisdirected) {
    const QByteArray port = QByteArray::number(server.port());
    for (const QByteArray& host :
         {QByteArray("evil.example"), "evil.example:" + port, QByteArray("127.0.0.1.evil.example"),
          QByteArray("[::1]"), QByteArray("127.0.0.2"), QByteArray("0.0.0.0:") + port}) {
        const QByteArray answer = exchange("GET /metrics HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 421 Misdirected Request\r\n"))
            << host.toStdString() << ": " << answer.toStdString();
        EXPECT_FALSE(answer.contains("quotameter_up"));
    }
    EXPECT_EQ(scrapes, 0);
    for (const QByteArray& host : {QByteArray("localhost"), "LocalHost:" + port,
                                   QByteArray("127.0.0.1"), "127.0.0.1:" + port}) {
        EXPECT_TRUE(exchange("GET /metrics HTTP/1.1\r\nHost: " + host + "\r\n\r\n")
                        .startsWith("HTTP/1.1 200 OK\r\n"))
            << host.toStdString();
    }
    // Two Hosts, or one that is no host at all, are not HTTP.
    EXPECT_TRUE(exchange("GET /metrics HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n")
                    .startsWith("HTTP/1.1 400 "));
    EXPECT_TRUE(exchange("GET /metrics HTTP/1.1\r\nHost: a b\r\n\r\n").startsWith("HTTP/1.1 400 "));

    // A listener on the IPv6 loopback takes its own address, where the system has one.
    MetricsHttpServer six([] { return QByteArray("six\n"); });
    if (six.listen(QHostAddress::LocalHostIPv6, 0)) GTEST_SKIP() << "no IPv6 loopback";
    const QByteArray sixHost = "[::1]:" + QByteArray::number(six.port());
    EXPECT_TRUE(exchangeWith(six, "GET /metrics HTTP/1.1\r\nHost: " + sixHost + "\r\n\r\n",
                             QHostAddress(QHostAddress::LocalHostIPv6))
                    .startsWith("HTTP/1.1 200 OK\r\n"));
}

// Connections that are opened and say nothing neither keep a scrape waiting nor, past the
// bound of open connections, keep a newcomer out: the oldest is closed to make room.
TEST_F(MetricsHttpServerTest, SilentClientsNeitherDelayAScrapeNorCrowdItOut) {
    constexpr int kBound = 40;
    // A deadline far off: the silent clients stay for the whole test unless pushed out.
    MetricsHttpServer patient([] { return QByteArray("quotameter_up 1\n"); }, 600'000, kBound);
    ASSERT_EQ(patient.listen(QHostAddress::LocalHost, 0), std::nullopt);
    std::vector<std::unique_ptr<QTcpSocket>> silent;
    const auto connectSilent = [&](int count) {
        for (int i = 0; i < count; ++i) {
            silent.push_back(std::make_unique<QTcpSocket>());
            silent.back()->connectToHost(QHostAddress::LocalHost, patient.port());
            ASSERT_TRUE(silent.back()->waitForConnected(5000));
        }
    };
    const auto scrape = [&] {
        return exchangeWith(patient, "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
    };
    const auto stillOpen = [&] {
        return std::ranges::count_if(silent, [](const auto& socket) {
            return socket->state() == QAbstractSocket::ConnectedState;
        });
    };

    connectSilent(32);
    ASSERT_TRUE(QTest::qWaitFor([&] { return patient.openConnections() == 32; }));
    EXPECT_TRUE(scrape().endsWith("\r\n\r\nquotameter_up 1\n"));
    EXPECT_EQ(stillOpen(), 32);  // answered while every silent client was still there

    connectSilent(kBound - 32);
    ASSERT_TRUE(QTest::qWaitFor([&] { return patient.openConnections() == kBound; }));
    EXPECT_TRUE(scrape().startsWith("HTTP/1.1 200 OK\r\n"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return silent.front()->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(stillOpen(), kBound - 1);
}

}  // namespace
}  // namespace qm::metrics
