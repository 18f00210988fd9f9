#pragma once

#include <QElapsedTimer>
#include <QFuture>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QObject>
#include <QTcpServer>
#include <QTimer>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <qcoro/qcorotask.h>

#include "relay/GeminiRelayServer.h"
#include "relay/RelayConnection.h"
#include "relay/RelayMeteringHandOff.h"
#include "relay/RelayUpstreamCall.h"
#include "relay/RelayUpstreamClients.h"

// The relay's inner workings; everything here lives on the relay thread.
namespace qm {

// Listens, takes each connection from its request to its answer, and keeps the client table
// and the status the server publishes.
class GeminiRelayServerWorker : public QObject {
    Q_OBJECT

public:
    GeminiRelayServerWorker(int port, GeminiRelayServerCallbacks callbacks,
                            GeminiRelayServerOptions options, RelayCallbackGate* gate);
    ~GeminiRelayServerWorker() override;

    // Both run on the relay thread.
    std::optional<GeminiRelayServerError> startListening();
    // Ends listening and every connection; `drained` runs once no request is in flight.
    void stop(std::function<void()> drained);

    int port() const { return port_; }

private:
    void accept(QTcpServer* server);
    QCoro::Task<> handle(RelayConnection* connection);
    // Coroutine arguments are kept as named objects throughout: GCC 12 can destroy
    // temporaries inside a co_await expression twice.
    QCoro::Task<std::optional<RelayMeteringHandOff::Job>> route(RelayConnection* connection,
                                                                const GeminiHttpRequest& request);
    QCoro::Task<std::optional<RelayMeteringHandOff::Job>> proxy(RelayConnection* connection,
                                                                const GeminiHttpRequest& request);
    // The call's account and keys; answers the client itself when there are none.
    QCoro::Task<std::optional<RelayUpstreamCall::CallKeys>> resolveKeys(
        RelayConnection* connection, const GeminiHttpRequest& request);
    // The request log's entry for a counted request.
    void logRequest(const RelayConnection* connection, const GeminiHttpRequest& request,
                    const RelayMeteringHandOff::Outcome& metered);
    void trackClient(const QString& remoteIp, const QString& userAgent, const QString& alias);
    void noteClient(RelayConnection* connection, const QString& alias);
    // Drops clients not seen within the activity window; they are at the back.
    void expireClients(std::int64_t now);
    std::size_t activeClientCount();
    std::vector<GeminiRelayClientInfo> activeClientsSnapshot(std::int64_t now) const;
    GeminiRelayServerSnapshot makeSnapshot() const;
    // Publishes the state soon: at most one snapshot per kSnapshotInterval, since each one
    // copies the client table.
    void reportSnapshot();
    // Publishes the state now (start, stop, drain), so the last word is never a stale one.
    void publishSnapshot();
    std::int64_t now() const;
    void handlerFinished();

    int port_;
    GeminiRelayServerCallbacks callbacks_;
    GeminiRelayServerOptions options_;
    RelayCallbackGate* gate_;

    std::vector<QTcpServer*> listeners_;
    RelayUpstreamClients* upstream_ = nullptr;
    std::map<quint64, RelayConnection*> connections_;
    // Clients by recency (front: seen last) with an index by id, so a request costs O(1)
    // however many different clients there have been.
    std::list<GeminiRelayClientInfo> clients_;
    QHash<QString, std::list<GeminiRelayClientInfo>::iterator> clientIndex_;
    QTimer* snapshotTimer_ = nullptr;
    QElapsedTimer sinceSnapshot_;
    bool isRunning_ = false;
    std::int64_t requestsServed_ = 0;
    std::int64_t unmeteredRequests_ = 0;
    std::optional<QString> lastError_;
    std::optional<std::int64_t> startedAt_;

    quint64 nextConnectionId_ = 1;
    int handlersInFlight_ = 0;
    bool stopping_ = false;
    std::function<void()> drained_;

    // Snapshots are states, not events: only the latest one not yet delivered is kept.
    struct SnapshotSlot {
        QMutex mutex;
        std::optional<GeminiRelayServerSnapshot> latest;
    };
    std::shared_ptr<SnapshotSlot> snapshotSlot_ = std::make_shared<SnapshotSlot>();
};

}  // namespace qm
