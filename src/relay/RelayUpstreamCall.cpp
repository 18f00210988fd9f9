#include "relay/RelayUpstreamCall.h"

#include <algorithm>

#include "relay/GeminiRelayHttp.h"
#include "relay/RelayConnection.h"
#include "relay/RelayConnectionIo.h"

namespace qm::RelayUpstreamCall {
namespace {

// How much of a streamed answer is kept for metering.
constexpr qsizetype kCaptureLimit = 4 * 1024 * 1024;

// The answer's headers for the client. The real key never reaches it: a redirect's Location
// (or any other header) that echoes the key, plain or percent-encoded, carries the relay key
// the client used instead.
GeminiRelayHttp::HeaderList filteredHeaders(const QNetworkReply* reply, const QString& apiKey,
                                            const QString& relayKey) {
    const QByteArray plain = apiKey.toUtf8();
    const QByteArray encoded = QUrl::toPercentEncoding(apiKey);
    const QByteArray replacement = QUrl::toPercentEncoding(relayKey);
    GeminiRelayHttp::HeaderList out;
    for (const auto& [name, value] : reply->rawHeaderPairs()) {
        if (GeminiRelayHttp::isHopHeader(name.toLower())) continue;
        QByteArray clean = value;
        if (!plain.isEmpty()) clean.replace(plain, replacement).replace(encoded, replacement);
        out.emplace_back(name, clean);
    }
    return out;
}

// Qt 6.4 sometimes finishes a reply without an error when the server closes before the
// declared Content-Length has arrived; a short body is a cut answer all the same.
bool bodyShortOfDeclaredLength(const QNetworkReply* reply, qint64 received) {
    if (reply->operation() == QNetworkAccessManager::HeadOperation) return false;
    // These answers never carry a body; a Content-Length on them describes something else.
    const std::optional<int> status = httpStatus(reply);
    if (status && (*status == 204 || *status == 304 || (*status >= 100 && *status < 200)))
        return false;
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    return declared.isValid() && received < declared.toLongLong();
}

}  // namespace

std::optional<QUrl> upstreamUrl(const QString& base, const GeminiHttpRequest& request,
                                const QString& apiKey) {
    QByteArray url = base.toUtf8();
    while (url.endsWith('/')) url.chop(1);
    url += QUrl::toPercentEncoding(request.path, "/:@!$&'()*+,;=");
    QByteArray query;
    const auto append = [&query](const QString& name, const std::optional<QString>& value) {
        if (!query.isEmpty()) query += '&';
        query += QUrl::toPercentEncoding(name);
        if (value) query += '=' + QUrl::toPercentEncoding(*value);
    };
    for (const auto& [name, value] : request.queryItems) {
        // The client's own credential never goes upstream.
        if (name.compare(QLatin1String("key"), Qt::CaseInsensitive) == 0) continue;
        append(name, value);
    }
    append(QStringLiteral("key"), apiKey);
    url += '?' + query;
    QUrl parsed(QString::fromUtf8(url), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty() ||
        (parsed.scheme() != QLatin1String("https") && parsed.scheme() != QLatin1String("http"))) {
        return std::nullopt;
    }
    return parsed;
}

QNetworkRequest upstreamRequest(const QUrl& url, const GeminiHttpRequest& request) {
    QNetworkRequest upstream(url);
    for (const char* name : {"content-type", "user-agent"}) {
        const QString value =
            request.header(QString::fromLatin1(name)).value_or(QString()).trimmed();
        if (!value.isEmpty()) upstream.setRawHeader(name, value.toUtf8());
    }
    // Bytes go to the client exactly as the API sent them, so Qt must not unpack them.
    upstream.setRawHeader("Accept-Encoding", "identity");
    // Nothing of one client's calls (cookies) may leak into another's.
    upstream.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    upstream.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    // A redirect goes back to the client as the API sent it; followed here, it would carry
    // the real key's request elsewhere.
    upstream.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                          QNetworkRequest::ManualRedirectPolicy);
    return upstream;
}

std::optional<int> httpStatus(const QNetworkReply* reply) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) return std::nullopt;
    return status.toInt();
}

bool isTransportFailure(const QNetworkReply* reply) {
    const int code = reply->error();
    if (code == QNetworkReply::NoError) return false;
    const bool httpStatus =
        (code >= 201 && code <= 299) || code == 302 || (code >= 401 && code <= 499);
    return !httpStatus;
}

QString failureText(const RelayConnection* connection) {
    if (connection->upstreamTimedOut()) return QStringLiteral("The request timed out.");
    const QNetworkReply* reply = connection->reply();
    if (reply && reply->error() != QNetworkReply::NoError) return reply->errorString();
    return GeminiRelayServerError::invalidUpstreamResponse().description();
}

QCoro::Task<bool> awaitAnswer(RelayConnection* connection, QNetworkReply* reply, bool streamed) {
    for (;;) {
        if (connection->cancelled()) co_return false;
        if (reply->isFinished()) co_return true;
        if (const std::optional<int> early = streamed ? httpStatus(reply) : std::nullopt) {
            if (*early >= 200 && *early <= 299) co_return true;
            // An error answer is small and goes to the client whole, like a buffered one, so
            // a failure Qt reports after its head cannot cut an answer already begun.
            reply->setReadBufferSize(0);
        }
        if (!connection->socketOpen()) {
            connection->dropClient();
            co_return false;
        }
        co_await connection->changed();
    }
}

QCoro::Task<bool> forwardBuffered(RelayConnection* connection, QNetworkReply* reply, int status,
                                  const CallKeys& keys, QByteArray* body) {
    *body = reply->readAll();
    if (bodyShortOfDeclaredLength(reply, body->size())) {
        const QString description = QStringLiteral("Connection closed.");
        connection->noteFailure(description);
        const QByteArray response = GeminiRelayHttp::errorResponse(
            502, QStringLiteral("Upstream request failed: ") + description);
        co_await RelayConnectionIo::send(connection, response);
        co_return false;
    }
    QByteArray bytes = GeminiRelayHttp::responseHead(
        status, filteredHeaders(reply, keys.apiKey, keys.relayKey), body->size());
    bytes += *body;
    if (!co_await RelayConnectionIo::send(connection, bytes)) {
        connection->noteFailure(RelayConnectionIo::socketFailureText(connection->socket()));
        co_return false;
    }
    co_return true;
}

QCoro::Task<bool> forwardStreamed(RelayConnection* connection, QNetworkReply* reply, int status,
                                  const CallKeys& keys, QByteArray* capture) {
    const QByteArray head = GeminiRelayHttp::responseHead(
        status, filteredHeaders(reply, keys.apiKey, keys.relayKey), std::nullopt);
    if (!co_await RelayConnectionIo::send(connection, head)) {
        connection->dropClient();
        co_return false;
    }
    qint64 forwarded = 0;
    for (;;) {
        if (connection->cancelled()) co_return false;
        if (reply->bytesAvailable() > 0) {
            // Forward whatever has arrived at once: one send per upstream read.
            const QByteArray data = reply->readAll();
            forwarded += data.size();
            capture->append(data.left(std::max<qsizetype>(0, kCaptureLimit - capture->size())));
            if (!co_await RelayConnectionIo::send(connection, data)) {
                connection->dropClient();
                co_return false;
            }
            continue;
        }
        if (reply->isFinished()) break;
        if (!connection->socketOpen()) {
            connection->dropClient();
            co_return false;
        }
        co_await connection->changed();
    }
    const bool cut = bodyShortOfDeclaredLength(reply, forwarded);
    if (cut || isTransportFailure(reply) || connection->upstreamTimedOut()) {
        // The head is out, so the only honest signal left is a cut connection.
        connection->noteFailure(cut && !isTransportFailure(reply)
                                    ? QStringLiteral("Connection closed.")
                                    : failureText(connection));
        RelayConnectionIo::resetConnection(connection->socket());
        co_return false;
    }
    co_return true;
}

}  // namespace qm::RelayUpstreamCall
