#include "providers/ProviderHttpSession.h"

#include <QCoreApplication>
#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QUrl>

#include "providers/ProviderModels.h"

namespace qm {
namespace {

// Aborts `reply` once its body is announced or buffered past `maxBytes`, and says so in
// `tooLarge`: the reply keeps what arrives until it is read, which is only at the end.
void boundBody(QNetworkReply* reply, qint64 maxBytes, const std::shared_ptr<bool>& tooLarge) {
    const auto check = [reply, maxBytes, tooLarge](qint64 announced) {
        if (*tooLarge || (announced <= maxBytes && reply->bytesAvailable() <= maxBytes)) return;
        *tooLarge = true;
        reply->abort();
    };
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [check](qint64, qint64 total) { check(total); });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [check] { check(0); });
}

}  // namespace

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

ProviderHttpSession::ProviderHttpSession(QString baseUrl, std::chrono::milliseconds timeout,
                                         qint64 maxBodyBytes)
    : baseUrl_(std::move(baseUrl)),
      timeout_(timeout),
      maxBodyBytes_(maxBodyBytes),
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
    const qint64 maxBodyBytes = maxBodyBytes_;
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
    const auto tooLarge = std::make_shared<bool>(false);
    boundBody(reply.data(), maxBodyBytes, tooLarge);

    auto waiter = qCoro(reply.data());
    QCoro::Task<bool> waiting = waiter.waitForFinished(timeout);
    const bool finished = co_await waiting;
    if (!reply) {
        response.outcome = ProviderHttpResponse::Outcome::canceled;
        co_return response;
    }
    reply->deleteLater();
    if (*tooLarge) {
        response.failure =
            QCoreApplication::translate("ProviderHttpSession", "The answer is larger than %1 MB")
                .arg(double(maxBodyBytes) / (1 << 20));
        co_return response;
    }
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
