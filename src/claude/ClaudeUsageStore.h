#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "claude/ClaudeBrowser.h"
#include "core/ClaudeUsageModel.h"
#include "core/HistoryRecords.h"

namespace qm {

// What the interface knows about the Claude subscription: the latest limits, the connection
// state and a one-line status. Reads them through the browser process (started on the first
// need, gone when idle); main thread only; changed() follows every change of the published
// state. Nothing here throws: failures become status texts.
class ClaudeUsageStore : public QObject {
    Q_OBJECT
public:
    explicit ClaudeUsageStore(ClaudeBrowserOptions options, QObject* parent = nullptr);
    // The installed browser with its profile under dataDirectory, reading the real Claude site.
    explicit ClaudeUsageStore(const QString& dataDirectory, QObject* parent = nullptr);
    ~ClaudeUsageStore() override;

    // The browser the application ships with (beside it in the build tree, under
    // libexec/quotameter when installed), reading the real site.
    static ClaudeBrowserOptions installedBrowser(const QString& dataDirectory);

    std::optional<LatestClaudeUsage> latest() const { return latest_; }
    // When latest() was read from the site.
    std::optional<TimeMs> latestAt() const { return latestAt_; }
    bool isRefreshing() const { return isRefreshing_; }
    // After a failure, a plain sentence with the next step; the raw failure is errorDetail().
    QString statusText() const { return statusText_; }
    // The last fetch's raw failure (for a tool tip), empty after a success.
    QString errorDetail() const { return errorDetail_; }
    ClaudeUsageStatusKind statusKind() const { return statusKind_; }
    // The browser process runs (a fetch or the login window needed it lately).
    bool hasSession() const;
    qint64 browserProcessId() const;

    // The login window: the browser's own window on the profile the fetches use. "Done" in it
    // arrives as loginDoneRequested(); the window's status line is set with setLoginStatus().
    void showLoginWindow();
    void closeLoginWindow();
    bool isLoginWindowShown() const;
    void setLoginStatus(const ClaudeBrowserProtocol::LoginStatus& status);

    // The browser exits once neither a fetch nor the login window has needed it for `period`;
    // the next need starts it again. Takes effect from the browser's next start.
    static constexpr std::chrono::milliseconds kIdleShutdown{std::chrono::minutes(2)};
    void setIdleShutdown(std::chrono::milliseconds period);

    // Receives one snapshot per successful fetch (the history store decides what to keep).
    void setHistorySink(std::function<void(const ClaudeUsageSnapshot&)> sink);

    // Whether the fetches nobody asked for (at start, every few minutes) are worth the browser
    // now: another source may already hold the limits. Without a rule set, always. A fetch the
    // user asks for (Refresh, the login) is never held back.
    void setAutomaticFetchNeeded(std::function<bool()> needed);
    bool automaticFetchNeeded() const;

    // One fetch; a call while another runs returns at once and changes nothing.
    QCoro::Task<void> refresh();
    void refreshInBackground();
    // A fetch after signing in; true when it brought limits.
    QCoro::Task<bool> completeLogin();

Q_SIGNALS:
    void changed();
    void loginDoneRequested();

private:
    ClaudeBrowser* browser_;
    std::function<void(const ClaudeUsageSnapshot&)> historySink_;
    std::optional<LatestClaudeUsage> latest_;
    std::optional<TimeMs> latestAt_;
    std::function<bool()> automaticFetchNeeded_;
    bool isRefreshing_ = false;
    QString statusText_ = QStringLiteral("Login required");
    ClaudeUsageStatusKind statusKind_ = ClaudeUsageStatusKind::needsLogin;
    QString errorDetail_;
};

}  // namespace qm
