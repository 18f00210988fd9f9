#pragma once

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <chrono>
#include <map>
#include <memory>
#include <optional>

#include "claude/ClaudeBrowserProtocol.h"
#include "claude/ClaudeWebSessionError.h"
#include "claude/OneShot.h"

class QProcess;
class QTimer;

namespace qm {

struct ClaudeBrowserOptions {
    QString program;        // the browser executable
    QStringList arguments;  // where its profile lives, which site it reads
    // The browser exits by itself once no fetch or login window has needed it this long.
    std::chrono::milliseconds idleExit{std::chrono::minutes(2)};
    // A fetch not answered within this has hung the browser: it is ended. Longer than the
    // browser's own limits (page load, settling, the site's answer) put together.
    std::chrono::milliseconds answerLimit{std::chrono::seconds(90)};
};

// The browser engine in a process of its own, started on the first need and gone when idle,
// so its memory goes back to the system between fetches. Requests and answers travel as JSON
// lines over its stdin and stdout. A browser that crashes, hangs or sends a line longer than
// ClaudeBrowserProtocol::kMaxLineBytes fails what was asked of it with a browserFailed error;
// the next need starts a new one. Main thread only.
class ClaudeBrowser : public QObject {
    Q_OBJECT
public:
    explicit ClaudeBrowser(ClaudeBrowserOptions options, QObject* parent = nullptr);
    // Closes the browser and waits for it, so none is left behind the application.
    ~ClaudeBrowser() override;

    bool isRunning() const { return process_ != nullptr; }
    qint64 processId() const;
    bool isLoginShown() const { return loginShown_; }
    // Takes effect from the next start.
    void setIdleExit(std::chrono::milliseconds period) { options_.idleExit = period; }

    QCoro::Task<ClaudeUsageResult> fetchUsage();
    // The login window is the browser's own top-level window, on the profile the fetches use.
    // False when the browser could not start.
    bool showLogin();
    void closeLogin();
    void setLoginStatus(const ClaudeBrowserProtocol::LoginStatus& status);

Q_SIGNALS:
    void runningChanged();
    void loginShownChanged();
    // The user pressed "Done" in the login window.
    void loginDone();

private:
    // Nothing: the browser went idle and exited just as the request was sent; ask again.
    using Answer = std::optional<ClaudeUsageResult>;

    bool ensureStarted();
    void send(const QJsonObject& message);
    void readMessages();
    void receive(const QJsonObject& message);
    void processEnded(int exitCode, bool crashed);
    void failPending(const Answer& answer);
    void hung(qint64 id);

    ClaudeBrowserOptions options_;
    QProcess* process_ = nullptr;
    ClaudeBrowserProtocol::LineReader lines_;  // of the running process's stdout
    std::map<qint64, std::shared_ptr<OneShot<Answer>>> pending_;
    std::map<qint64, QPointer<QTimer>> limits_;
    qint64 nextId_ = 1;
    bool loginShown_ = false;
    QString failure_;  // why the running browser is being ended, when it is the app's doing
};

}  // namespace qm
