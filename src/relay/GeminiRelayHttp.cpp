#include "relay/GeminiRelayHttp.h"

#include <simdjson.h>

#include <QJsonDocument>
#include <QSet>
#include <QUrl>
#include <algorithm>
#include <array>
#include <limits>

namespace qm {

std::optional<QString> GeminiHttpRequest::header(const QString& lowerName) const {
    const auto it = headers.find(lowerName);
    if (it == headers.end()) return std::nullopt;
    return it->second;
}

QString GeminiRelayServerError::description() const {
    switch (kind) {
        case Kind::invalidPort:
            return QStringLiteral("Invalid relay port: ") + QString::number(port);
        case Kind::invalidRequest:
        case Kind::listenFailed:
            return message;
        case Kind::headerTooLarge:
            return QStringLiteral("HTTP headers are too large.");
        case Kind::bodyTooLarge:
            return QStringLiteral("Request body is too large.");
        case Kind::connectionClosed:
            return QStringLiteral("Connection closed.");
        case Kind::invalidUpstreamResponse:
            return QStringLiteral("Invalid upstream response.");
    }
    return message;
}

namespace GeminiRelayHttp {
namespace {

constexpr QByteArrayView kTerminator("\r\n\r\n");

GeminiRelayServerError invalidTarget() {
    return GeminiRelayServerError::invalidRequest(QStringLiteral("Invalid request target."));
}

// An HTTP token (RFC 9110): what a method may be made of; nothing that could end a line.
bool isToken(QStringView text) {
    static const QByteArrayView kSeparators("!#$%&'*+-.^_`|~");
    if (text.isEmpty()) return false;
    return std::all_of(text.begin(), text.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
               (u < 0x80 && kSeparators.contains(static_cast<char>(u)));
    });
}

// A lone CR or LF (the head is split at CR LF), NUL or another control character other
// than tab would let a value start a new header or request line further on.
bool hasControlCharacter(QStringView line) {
    return std::any_of(line.begin(), line.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u < 0x20 && u != u'\t') || u == 0x7f;
    });
}

// "." and ".." segments, also when percent-encoded once or twice or joined by an encoded
// slash, would let the upstream resolve the path somewhere other than it reads here.
bool hasDotSegment(const QString& decodedPath) {
    for (QStringView segment : QStringView(decodedPath).split(u'/')) {
        QString text = segment.toString();
        for (int round = 0; round < 2 && text.contains(u'%'); ++round)
            text = QUrl::fromPercentEncoding(text.toUtf8());
        for (QStringView piece : QStringView(text).split(u'/')) {
            if (piece == u"." || piece == u"..") return true;
        }
    }
    return false;
}

// A backslash or a control character, also once percent-decoded (once or twice), would let
// the upstream or a log read the path otherwise than it reads here.
bool hasForbiddenCharacter(const QString& decodedPath) {
    QString text = decodedPath;
    for (int round = 0; round < 3; ++round) {
        if (text.contains(u'\\') || hasControlCharacter(text) || text.contains(QChar(0x7f)))
            return true;
        if (!text.contains(u'%')) break;
        text = QUrl::fromPercentEncoding(text.toUtf8());
    }
    return false;
}

// A length is plain decimal digits; "+5", " 5", "5,5" or "0x10" are read differently by
// different servers, which is how requests are smuggled.
bool isPlainDecimal(const QString& text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Keeps a header name or value on its own line whatever the upstream sent.
QByteArray singleLine(const QByteArray& text) {
    if (!text.contains('\r') && !text.contains('\n')) return text;
    QByteArray out = text;
    out.replace("\r\n", ", ");
    out.replace('\r', ' ');
    out.replace('\n', ", ");
    return out;
}

}  // namespace

RequestReader::State RequestReader::fail(GeminiRelayServerError error) {
    error_ = std::move(error);
    state_ = State::Failed;
    buffer_.clear();
    return state_;
}

RequestReader::State RequestReader::feed(QByteArrayView chunk) {
    if (state_ != State::NeedMore) return state_;
    if (headerEnd_ < 0) {
        // Only the bytes new in this chunk (plus three before them) can complete the terminator.
        const qsizetype from = std::max<qsizetype>(0, buffer_.size() - 3);
        buffer_.append(chunk.data(), chunk.size());
        const qsizetype at = QByteArrayView(buffer_).indexOf(kTerminator, from);
        if (at < 0) {
            if (buffer_.size() > kHeaderLimit)
                return fail(GeminiRelayServerError::headerTooLarge());
            return state_;
        }
        headerEnd_ = at + kTerminator.size();
        if (parseHead() != State::NeedMore) return state_;
    } else {
        buffer_.append(chunk.data(), chunk.size());
    }
    return completeIfBodyArrived();
}

RequestReader::State RequestReader::finish() {
    if (state_ != State::NeedMore) return state_;
    return fail(GeminiRelayServerError::connectionClosed());
}

RequestReader::State RequestReader::parseHead() {
    const QByteArrayView block = QByteArrayView(buffer_).first(headerEnd_ - kTerminator.size());
    if (!simdjson::validate_utf8(block.data(), static_cast<size_t>(block.size()))) {
        return fail(
            GeminiRelayServerError::invalidRequest(QStringLiteral("Headers must be UTF-8.")));
    }
    const QString text = QString::fromUtf8(block);
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    if (lines.isEmpty() || lines.first().isEmpty()) {
        return fail(
            GeminiRelayServerError::invalidRequest(QStringLiteral("Missing request line.")));
    }
    for (const QString& line : lines) {
        if (hasControlCharacter(line)) {
            return fail(GeminiRelayServerError::invalidRequest(
                QStringLiteral("Control characters are not allowed in the request head.")));
        }
    }
    const QStringList words = lines.first().split(u' ', Qt::SkipEmptyParts);
    if (words.size() < 2) {
        return fail(
            GeminiRelayServerError::invalidRequest(QStringLiteral("Invalid request line.")));
    }
    request_.method = words[0];
    if (!isToken(request_.method)) {
        return fail(
            GeminiRelayServerError::invalidRequest(QStringLiteral("Invalid request method.")));
    }
    const QString& target = words[1];

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString& line = lines[i];
        if (line.isEmpty()) continue;
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0) continue;
        const QString name = line.left(colon).toLower();
        // Two of these could be read one way here and another way upstream.
        if ((name == u"host" || name == u"content-length") && request_.headers.count(name)) {
            return fail(GeminiRelayServerError::invalidRequest(
                QStringLiteral("Repeated %1 header.").arg(line.left(colon).trimmed())));
        }
        request_.headers[name] = line.mid(colon + 1).trimmed();
    }
    // A chunked body would otherwise be dropped without a word; only lengths are read.
    if (request_.header(QStringLiteral("transfer-encoding"))) {
        return fail(GeminiRelayServerError::invalidRequest(
            QStringLiteral("Transfer-Encoding is not supported; send a Content-Length.")));
    }

    const QString lengthText = request_.header(QStringLiteral("content-length")).value_or("0");
    if (!isPlainDecimal(lengthText)) {
        return fail(
            GeminiRelayServerError::invalidRequest(QStringLiteral("Invalid Content-Length.")));
    }
    // More digits than 64 bits hold is far past the limit anyway.
    if (lengthText.size() > 18) return fail(GeminiRelayServerError::bodyTooLarge());
    const std::int64_t length = lengthText.toLongLong();
    if (length > kBodyLimit) return fail(GeminiRelayServerError::bodyTooLarge());
    contentLength_ = length;

    auto normalized = normalizedTarget(target);
    if (!normalized) return fail(invalidTarget());
    if (hasDotSegment(normalized->path)) {
        return fail(GeminiRelayServerError::invalidRequest(
            QStringLiteral("Paths with dot segments are not allowed.")));
    }
    if (hasForbiddenCharacter(normalized->path)) {
        return fail(GeminiRelayServerError::invalidRequest(
            QStringLiteral("Paths with backslashes or control characters are not allowed.")));
    }
    request_.path = std::move(normalized->path);
    request_.queryItems = std::move(normalized->queryItems);
    return state_;
}

bool RequestReader::awaitsContinue() const {
    if (state_ != State::NeedMore || headerEnd_ < 0) return false;
    const auto expect = request_.header(QStringLiteral("expect"));
    return expect && expect->compare(QLatin1String("100-continue"), Qt::CaseInsensitive) == 0;
}

RequestReader::State RequestReader::completeIfBodyArrived() {
    const std::int64_t have = buffer_.size() - headerEnd_;
    if (have < contentLength_) return state_;
    request_.body = buffer_.mid(headerEnd_, static_cast<qsizetype>(contentLength_));
    buffer_.clear();
    state_ = State::Complete;
    return state_;
}

std::optional<NormalizedTarget> normalizedTarget(const QString& target) {
    QString absolute;
    if (target.startsWith(QLatin1String("http://")) ||
        target.startsWith(QLatin1String("https://"))) {
        absolute = target;
    } else if (target.startsWith(u'/')) {
        absolute = QStringLiteral("http://127.0.0.1") + target;
    } else {
        absolute = QStringLiteral("http://127.0.0.1/") + target;
    }
    const QUrl url(absolute, QUrl::StrictMode);
    if (!url.isValid()) return std::nullopt;

    NormalizedTarget out;
    out.path = url.path(QUrl::FullyDecoded);
    if (out.path.isEmpty()) out.path = QStringLiteral("/");
    if (url.hasQuery()) {
        const QByteArray query = url.query(QUrl::FullyEncoded).toUtf8();
        for (const QByteArray& piece : query.split('&')) {
            const qsizetype eq = piece.indexOf('=');
            if (eq < 0) {
                out.queryItems.emplace_back(QUrl::fromPercentEncoding(piece), std::nullopt);
            } else {
                out.queryItems.emplace_back(QUrl::fromPercentEncoding(piece.left(eq)),
                                            QUrl::fromPercentEncoding(piece.mid(eq + 1)));
            }
        }
    }
    return out;
}

bool isHopHeader(QByteArrayView lowerName) {
    static constexpr std::array<QByteArrayView, 10> kHop{
        "transfer-encoding",  "connection",          "keep-alive", "content-length", "server",
        "proxy-authenticate", "proxy-authorization", "te",         "trailer",        "upgrade"};
    return std::find(kHop.begin(), kHop.end(), lowerName) != kHop.end();
}

QString reasonPhrase(int statusCode) {
    switch (statusCode) {
        case 200:
            return QStringLiteral("OK");
        case 204:
            return QStringLiteral("No Content");
        case 400:
            return QStringLiteral("Bad Request");
        case 401:
            return QStringLiteral("Unauthorized");
        case 403:
            return QStringLiteral("Forbidden");
        case 404:
            return QStringLiteral("Not Found");
        case 413:
            return QStringLiteral("Content Too Large");
        case 500:
            return QStringLiteral("Internal Server Error");
        case 502:
            return QStringLiteral("Bad Gateway");
        default:
            return QStringLiteral("HTTP");
    }
}

QByteArray responseHead(int statusCode, const HeaderList& headers,
                        std::optional<std::int64_t> bodyLength) {
    static const HeaderList kDefaults{
        {"Access-Control-Allow-Origin", "*"},
        {"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
        {"Access-Control-Allow-Headers", "*"},
    };
    QByteArray head;
    head.reserve(256 + 64 * static_cast<qsizetype>(headers.size()));
    head += "HTTP/1.1 " + QByteArray::number(statusCode) + ' ' + reasonPhrase(statusCode).toUtf8();
    QSet<QByteArray> written;
    const auto writeHeader = [&](const QByteArray& name, const QByteArray& value) {
        const QByteArray lower = name.toLower();
        if (isHopHeader(lower) || written.contains(lower)) return;
        written.insert(lower);
        head += "\r\n" + singleLine(name) + ": " + singleLine(value);
    };
    for (const auto& [name, value] : kDefaults) writeHeader(name, value);
    for (const auto& [name, value] : headers) writeHeader(name, value);
    if (bodyLength) head += "\r\nContent-Length: " + QByteArray::number(*bodyLength);
    head += "\r\nConnection: close\r\n\r\n";
    return head;
}

QByteArray jsonResponse(int statusCode, const QJsonObject& object) {
    QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    if (body.isEmpty()) body = "{}";
    QByteArray out = responseHead(statusCode, {{"Content-Type", "application/json; charset=utf-8"}},
                                  body.size());
    out += body;
    return out;
}

QJsonObject errorObject(int statusCode, const QString& message) {
    return QJsonObject{
        {QStringLiteral("error"),
         QJsonObject{{QStringLiteral("code"), statusCode},
                     {QStringLiteral("message"), message},
                     {QStringLiteral("source"), QStringLiteral("quotameter-relay")}}}};
}

QByteArray errorResponse(int statusCode, const QString& message) {
    return jsonResponse(statusCode, errorObject(statusCode, message));
}

}  // namespace GeminiRelayHttp
}  // namespace qm
