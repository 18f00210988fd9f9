#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

class QNetworkAccessManager;

namespace qm {

// What came back from one GET: an HTTP answer (any status), or why there is none.
struct ProviderHttpResponse {
    enum class Outcome { answered, timedOut, canceled, failed };
    Outcome outcome = Outcome::failed;
    int status = 0;
    QByteArray body;
    QString failure;  // for `failed`: the error's description

    bool isSuccess() const { return outcome == Outcome::answered && status >= 200 && status < 300; }
    // "Timeout", "Canceled" or the failure text; only meaningful when there was no answer.
    QString errorText() const;
};

using ProviderQuery = std::vector<std::pair<QString, QString>>;
using ProviderHeaders = std::vector<std::pair<QByteArray, QByteArray>>;

// One HTTP session of a provider client: a base address, a time limit for each whole transfer,
// a bound on each answer's body and a network manager without persistent cookies or cache. A
// copy shares the manager, and a request in flight keeps it alive, so a client may go away
// while its request runs.
class ProviderHttpSession {
public:
    // Far above any provider answer: a body that goes on past it is aborted, so an endless or
    // hostile one cannot take memory without end.
    static constexpr qint64 kDefaultMaxBodyBytes = 16 << 20;

    ProviderHttpSession(QString baseUrl, std::chrono::milliseconds timeout,
                        qint64 maxBodyBytes = kDefaultMaxBodyBytes);

    const QString& baseUrl() const { return baseUrl_; }
    std::chrono::milliseconds timeout() const { return timeout_; }

    // GET base + path with the query items percent-encoded as query components (brackets
    // included). A URL that cannot be built fails with the invalidURL description; a body
    // larger than the bound (announced or as it arrives) fails with "... larger than N MB".
    QCoro::Task<ProviderHttpResponse> get(QString path, ProviderQuery query,
                                          ProviderHeaders headers) const;
    // Aborts every request in flight; each reports "Canceled".
    void cancelAll() const;

    // The query string as it is sent.
    static QString encodeQuery(const ProviderQuery& query);

private:
    QString baseUrl_;
    std::chrono::milliseconds timeout_;
    qint64 maxBodyBytes_;
    std::shared_ptr<QNetworkAccessManager> manager_;
};

}  // namespace qm
