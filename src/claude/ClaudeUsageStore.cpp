#include "claude/ClaudeUsageStore.h"

#include <QDateTime>
#include <QPointer>
#include <utility>

#include "claude/ClaudeWebSession.h"

namespace qm {

ClaudeUsageStore::ClaudeUsageStore(std::unique_ptr<ClaudeWebSession> session, QObject* parent)
    : QObject(parent), session_(session.release()) {
    session_->setParent(this);
}

ClaudeUsageStore::ClaudeUsageStore(SessionFactory makeSession, QObject* parent)
    : QObject(parent), makeSession_(std::move(makeSession)) {
    idle_.setSingleShot(true);
    idle_.setInterval(kIdleShutdown);
    connect(&idle_, &QTimer::timeout, this, &ClaudeUsageStore::shutDownIfIdle);
}

ClaudeUsageStore::ClaudeUsageStore(const QString& dataDirectory, QObject* parent)
    : ClaudeUsageStore(SessionFactory([dataDirectory] {
                           return std::make_unique<ClaudeWebSession>(dataDirectory);
                       }),
                       parent) {}

ClaudeWebSession* ClaudeUsageStore::session() {
    if (!session_) {
        session_ = makeSession_().release();
        session_->setParent(this);
    }
    return session_;
}

ClaudeUsageStore::~ClaudeUsageStore() = default;

ClaudeWebSession* ClaudeUsageStore::holdSession() {
    ++holders_;
    idle_.stop();
    return session();
}

void ClaudeUsageStore::releaseSession() {
    if (holders_ > 0) --holders_;
    if (makeSession_) idle_.start();
}

void ClaudeUsageStore::setIdleShutdown(std::chrono::milliseconds period) {
    idle_.setInterval(period);
}

void ClaudeUsageStore::shutDownIfIdle() {
    if (!session_ || isRefreshing_ || holders_ > 0 || !makeSession_) return;
    // The page goes before its profile (the session's destructor sees to it); with the last
    // page gone, Chromium ends its renderer.
    delete std::exchange(session_, nullptr);
    Q_EMIT changed();
}

void ClaudeUsageStore::setHistorySink(std::function<void(const ClaudeUsageSnapshot&)> sink) {
    historySink_ = std::move(sink);
}

QCoro::Task<void> ClaudeUsageStore::refresh() {
    if (isRefreshing_) co_return;
    isRefreshing_ = true;
    statusText_ = QStringLiteral("Refreshing...");
    statusKind_ = ClaudeUsageStatusKind::loading;
    Q_EMIT changed();

    QPointer<ClaudeUsageStore> self(this);
    const ClaudeUsageResult result = co_await session()->fetchUsage();
    if (!self) co_return;

    if (const auto* response = std::get_if<UsageApiResponse>(&result)) {
        latest_ = LatestClaudeUsage::fromResponse(*response, QDateTime::currentMSecsSinceEpoch());
        statusText_ = QStringLiteral("Connected");
        errorDetail_.clear();
        statusKind_ = ClaudeUsageStatusKind::connected;
        if (historySink_) {
            ClaudeUsageSnapshot snapshot;
            snapshot.timestampMs = QDateTime::currentMSecsSinceEpoch();
            snapshot.sessionPct = latest_->sessionPct;
            snapshot.weekPct = latest_->weekPct;
            snapshot.subPct = latest_->subPct;
            snapshot.subModelName =
                latest_->subModelName.isEmpty() ? QStringLiteral("Sonnet") : latest_->subModelName;
            historySink_(snapshot);
        }
    } else {
        const auto& error = std::get<ClaudeWebSessionError>(result);
        if (error.kind == ClaudeWebSessionError::Kind::notLoggedIn) {
            latest_.reset();
            statusKind_ = ClaudeUsageStatusKind::needsLogin;
        } else {
            // The last figures stay on screen through a transient failure.
            statusKind_ = ClaudeUsageStatusKind::error;
        }
        statusText_ = error.sentence();
        errorDetail_ = error.description();
        qWarning("Claude limits: %s", qUtf8Printable(errorDetail_));
    }
    isRefreshing_ = false;
    if (makeSession_) idle_.start();
    Q_EMIT changed();
}

void ClaudeUsageStore::refreshInBackground() {
    // The task runs on by itself; the store's guard covers its end.
    refresh();
}

QCoro::Task<bool> ClaudeUsageStore::completeLogin() {
    QPointer<ClaudeUsageStore> self(this);
    co_await refresh();
    if (!self) co_return false;
    co_return statusKind_ == ClaudeUsageStatusKind::connected&& latest_.has_value();
}

}  // namespace qm
