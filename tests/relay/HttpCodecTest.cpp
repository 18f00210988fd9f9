#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include "relay/GeminiRelayHttp.h"
#include "support/QtPrinters.h"

namespace qm {
namespace {

using Reader = GeminiRelayHttp::RequestReader;
using State = Reader::State;

// Feeds the bytes in chunks of the given sizes (the last size repeats), then the close.
Reader feedInChunks(const QByteArray& bytes, std::vector<qsizetype> sizes, bool close = true) {
    Reader reader;
    qsizetype at = 0;
    std::size_t i = 0;
    while (at < bytes.size() && reader.state() == State::NeedMore) {
        const qsizetype size = sizes[std::min(i++, sizes.size() - 1)];
        reader.feed(QByteArrayView(bytes).sliced(at, std::min(size, bytes.size() - at)));
        at += size;
    }
    if (close) reader.finish();
    return reader;
}

Reader feedWhole(const QByteArray& bytes, bool close = true) {
    return feedInChunks(bytes, {GeminiRelayHttp::kReceiveChunkSize}, close);
}

QString failure(const Reader& reader) {
    return reader.state() == State::Failed ? reader.error().description() : QString();
}

TEST(HttpRequestReader, ReadsRequestSplitAcrossChunksOrByteByByte) {
    const QByteArray bytes =
        "POST /v1beta/models/gemini-2.5-flash:generateContent?key=quotameter-work&alt=sse "
        "HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type:  application/json \r\n"
        "Content-Length: 11\r\nX-Dup: one\r\nX-Dup: two\r\n\r\n{\"a\":\"b c\"}trailing";
    for (const auto& sizes : std::vector<std::vector<qsizetype>>{{65536}, {1}, {7, 3}, {150, 1}}) {
        const Reader reader = feedInChunks(bytes, sizes, false);
        ASSERT_EQ(reader.state(), State::Complete) << failure(reader).toStdString();
        const GeminiHttpRequest& request = reader.request();
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/v1beta/models/gemini-2.5-flash:generateContent");
        ASSERT_EQ(request.queryItems.size(), 2u);
        EXPECT_EQ(
            request.queryItems[0],
            GeminiHttpRequest::QueryItem(QStringLiteral("key"), QStringLiteral("quotameter-work")));
        EXPECT_EQ(request.queryItems[1],
                  GeminiHttpRequest::QueryItem(QStringLiteral("alt"), QStringLiteral("sse")));
        EXPECT_EQ(request.header("content-type"), QStringLiteral("application/json"));
        EXPECT_EQ(request.header("x-dup"), QStringLiteral("two"));
        EXPECT_EQ(request.body, "{\"a\":\"b c\"}");  // bytes past Content-Length are ignored
    }
}

TEST(HttpRequestReader, HeaderLimitIsCheckedAfterEachChunk) {
    const QByteArray exactly(GeminiRelayHttp::kHeaderLimit, 'a');
    Reader reader;
    EXPECT_EQ(reader.feed(exactly), State::NeedMore);
    EXPECT_EQ(reader.feed("b"), State::Failed);
    EXPECT_EQ(reader.error(), GeminiRelayServerError::headerTooLarge());
    EXPECT_EQ(reader.error().description(), "HTTP headers are too large.");

    // A head that completes within the chunk that crosses the limit is still accepted.
    QByteArray big = "GET /health HTTP/1.1\r\nX-Pad: " + QByteArray(65000, 'p');
    Reader lenient;
    EXPECT_EQ(lenient.feed(big), State::NeedMore);
    EXPECT_EQ(lenient.feed(QByteArray(600, 'q') + "\r\n\r\n"), State::Complete);
}

TEST(HttpRequestReader, PeerClosingEarlyIsConnectionClosed) {
    EXPECT_EQ(feedWhole("").error(), GeminiRelayServerError::connectionClosed());
    EXPECT_EQ(feedWhole("GET / HTTP/1.1\r\nHost: x\r\n").error(),
              GeminiRelayServerError::connectionClosed());
    EXPECT_EQ(feedWhole("POST /v1/x HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc").error(),
              GeminiRelayServerError::connectionClosed());
    // Bare line feeds never end the head.
    EXPECT_EQ(feedWhole("GET / HTTP/1.1\n\n").error(), GeminiRelayServerError::connectionClosed());
    QByteArray lf = "GET / HTTP/1.1\n";
    while (lf.size() <= GeminiRelayHttp::kHeaderLimit) lf += "X-A: b\n";
    EXPECT_EQ(failure(feedInChunks(lf, {4096})), "HTTP headers are too large.");
}

TEST(HttpRequestReader, RequestLineAndHeaderRules) {
    EXPECT_EQ(failure(feedWhole("\r\n\r\n")), "Missing request line.");
    EXPECT_EQ(failure(feedWhole("GET\r\n\r\n")), "Invalid request line.");
    EXPECT_EQ(failure(feedWhole("   \r\n\r\n")), "Invalid request line.");
    EXPECT_EQ(failure(feedWhole("GET /\xff HTTP/1.1\r\n\r\n")), "Headers must be UTF-8.");
    EXPECT_EQ(failure(feedWhole("GET /a%zz HTTP/1.1\r\n\r\n")), "Invalid request target.");

    const Reader twoSpaces = feedWhole("get  /v1/models\r\n\r\n");
    ASSERT_EQ(twoSpaces.state(), State::Complete);
    EXPECT_EQ(twoSpaces.request().method, "get");
    EXPECT_EQ(twoSpaces.request().path, "/v1/models");

    const Reader words = feedWhole(
        "GET /health HTTP/1.1 extra words\r\nNoColon\r\nName : spaced\r\n Trim:\t v \r\n\r\n");
    ASSERT_EQ(words.state(), State::Complete);
    EXPECT_EQ(words.request().path, "/health");
    EXPECT_EQ(words.request().header("name "), QStringLiteral("spaced"));
    EXPECT_EQ(words.request().header(" trim"), QStringLiteral("v"));
    EXPECT_EQ(words.request().headers.size(), 2u);
}

TEST(HttpRequestReader, ContentLengthRules) {
    const auto withLength = [](const QByteArray& value, const QByteArray& rest) {
        return feedWhole("POST /v1/x HTTP/1.1\r\nContent-Length: " + value + "\r\n\r\n" + rest,
                         false);
    };
    // Only plain decimal digits: anything else is read differently by different servers.
    for (const QByteArray value : {"abc", "-1", "+5", " 5x", "0x10", "5,5", "1e3"})
        EXPECT_EQ(failure(withLength(value, "12345")), "Invalid Content-Length.") << value.data();
    EXPECT_EQ(failure(withLength("99999999999999999999", "")), "Request body is too large.");
    // At the limit the reader waits for the body; one byte more is refused from the head.
    EXPECT_EQ(withLength(QByteArray::number(GeminiRelayHttp::kBodyLimit), "abc").state(),
              State::NeedMore);
    const Reader huge = withLength("9223372036854775807", "abc");
    EXPECT_EQ(failure(huge), "Request body is too large.");
    EXPECT_EQ(huge.error().httpStatus(), 413);
    EXPECT_EQ(withLength("12", "").error().httpStatus(), 400) << "closed early";
}

// Nothing a client sends may start a new line upstream or steer the path out of the API.
TEST(HttpRequestReader, HeadsThatCouldSmuggleOrEscapeAreRefused) {
    const QString control =
        QStringLiteral("Control characters are not allowed in the request head.");
    EXPECT_EQ(failure(feedWhole("GE\rT /v1beta/models HTTP/1.1\r\n\r\n")), control);
    EXPECT_EQ(failure(feedWhole("POST\n/x /v1beta/models HTTP/1.1\r\n\r\n")), control);
    EXPECT_EQ(failure(feedWhole("GET /v1/x HTTP/1.1\r\nUser-Agent: a\nX-Evil: 1\r\n\r\n")),
              control);
    EXPECT_EQ(failure(feedWhole("GET /v1/x HTTP/1.1\r\nUser-Agent: a\rX-Evil: 1\r\n\r\n")),
              control);
    EXPECT_EQ(failure(feedWhole(QByteArray("GET /v1/x HTTP/1.1\r\nA: \0b\r\n\r\n", 29))), control);
    EXPECT_EQ(failure(feedWhole("G(T /v1/x HTTP/1.1\r\n\r\n")), "Invalid request method.");

    const QString dots = QStringLiteral("Paths with dot segments are not allowed.");
    for (const char* target :
         {"/v1beta/../x", "/v1beta/%2e%2e/x", "/v1beta/%2E%2e/x", "/v1beta/..%2Fx",
          "/v1beta/models/gemini-2.5-flash:generateContent/%2e", "/v1beta/./models",
          "/v1beta/%252e%252e/x", "/v1/models/.."}) {
        EXPECT_EQ(failure(feedWhole(QByteArray("GET ") + target + " HTTP/1.1\r\n\r\n")), dots)
            << target;
    }
    // What percent-decoding turns into a backslash or control character is refused too.
    const QString odd =
        QStringLiteral("Paths with backslashes or control characters are not allowed.");
    for (const char* target : {"/v1beta/models/a%5Cb", "/v1beta/models/a%00b", "/v1beta/x%0Ay",
                               "/v1beta/x%1B%5B2J", "/v1beta/x%255Cy", "/v1beta/x%7F"}) {
        EXPECT_EQ(failure(feedWhole(QByteArray("GET ") + target + " HTTP/1.1\r\n\r\n")), odd)
            << target;
    }
    // Two Hosts or two lengths could be read one way here and another upstream; a chunked
    // body is refused rather than dropped.
    EXPECT_EQ(failure(feedWhole("GET /v1/x HTTP/1.1\r\nHost: a\r\nhost: b\r\n\r\n")),
              "Repeated host header.");
    EXPECT_EQ(failure(feedWhole("POST /v1/x HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1"
                                "\r\n\r\nx")),
              "Repeated Content-Length header.");
    const Reader chunked =
        feedWhole("POST /v1/x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
    EXPECT_EQ(failure(chunked), "Transfer-Encoding is not supported; send a Content-Length.");
    EXPECT_EQ(chunked.error().httpStatus(), 400);
    // Dots inside a name are ordinary characters.
    const Reader model = feedWhole("GET /v1beta/models/gemini-2.5-flash...x HTTP/1.1\r\n\r\n");
    ASSERT_EQ(model.state(), State::Complete);
    EXPECT_EQ(model.request().path, "/v1beta/models/gemini-2.5-flash...x");
}

TEST(HttpRequestReader, ExpectContinueIsAwaitedOnlyWhileTheBodyIsMissing) {
    const QByteArray head =
        "POST /v1/x HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 3\r\n\r\n";
    Reader reader;
    EXPECT_FALSE(reader.awaitsContinue());
    reader.feed(head);
    EXPECT_TRUE(reader.awaitsContinue());
    reader.feed("abc");
    EXPECT_EQ(reader.state(), State::Complete);
    EXPECT_FALSE(reader.awaitsContinue());
    EXPECT_FALSE(
        feedWhole("POST /v1/x HTTP/1.1\r\nContent-Length: 3\r\n\r\n", false).awaitsContinue());
}

TEST(HttpRequestReader, TargetsAreNormalised) {
    const auto target = [](const QString& t) { return GeminiRelayHttp::normalizedTarget(t); };
    const auto relative = target(QStringLiteral("v1/models"));
    ASSERT_TRUE(relative);
    EXPECT_EQ(relative->path, "/v1/models");
    const auto absolute = target(QStringLiteral("http://example.com:9/v1/models?x"));
    ASSERT_TRUE(absolute);
    EXPECT_EQ(absolute->path, "/v1/models");
    ASSERT_EQ(absolute->queryItems.size(), 1u);
    EXPECT_EQ(absolute->queryItems[0].first, "x");
    EXPECT_FALSE(absolute->queryItems[0].second);
    const auto decoded = target(QStringLiteral("/a%20b/c?na%26me=v%3D1+2&e="));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->path, "/a b/c");
    EXPECT_EQ(decoded->queryItems[0],
              GeminiHttpRequest::QueryItem(QStringLiteral("na&me"), QStringLiteral("v=1+2")));
    EXPECT_EQ(decoded->queryItems[1], GeminiHttpRequest::QueryItem(QStringLiteral("e"), QString()));
    EXPECT_EQ(target(QStringLiteral("http://"))->path, "/");
    EXPECT_FALSE(target(QStringLiteral("/a b")));
}

TEST(HttpResponseWriter, HeadOrderCorsAndHopHeaders) {
    using GeminiRelayHttp::responseHead;
    const QByteArray head = responseHead(429,
                                         {{"access-control-allow-origin", "https://site.example"},
                                          {"Content-Length", "99"},
                                          {"Transfer-Encoding", "chunked"},
                                          {"X-Thing", "a"},
                                          {"x-thing", "b"},
                                          {"X-Injected", "one\r\nEvil: yes"}},
                                         std::nullopt);
    EXPECT_EQ(head,
              "HTTP/1.1 429 HTTP\r\n"
              "Access-Control-Allow-Origin: *\r\n"
              "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
              "Access-Control-Allow-Headers: *\r\n"
              "X-Thing: a\r\n"
              "X-Injected: one, Evil: yes\r\n"
              "Connection: close\r\n\r\n");
    EXPECT_EQ(responseHead(204, {}, 0),
              "HTTP/1.1 204 No Content\r\n"
              "Access-Control-Allow-Origin: *\r\n"
              "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
              "Access-Control-Allow-Headers: *\r\n"
              "Content-Length: 0\r\nConnection: close\r\n\r\n");
}

TEST(HttpResponseWriter, JsonErrorBody) {
    const QByteArray response = GeminiRelayHttp::errorResponse(404, QStringLiteral("Nope."));
    const qsizetype end = response.indexOf("\r\n\r\n");
    const QByteArray head = response.left(end);
    const QByteArray body = response.mid(end + 4);
    EXPECT_TRUE(head.startsWith("HTTP/1.1 404 Not Found\r\nAccess-Control-Allow-Origin: *\r\n"));
    EXPECT_TRUE(
        head.endsWith("Access-Control-Allow-Headers: *\r\n"
                      "Content-Type: application/json; charset=utf-8\r\n"
                      "Content-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close"));
    const QJsonObject error = QJsonDocument::fromJson(body).object()["error"].toObject();
    EXPECT_EQ(error["code"].toInt(), 404);
    EXPECT_EQ(error["message"].toString(), "Nope.");
    EXPECT_EQ(error["source"].toString(), "quotameter-relay");
}

// Random valid, malformed, truncated and oversized requests, split at random points: every
// outcome is a parsed request or one of the reader's own errors, never a hang; and for heads
// under the limit the outcome does not depend on how the bytes were split.
TEST(HttpRequestReader, RandomisedInputsEndInKnownOutcomes) {
    QRandomGenerator random(20240611);
    const QStringList known{"Missing request line.",
                            "Invalid request line.",
                            "Headers must be UTF-8.",
                            "Invalid Content-Length.",
                            "Invalid request target.",
                            "HTTP headers are too large.",
                            "Connection closed.",
                            "Request body is too large.",
                            "Invalid request method.",
                            "Paths with dot segments are not allowed.",
                            "Control characters are not allowed in the request head.",
                            "Paths with backslashes or control characters are not allowed.",
                            "Transfer-Encoding is not supported; send a Content-Length."};
    const auto randomBytes = [&random](int size, QByteArrayView alphabet) {
        QByteArray out(size, '\0');
        for (char& c : out) {
            c = alphabet.isEmpty() ? static_cast<char>(random.bounded(256))
                                   : alphabet[random.bounded(static_cast<int>(alphabet.size()))];
        }
        return out;
    };
    for (int round = 0; round < 3000; ++round) {
        QByteArray input;
        QByteArray expectedBody;
        bool valid = false;
        switch (random.bounded(6)) {
            case 0: {  // a valid request
                expectedBody = randomBytes(random.bounded(2000), {});
                input = "POST /v1beta/m" + randomBytes(random.bounded(20), "abc%20:") +
                        "?k=" + randomBytes(random.bounded(10), "xyz") + " HTTP/1.1\r\n";
                for (int h = random.bounded(10); h > 0; --h) {
                    input += "X-" + randomBytes(1 + random.bounded(8), "abcdef") + ": " +
                             randomBytes(random.bounded(40), "ghij \t") + "\r\n";
                }
                input += "Content-Length: " + QByteArray::number(expectedBody.size()) + "\r\n\r\n" +
                         expectedBody;
                valid = true;  // unless the random path holds a bad escape
                break;
            }
            case 1:  // noise
                input = randomBytes(random.bounded(3000), {});
                break;
            case 2:  // header-ish noise with terminators
                input = randomBytes(random.bounded(3000), "GET /:\r\n -+0123456789%");
                break;
            case 3:  // oversized head
                input =
                    "GET / HTTP/1.1\r\nX: " + randomBytes(65536 + random.bounded(70000), "abc") +
                    "\r\n\r\n";
                break;
            case 4:  // odd lengths
                input = "POST /v1/x HTTP/1.1\r\nContent-Length: " +
                        randomBytes(1 + random.bounded(25), "+-0123456789a ") + "\r\n\r\n" +
                        randomBytes(random.bounded(50), {});
                break;
            default: {  // a valid request cut short
                const QByteArray whole =
                    "POST /v1/x HTTP/1.1\r\nContent-Length: 40\r\n\r\n" + QByteArray(40, 'b');
                input = whole.left(random.bounded(static_cast<int>(whole.size())));
                break;
            }
        }

        std::vector<qsizetype> sizes;
        for (int i = 0; i < 8; ++i)
            sizes.push_back(1 + random.bounded(random.bounded(2) ? 16 : 65536));
        const Reader split = feedInChunks(input, sizes);
        const Reader whole = feedWhole(input);
        ASSERT_NE(split.state(), State::NeedMore);
        if (split.state() == State::Failed) {
            ASSERT_TRUE(known.contains(split.error().description()))
                << split.error().description().toStdString();
        }
        const qsizetype headEnd = input.indexOf("\r\n\r\n");
        if (headEnd >= 0 && headEnd < 60000) {
            ASSERT_EQ(split.state(), whole.state()) << "round " << round;
            if (split.state() == State::Complete) {
                ASSERT_EQ(split.request(), whole.request());
            } else {
                ASSERT_EQ(split.error(), whole.error());
            }
        }
        if (valid && split.state() == State::Complete) {
            ASSERT_EQ(split.request().body, expectedBody);
        }
    }
}

}  // namespace
}  // namespace qm
