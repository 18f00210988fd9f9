#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

// The relay's small HTTP/1.1 subset: one request per connection, one response, then close.
// Everything here is pure so the reader can be driven by any byte source (sockets, tests,
// the fuzzer) and the writers produce bytes for any sink.
namespace qm {

struct GeminiHttpRequest {
    using QueryItem = std::pair<QString, std::optional<QString>>;

    QString method;  // exactly as sent
    QString path;    // percent-decoded, never empty
    std::vector<QueryItem> queryItems;
    std::map<QString, QString> headers;  // lower-cased names, trimmed values, last one wins
    QByteArray body;

    // The header value for a lower-case name, if present.
    std::optional<QString> header(const QString& lowerName) const;

    bool operator==(const GeminiHttpRequest&) const = default;
};

struct GeminiRelayServerError {
    enum class Kind {
        invalidPort,
        invalidRequest,
        headerTooLarge,
        // Content-Length over kBodyLimit; answered with 413 before the body is read.
        bodyTooLarge,
        connectionClosed,
        invalidUpstreamResponse,
        // Binding the listening socket failed; the message is the system's own text.
        listenFailed,
    };

    Kind kind = Kind::invalidRequest;
    int port = 0;     // invalidPort
    QString message;  // invalidRequest, listenFailed

    static GeminiRelayServerError invalidPort(int port) { return {Kind::invalidPort, port, {}}; }
    static GeminiRelayServerError invalidRequest(const QString& message) {
        return {Kind::invalidRequest, 0, message};
    }
    static GeminiRelayServerError headerTooLarge() { return {Kind::headerTooLarge, 0, {}}; }
    static GeminiRelayServerError bodyTooLarge() { return {Kind::bodyTooLarge, 0, {}}; }
    static GeminiRelayServerError connectionClosed() { return {Kind::connectionClosed, 0, {}}; }
    static GeminiRelayServerError invalidUpstreamResponse() {
        return {Kind::invalidUpstreamResponse, 0, {}};
    }
    static GeminiRelayServerError listenFailed(const QString& message) {
        return {Kind::listenFailed, 0, message};
    }

    QString description() const;
    // The status a client is answered with when its request fails this way.
    int httpStatus() const { return kind == Kind::bodyTooLarge ? 413 : 400; }
    bool operator==(const GeminiRelayServerError&) const = default;
};

namespace GeminiRelayHttp {

inline constexpr qsizetype kReceiveChunkSize = 65536;
inline constexpr qsizetype kHeaderLimit = 65536;
// Larger bodies are refused from the head alone: no Gemini call needs more, and the relay
// buffers a request whole before forwarding it.
inline constexpr std::int64_t kBodyLimit = 64LL * 1024 * 1024;

// Reads one request from chunks as they arrive. Feed every received block (at most
// kReceiveChunkSize bytes each, as one receive would deliver) and call finish() when the
// peer has finished sending. Once the state leaves NeedMore it stays there.
class RequestReader {
public:
    enum class State { NeedMore, Complete, Failed };

    State feed(QByteArrayView chunk);
    State finish();

    State state() const { return state_; }
    // True once the head is read and asks for "Expect: 100-continue" while the body is
    // still to come; the caller sends the interim answer once.
    bool awaitsContinue() const;
    // Valid once Complete.
    const GeminiHttpRequest& request() const { return request_; }
    GeminiHttpRequest takeRequest() { return std::move(request_); }
    // Valid once Failed.
    const GeminiRelayServerError& error() const { return error_; }

private:
    State fail(GeminiRelayServerError error);
    State parseHead();
    State completeIfBodyArrived();

    State state_ = State::NeedMore;
    QByteArray buffer_;
    qsizetype headerEnd_ = -1;  // index just after CR LF CR LF, once found
    std::int64_t contentLength_ = 0;
    GeminiHttpRequest request_;
    GeminiRelayServerError error_;
};

// Path and query items of a request target, or invalidRequest("Invalid request target.").
struct NormalizedTarget {
    QString path;
    std::vector<GeminiHttpRequest::QueryItem> queryItems;
};
std::optional<NormalizedTarget> normalizedTarget(const QString& target);

// Header hop set: never forwarded or echoed (compared in lower case).
bool isHopHeader(QByteArrayView lowerName);

QString reasonPhrase(int statusCode);

using HeaderList = std::vector<std::pair<QByteArray, QByteArray>>;

// Status line, the default CORS headers, the caller's headers (hop headers and repeated
// names dropped, first wins), the optional Content-Length, "Connection: close", blank line.
QByteArray responseHead(int statusCode, const HeaderList& headers,
                        std::optional<std::int64_t> bodyLength);

// A complete JSON response: head with Content-Type and Content-Length, then the body.
QByteArray jsonResponse(int statusCode, const QJsonObject& object);

// {"error": {"code": status, "message": message, "source": "quotameter-relay"}}
QJsonObject errorObject(int statusCode, const QString& message);

// jsonResponse(statusCode, errorObject(statusCode, message)).
QByteArray errorResponse(int statusCode, const QString& message);

}  // namespace GeminiRelayHttp
}  // namespace qm
