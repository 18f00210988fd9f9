#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <optional>

#include <qcoro/qcorotask.h>

#include "relay/GeminiRelayHttp.h"

namespace qm {
class RelayConnection;
}

// The call a client's request becomes upstream, and its answer carried back to the client.
// Coroutine arguments are kept as named objects by the callers: GCC 12 can destroy
// temporaries inside a co_await expression twice.
namespace qm::RelayUpstreamCall {

// The keys of one call: the account it goes to, the real key sent upstream and the relay key
// the client sent, both kept out of the answer's headers.
struct CallKeys {
    QString accountId;
    QString apiKey;
    QString relayKey;
};

// `base` with the request's path and query, the client's own "key" swapped for `apiKey`;
// none when that is no http(s) address with a host.
std::optional<QUrl> upstreamUrl(const QString& base, const GeminiHttpRequest& request,
                                const QString& apiKey);

// The upstream request: the client's content type and agent, nothing else of its headers, no
// cookies, no redirects followed, the body untouched.
QNetworkRequest upstreamRequest(const QUrl& url, const GeminiHttpRequest& request);

std::optional<int> httpStatus(const QNetworkReply* reply);

// Qt reports HTTP error statuses as reply errors too; only the others mean the call failed.
bool isTransportFailure(const QNetworkReply* reply);

// Why the connection's upstream call failed: timed out, the reply's error, or a bad answer.
QString failureText(const RelayConnection* connection);

// Waits for the answer's head (`streamed`) or its whole body. False when the call ended
// meanwhile: stopped, or the client left.
QCoro::Task<bool> awaitAnswer(RelayConnection* connection, QNetworkReply* reply, bool streamed);

// Sends a whole answer on; its body lands in `body`. False when it could not be sent whole.
QCoro::Task<bool> forwardBuffered(RelayConnection* connection, QNetworkReply* reply, int status,
                                  const CallKeys& keys, QByteArray* body);

// Forwards a stream as it arrives, keeping its first few megabytes in `capture` for metering.
// False when the stream did not reach the client whole.
QCoro::Task<bool> forwardStreamed(RelayConnection* connection, QNetworkReply* reply, int status,
                                  const CallKeys& keys, QByteArray* capture);

}  // namespace qm::RelayUpstreamCall
