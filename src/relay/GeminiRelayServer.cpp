#include "relay/GeminiRelayServer.h"

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QPromise>

#include <qcoro/qcorofuture.h>

#include "relay/GeminiRelayServerWorker.h"
#include "relay/RelayCallbackGate.h"

namespace qm {

namespace {

// A promise that is always finished: a value set by the relay thread, or T{} when the work
// never ran, so the awaiting coroutine always resumes with a result.
template <class T>
class SettledPromise {
public:
    SettledPromise() { promise_.start(); }
    ~SettledPromise() {
        if (!done_) settle(T{});
    }
    QFuture<T> future() { return promise_.future(); }
    void settle(T value) {
        promise_.addResult(std::move(value));
        promise_.finish();
        done_ = true;
    }

private:
    QPromise<T> promise_;
    bool done_ = false;
};

}  // namespace

QString GeminiRelayClientInfo::displayName() const {
    const QString agent = userAgent.trimmed();
    if (agent.isEmpty() || agent == QLatin1String("(unknown)")) {
        return QStringLiteral("(unknown)");
    }
    const qsizetype space = agent.indexOf(u' ');
    return space < 0 ? agent : agent.left(space);
}

GeminiRelayServer::GeminiRelayServer(int port, GeminiRelayServerCallbacks callbacks,
                                     GeminiRelayServerOptions options, QObject* parent)
    : QObject(parent),
      port_(port),
      thread_(std::make_unique<QThread>()),
      gate_(std::make_unique<RelayCallbackGate>()) {
    thread_->setObjectName(QStringLiteral("quotameter.gemini-relay"));
    auto* worker =
        new GeminiRelayServerWorker(port, std::move(callbacks), std::move(options), gate_.get());
    worker->moveToThread(thread_.get());
    // Deferred deletions still run as the thread finishes, so the worker and its sockets
    // and upstream clients are destroyed on the relay thread.
    connect(thread_.get(), &QThread::finished, worker, &QObject::deleteLater);
    worker_ = worker;
    thread_->start();
}

GeminiRelayServer::~GeminiRelayServer() {
    shutDownNow();
}

void GeminiRelayServer::shutDownNow() {
    if (!thread_ || thread_->isFinished()) return;
    if (!stopped_) {
        stopped_ = true;
        QThread* thread = thread_.get();
        QMetaObject::invokeMethod(
            worker_, [worker = worker_, thread] { worker->stop([thread] { thread->quit(); }); },
            Qt::QueuedConnection);
    }
    // Requests still in flight may wait for a callback on this thread; run them here.
    while (!thread_->wait(QDeadlineTimer(10))) gate_->drainNow();
}

QCoro::Task<std::optional<GeminiRelayServerError>> GeminiRelayServer::start() {
    if (stopped_) {
        co_return GeminiRelayServerError::listenFailed(QStringLiteral("The relay was stopped."));
    }
    using Result = std::pair<std::optional<GeminiRelayServerError>, int>;
    auto promise = std::make_shared<SettledPromise<Result>>();
    QFuture<Result> future = promise->future();
    GeminiRelayServerWorker* worker = worker_;
    QMetaObject::invokeMethod(
        worker,
        [worker, promise] {
            auto error = worker->startListening();
            promise->settle({std::move(error), worker->port()});
        },
        Qt::QueuedConnection);
    promise.reset();
    QPointer<GeminiRelayServer> self(this);
    const Result result = co_await future;
    if (!self)
        co_return GeminiRelayServerError::listenFailed(QStringLiteral("The relay was stopped."));
    if (!result.first) port_ = result.second;
    co_return result.first;
}

QCoro::Task<> GeminiRelayServer::stop() {
    if (stopped_) co_return;
    stopped_ = true;
    auto promise = std::make_shared<SettledPromise<bool>>();
    QFuture<bool> future = promise->future();
    QThread* thread = thread_.get();
    GeminiRelayServerWorker* worker = worker_;
    QMetaObject::invokeMethod(
        worker,
        [worker, promise, thread] {
            worker->stop([promise, thread] {
                promise->settle(true);
                thread->quit();
            });
        },
        Qt::QueuedConnection);
    promise.reset();
    QPointer<GeminiRelayServer> self(this);
    co_await future;
    if (self) thread_->wait();
}

}  // namespace qm
