#include "relay/RelayConnection.h"

#include "relay/GeminiRelayHttp.h"
#include "relay/RelayConnectionIo.h"

namespace qm {

RelayConnection::RelayConnection(QTcpSocket* socket, quint64 id,
                                 std::function<void(const QString&)> onFailure, QObject* parent)
    : QObject(parent), socket_(socket), id_(id), onFailure_(std::move(onFailure)) {
    socket_->setParent(this);
    // Bounded so a client that keeps sending while its answer streams cannot fill memory.
    socket_->setReadBufferSize(4 * GeminiRelayHttp::kReceiveChunkSize);
    connect(socket_, &QTcpSocket::readyRead, this, &RelayConnection::notify);
    connect(socket_, &QTcpSocket::bytesWritten, this, &RelayConnection::notify);
    connect(socket_, &QTcpSocket::stateChanged, this, &RelayConnection::notify);
    connect(socket_, &QTcpSocket::errorOccurred, this, &RelayConnection::notify);
    for (QTimer* timer : {&readDeadline_, &upstreamIdle_, &upstreamTotal_}) {
        timer->setSingleShot(true);
    }
    connect(&readDeadline_, &QTimer::timeout, this, [this] {
        readTimedOut_ = true;
        notify();
    });
    const auto upstreamTimeout = [this] {
        upstreamTimedOut_ = true;
        abortReply();
        notify();
    };
    connect(&upstreamIdle_, &QTimer::timeout, this, upstreamTimeout);
    connect(&upstreamTotal_, &QTimer::timeout, this, upstreamTimeout);
}

bool RelayConnection::socketOpen() const {
    return socket_->state() == QAbstractSocket::ConnectedState;
}

void RelayConnection::startReadDeadline(std::chrono::milliseconds timeout) {
    readTimedOut_ = false;
    readDeadline_.start(timeout);
}

void RelayConnection::stopReadDeadline() {
    readDeadline_.stop();
}

void RelayConnection::attachReply(QNetworkReply* reply, std::chrono::milliseconds idle,
                                  std::chrono::milliseconds total) {
    reply_ = reply;
    reply_->setParent(this);
    const auto activity = [this] {
        if (upstreamIdle_.isActive()) upstreamIdle_.start();
        notify();
    };
    connect(reply_, &QNetworkReply::metaDataChanged, this, activity);
    connect(reply_, &QNetworkReply::readyRead, this, activity);
    connect(reply_, &QNetworkReply::uploadProgress, this, activity);
    connect(reply_, &QNetworkReply::finished, this, [this] {
        upstreamIdle_.stop();
        upstreamTotal_.stop();
        notify();
    });
    if (idle.count() > 0) upstreamIdle_.start(idle);
    if (total.count() > 0) upstreamTotal_.start(total);
}

void RelayConnection::abortReply() {
    upstreamIdle_.stop();
    upstreamTotal_.stop();
    if (reply_ && reply_->isRunning()) reply_->abort();
}

void RelayConnection::cancel() {
    cancelled_ = true;
    readDeadline_.stop();
    abortReply();
    socket_->abort();
    notify();
}

void RelayConnection::noteFailure(const QString& description) {
    if (!cancelled_ && onFailure_) onFailure_(description);
}

void RelayConnection::dropClient() {
    abortReply();
    noteFailure(RelayConnectionIo::socketFailureText(socket_));
}

void RelayConnection::notify() {
    pending_ = true;
    if (waiter_ && !resumeScheduled_) {
        // Resumed from the event loop, never from inside the socket's or reply's own signal,
        // so the coroutine may freely close or drop them.
        resumeScheduled_ = true;
        QMetaObject::invokeMethod(this, &RelayConnection::resumeWaiter, Qt::QueuedConnection);
    }
}

void RelayConnection::resumeWaiter() {
    resumeScheduled_ = false;
    if (!waiter_) return;
    const std::coroutine_handle<> handle = waiter_;
    waiter_ = nullptr;
    handle.resume();
}

}  // namespace qm
