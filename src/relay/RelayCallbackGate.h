#pragma once

#include <QFuture>
#include <QMutex>
#include <QObject>
#include <QPromise>
#include <deque>
#include <functional>
#include <memory>
#include <type_traits>

// Runs work handed over from the relay server's thread on the owner's thread (the thread that
// created the gate), in the order it was handed over, and gives the caller a QFuture for the
// result. Every future is always finished: when the gate goes away with work still queued, that
// work is abandoned with its fallback value, so a waiting coroutine never hangs on a future
// that no one will fulfil.
namespace qm {

class RelayCallbackGate : public QObject {
    Q_OBJECT

public:
    explicit RelayCallbackGate(QObject* parent = nullptr);
    ~RelayCallbackGate() override;

    // Queues fn() for the owner's thread; thread-safe.
    template <class T>
    QFuture<T> call(std::function<T()> fn, T fallback) {
        auto promise = std::make_shared<QPromise<T>>();
        promise->start();
        QFuture<T> future = promise->future();
        post(
            [promise, fn = std::move(fn)] {
                promise->addResult(fn());
                promise->finish();
            },
            [promise, fallback = std::move(fallback)] {
                promise->addResult(fallback);
                promise->finish();
            });
        return future;
    }

    QFuture<void> call(std::function<void()> fn);

    // Fire and forget; dropped when the gate goes away first.
    void post(std::function<void()> run, std::function<void()> abandon = {});

    // Runs everything queued so far, on the calling (owner's) thread.
    void drainNow();

private:
    struct Job {
        std::function<void()> run;
        std::function<void()> abandon;
    };

    QMutex mutex_;
    std::deque<Job> jobs_;
    bool drainScheduled_ = false;
};

}  // namespace qm
