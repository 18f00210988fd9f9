#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <utility>
#include <vector>

namespace qm {

// The network clients the relay calls the API with. A new one is added when each has as many
// calls in flight as Qt opens HTTP/1.1 connections per host, so long streams never queue
// behind each other. Lives on the relay thread.
class RelayUpstreamClients : public QObject {
    Q_OBJECT

public:
    explicit RelayUpstreamClients(QObject* parent);

    // Starts the call on the least busy client; the reply is the caller's.
    QNetworkReply* send(const QNetworkRequest& request, const QByteArray& method,
                        const QByteArray& body);

private:
    std::vector<std::pair<QNetworkAccessManager*, int>> managers_;
};

}  // namespace qm
