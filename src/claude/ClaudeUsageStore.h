#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "core/ClaudeUsageModel.h"
#include "core/HistoryRecords.h"

namespace qm {

class ClaudeWebSession;

// What the interface knows about the Claude subscription: the latest limits, the connection
// state and a one-line status. Owns the web session; main thread only; changed() follows every
// change of the published state. Nothing here throws: failures become status texts.
class ClaudeUsageStore : public QObject {
    Q_OBJECT
public:
    using SessionFactory = std::function<std::unique_ptr<ClaudeWebSession>()>;

    // Takes the session over (it becomes a child of the store).
    explicit ClaudeUsageStore(std::unique_ptr<ClaudeWebSession> session, QObject* parent = nullptr);
    // The session is made by `makeSession` when it is first needed, so Chromium starts only
    // when the limits are first fetched or the login window opens.
    explicit ClaudeUsageStore(SessionFactory makeSession, QObject* parent = nullptr);
    // A session with the real Claude site and its profile under dataDirectory, made on first use.
    explicit ClaudeUsageStore(const QString& dataDirectory, QObject* parent = nullptr);
    ~ClaudeUsageStore() override;

    std::optional<LatestClaudeUsage> latest() const { return latest_; }
    bool isRefreshing() const { return isRefreshing_; }
    // After a failure, a plain sentence with the next step; the raw failure is errorDetail().
    QString statusText() const { return statusText_; }
    // The last fetch's raw failure (for a tool tip), empty after a success.
    QString errorDetail() const { return errorDetail_; }
    ClaudeUsageStatusKind statusKind() const { return statusKind_; }
    // The login window shows the session's page. Creates the session on first use.
    ClaudeWebSession* session();
    bool hasSession() const { return session_ != nullptr; }
    // The session for a user that keeps it until releaseSession() (the login window while it
    // shows the page): it is not shut down meanwhile.
    ClaudeWebSession* holdSession();
    void releaseSession();

    // A session made on demand is shut down, browser processes and all, once neither a fetch
    // nor a holder has needed it for `period`; the next need starts it again.
    static constexpr std::chrono::milliseconds kIdleShutdown{std::chrono::minutes(2)};
    void setIdleShutdown(std::chrono::milliseconds period);

    // Receives one snapshot per successful fetch (the history store decides what to keep).
    void setHistorySink(std::function<void(const ClaudeUsageSnapshot&)> sink);

    // One fetch; a call while another runs returns at once and changes nothing.
    QCoro::Task<void> refresh();
    void refreshInBackground();
    // A fetch after signing in; true when it brought limits.
    QCoro::Task<bool> completeLogin();

Q_SIGNALS:
    void changed();

private:
    void shutDownIfIdle();

    SessionFactory makeSession_;
    int holders_ = 0;
    QTimer idle_;
    ClaudeWebSession* session_ = nullptr;
    std::function<void(const ClaudeUsageSnapshot&)> historySink_;
    std::optional<LatestClaudeUsage> latest_;
    bool isRefreshing_ = false;
    QString statusText_ = QStringLiteral("Login required");
    ClaudeUsageStatusKind statusKind_ = ClaudeUsageStatusKind::needsLogin;
    QString errorDetail_;
};

}  // namespace qm
