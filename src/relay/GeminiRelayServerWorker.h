#pragma once

#include <QElapsedTimer>
#include <QFuture>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <coroutine>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <qcoro/qcorotask.h>

#include "relay/GeminiRelayMetering.h"
#include "relay/GeminiRelayServer.h"

// The relay's inner workings; everything here lives on the relay thread.
namespace qm {

// One accepted connection and, while it is forwarded, its upstream call. The coroutine that
// handles it owns it and waits on changed(), which resumes after anything happened to the
// socket, the upstream reply or the timers, so the coroutine never waits on an object that
// could vanish under it.
class RelayConnection : public QObject {
    Q_OBJECT

public:
    RelayConnection(QTcpSocket* socket, quint64 id, QObject* parent);

    quint64 id() const { return id_; }
    QTcpSocket* socket() const { return socket_; }
    bool socketOpen() const;

    void startReadDeadline(std::chrono::milliseconds timeout);
    void stopReadDeadline();
    bool readTimedOut() const { return readTimedOut_; }

    // Takes ownership of the reply and watches it.
    void attachReply(QNetworkReply* reply, std::chrono::milliseconds idle,
                     std::chrono::milliseconds total);
    QNetworkReply* reply() const { return reply_; }
    void abortReply();
    bool upstreamTimedOut() const { return upstreamTimedOut_; }

    // Stop: abort everything; the handling coroutine notices and ends unanswered.
    void cancel();
    bool cancelled() const { return cancelled_; }

    struct ChangeAwaiter {
        RelayConnection* connection;
        bool await_ready() const noexcept { return connection->pending_; }
        void await_suspend(std::coroutine_handle<> handle) noexcept {
            connection->waiter_ = handle;
        }
        void await_resume() noexcept { connection->pending_ = false; }
    };
    ChangeAwaiter changed() { return ChangeAwaiter{this}; }

    bool headSent = false;
    // What the request log says about this connection.
    int status = 0;
    QString remoteIp;
    QString userAgent;
    QString clientAlias;

private:
    void notify();
    void resumeWaiter();

    QTcpSocket* socket_;
    quint64 id_;
    QNetworkReply* reply_ = nullptr;
    QTimer readDeadline_;
    QTimer upstreamIdle_;
    QTimer upstreamTotal_;
    bool readTimedOut_ = false;
    bool upstreamTimedOut_ = false;
    bool cancelled_ = false;
    bool pending_ = false;
    bool resumeScheduled_ = false;
    std::coroutine_handle<> waiter_;
};

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
    // What a successful generation answer leaves for metering once the client is served.
    struct MeterJob {
        QByteArray body;
        bool streamed = false;
        // Gemini's OpenAI-compatible endpoint rather than its own generateContent.
        bool openAi = false;
        GeminiRelayMetering::RequestFacts facts;
    };

    static std::optional<GeminiUsageRecord> meteredRecord(const MeterJob& job);
    void accept(QTcpServer* server);
    QCoro::Task<> handle(RelayConnection* connection);
    // Coroutine arguments are kept as named objects throughout: GCC 12 can destroy
    // temporaries inside a co_await expression twice.
    QCoro::Task<std::optional<MeterJob>> route(RelayConnection* connection,
                                               const GeminiHttpRequest& request);
    QCoro::Task<> answer(RelayConnection* connection, int status, const QString& message);
    QCoro::Task<> deliver(RelayConnection* connection, const QByteArray& response);
    QCoro::Task<std::optional<MeterJob>> proxy(RelayConnection* connection,
                                               const GeminiHttpRequest& request,
                                               const QString& remoteIp, const QString& userAgent);
    // The keys of one call: the account it goes to, the real key sent upstream and the relay
    // key the client sent, both kept out of the answer's headers.
    struct CallKeys {
        QString accountId;
        QString apiKey;
        QString relayKey;
    };
    // The call's account and keys; answers the client itself when there are none.
    QCoro::Task<std::optional<CallKeys>> resolveKeys(RelayConnection* connection,
                                                     const GeminiHttpRequest& request,
                                                     const QString& remoteIp,
                                                     const QString& userAgent);
    QCoro::Task<bool> awaitAnswer(RelayConnection* connection, QNetworkReply* reply, bool streamed);
    QCoro::Task<bool> forwardBuffered(RelayConnection* connection, QNetworkReply* reply, int status,
                                      const CallKeys& keys, QByteArray* body);
    QCoro::Task<bool> forwardStreamed(RelayConnection* connection, QNetworkReply* reply, int status,
                                      const CallKeys& keys, QByteArray* capture);
    // The client left: the upstream call ends and the failure is noted.
    void dropClient(RelayConnection* connection);
    QCoro::Task<std::optional<GeminiRelayServerError>> readRequest(RelayConnection* connection,
                                                                   GeminiHttpRequest* request);
    // Fails the route; answers `status` when nothing has been sent yet.
    QCoro::Task<> failRoute(RelayConnection* connection, const QString& description,
                            int status = 400);
    QCoro::Task<bool> send(RelayConnection* connection, const QByteArray& bytes);
    QCoro::Task<> closeGracefully(RelayConnection* connection);

    QNetworkReply* sendUpstream(const QNetworkRequest& request, const QByteArray& method,
                                const QByteArray& body);
    void noteFailure(RelayConnection* connection, const QString& description);
    void trackClient(const QString& remoteIp, const QString& userAgent, const QString& alias);
    void noteClient(RelayConnection* connection, const QString& remoteIp, const QString& userAgent,
                    const QString& alias);
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
    // Upstream clients and their calls in flight; a new one is added when each has as many
    // calls as Qt opens HTTP/1.1 connections per host, so long streams never queue behind
    // each other.
    std::vector<std::pair<QNetworkAccessManager*, int>> managers_;
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
