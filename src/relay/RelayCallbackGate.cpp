#include "relay/RelayCallbackGate.h"

#include <QMetaObject>

namespace qm {

RelayCallbackGate::RelayCallbackGate(QObject* parent) : QObject(parent) {}

RelayCallbackGate::~RelayCallbackGate() {
    std::deque<Job> left;
    {
        QMutexLocker lock(&mutex_);
        left.swap(jobs_);
    }
    for (Job& job : left) {
        if (job.abandon) job.abandon();
    }
}

QFuture<void> RelayCallbackGate::call(std::function<void()> fn) {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    QFuture<void> future = promise->future();
    post(
        [promise, fn = std::move(fn)] {
            fn();
            promise->finish();
        },
        [promise] { promise->finish(); });
    return future;
}

void RelayCallbackGate::post(std::function<void()> run, std::function<void()> abandon) {
    bool schedule = false;
    {
        QMutexLocker lock(&mutex_);
        jobs_.push_back({std::move(run), std::move(abandon)});
        if (!drainScheduled_) {
            drainScheduled_ = true;
            schedule = true;
        }
    }
    // One queued drain serves every job posted until it runs.
    if (schedule)
        QMetaObject::invokeMethod(this, &RelayCallbackGate::drainNow, Qt::QueuedConnection);
}

void RelayCallbackGate::drainNow() {
    for (;;) {
        Job job;
        {
            QMutexLocker lock(&mutex_);
            if (jobs_.empty()) {
                drainScheduled_ = false;
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job.run();
    }
}

}  // namespace qm
