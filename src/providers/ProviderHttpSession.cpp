#include "providers/ProviderHttpSession.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QUrl>

#include "providers/ProviderModels.h"

namespace qm {

QString ProviderHttpResponse::errorText() const {
    switch (outcome) {
        case Outcome::timedOut:
            return QStringLiteral("Timeout");
        case Outcome::canceled:
            return QStringLiteral("Canceled");
        case Outcome::answered:
        case Outcome::failed:
            break;
    }
    return failure;
}

ProviderHttpSession::ProviderHttpSession(QString baseUrl, std::chrono::milliseconds timeout)
    : baseUrl_(std::move(baseUrl)),
      timeout_(timeout),
      // Deleted from the event loop: the last owner may be a request whose reply is still
      // delivering its signal.
      manager_(new QNetworkAccessManager, [](QNetworkAccessManager* m) { m->deleteLater(); }) {
    // Qt's default cookie jar lives in memory only and nothing is cached: an ephemeral session.
}

QString ProviderHttpSession::encodeQuery(const ProviderQuery& query) {
    // Query-component encoding: what a query may hold literally stays, '&', '=', '+', '[' and
    // ']' and everything else are escaped.
    static const QByteArray keep = "!$'()*,;:@/?";
    QStringList parts;
    for (const auto& [name, value] : query) {
        parts.append(QString::fromLatin1(QUrl::toPercentEncoding(name, keep) + '=' +
                                         QUrl::toPercentEncoding(value, keep)));
    }
    return parts.join(QLatin1Char('&'));
}

QCoro::Task<ProviderHttpResponse> ProviderHttpSession::get(QString path, ProviderQuery query,
                                                           ProviderHeaders headers) const {
    // Everything the request needs is copied before the first suspension.
    const std::shared_ptr<QNetworkAccessManager> manager = manager_;
    const std::chrono::milliseconds timeout = timeout_;
    QString text = baseUrl_;
    while (text.endsWith(QLatin1Char('/'))) text.chop(1);
    text += path;
    if (!query.empty()) text += QLatin1Char('?') + encodeQuery(query);
    const QUrl url = QUrl::fromEncoded(text.toUtf8(), QUrl::StrictMode);
    ProviderHttpResponse response;
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
        response.failure = description(ProviderUsageRequestError::invalidUrl);
        co_return response;
    }

    QNetworkRequest request(url);
    for (const auto& [name, value] : headers) request.setRawHeader(name, value);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    QPointer<QNetworkReply> reply = manager->get(request);

    const bool finished = co_await qCoro(reply.data()).waitForFinished(timeout);
    if (!reply) {
        response.outcome = ProviderHttpResponse::Outcome::canceled;
        co_return response;
    }
    reply->deleteLater();
    if (!finished) {
        reply->abort();
        response.outcome = ProviderHttpResponse::Outcome::timedOut;
        co_return response;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && reply->error() != QNetworkReply::OperationCanceledError) {
        response.outcome = ProviderHttpResponse::Outcome::answered;
        response.status = status.toInt();
        response.body = reply->readAll();
        co_return response;
    }
    switch (reply->error()) {
        case QNetworkReply::OperationCanceledError:
            response.outcome = ProviderHttpResponse::Outcome::canceled;
            break;
        case QNetworkReply::TimeoutError:
            response.outcome = ProviderHttpResponse::Outcome::timedOut;
            break;
        case QNetworkReply::NoError:
            response.failure = description(ProviderUsageRequestError::invalidResponse);
            break;
        default:
            // Qt may name the URL in its text; the query can hold a key.
            response.failure = reply->errorString();
            response.failure.replace(url.toString(QUrl::FullyEncoded),
                                     url.toString(QUrl::RemoveQuery | QUrl::FullyEncoded));
            response.failure.replace(url.toString(), url.toString(QUrl::RemoveQuery));
            break;
    }
    co_return response;
}

void ProviderHttpSession::cancelAll() const {
    for (QNetworkReply* reply : manager_->findChildren<QNetworkReply*>()) {
        if (reply->isRunning()) reply->abort();
    }
}

}  // namespace qm
