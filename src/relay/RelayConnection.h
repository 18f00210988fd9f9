#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <coroutine>
#include <functional>

namespace qm {

// One accepted connection and, while it is forwarded, its upstream call. The coroutine that
// handles it owns it and waits on changed(), which resumes after anything happened to the
// socket, the upstream reply or the timers, so the coroutine never waits on an object that
// could vanish under it. Lives on the relay thread.
class RelayConnection : public QObject {
    Q_OBJECT

public:
    // `onFailure` hears what went wrong with this connection's request, except after cancel().
    RelayConnection(QTcpSocket* socket, quint64 id, std::function<void(const QString&)> onFailure,
                    QObject* parent);

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

    // Reports a failure of this request; one cut short by stop() is not a failure of its own.
    void noteFailure(const QString& description);
    // The client left: the upstream call ends and the failure is noted.
    void dropClient();

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
    std::function<void(const QString&)> onFailure_;
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

}  // namespace qm
