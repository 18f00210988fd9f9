#pragma once

#include <QCoroTask>
#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <variant>

#include "claude/ClaudeWebSessionError.h"
#include "claude/OneShot.h"
#include "core/ClaudeUsageModel.h"
#include "core/RemoteHosts.h"

class QWebChannel;
class QWebEnginePage;
class QWebEngineProfile;

namespace qm {

class ClaudeWebPage;
class ClaudeScriptBridge;

// What one script run came back with: the usage JSON text, or a failure code.
struct ClaudeScriptResult {
    bool ok = false;
    QString text;

    static ClaudeScriptResult success(QString json) { return {true, std::move(json)}; }
    static ClaudeScriptResult failure(QString code) { return {false, std::move(code)}; }
    bool operator==(const ClaudeScriptResult&) const = default;
};

// One message from the page script, read leniently: wrong-typed members count as absent.
struct ClaudeScriptPayload {
    QString id;
    bool ok = false;
    std::optional<QString> data;
    std::optional<QString> error;
    std::optional<QString> message;
    std::optional<std::int64_t> status;

    // Nothing for a body that is not an object.
    static std::optional<ClaudeScriptPayload> fromMessage(const QJsonValue& body);
    // error (or "unknown"), then "_<status>", then ": <message>" when there is one.
    QString failureCode() const;

    bool operator==(const ClaudeScriptPayload&) const = default;
};

// The time limits of a fetch; tests shorten them.
struct ClaudeWebSessionTimings {
    std::chrono::milliseconds navigationTimeout{15000};
    std::chrono::milliseconds settleDelay{1500};  // after a load, for the site's own scripts
    std::chrono::milliseconds answerTimeout{30000};
};

// The signed-in browser session on the Claude site: one persistent profile (cookies survive
// restarts) and one page that works without being shown. A fetch loads the site if needed,
// runs the usage script in an isolated script world and waits for its answer on a web channel
// that the site's own scripts cannot reach. Main thread only.
class ClaudeWebSession : public QObject {
    Q_OBJECT
public:
    // The profile lives in "ClaudeWeb" under dataDirectory.
    explicit ClaudeWebSession(const QString& dataDirectory,
                              const QUrl& claudeOrigin = QUrl(RemoteHosts::claudeSite()),
                              const QString& googleSignInHost = RemoteHosts::googleSignInHost(),
                              ClaudeWebSessionTimings timings = {}, QObject* parent = nullptr);
    ~ClaudeWebSession() override;

    // The page the login window shows in a QWebEngineView; the session keeps owning it.
    QWebEnginePage* page() const;
    QWebEngineProfile* profile() const { return profile_; }
    QString profileDirectory() const { return profileDirectory_; }
    QUrl claudeOrigin() const { return origin_; }
    bool allowsGoogleLogin() const;

    // Before the page is shown for signing in: Google sign-in becomes reachable.
    void prepareForVisibleLogin();
    QCoro::Task<void> loadLoginPage();

    // One attempt, no retries; every failure comes back as a ClaudeWebSessionError.
    QCoro::Task<ClaudeUsageResult> fetchUsage();
    // The same, with the answer as the site sent it (read by whoever receives it).
    QCoro::Task<ClaudeUsageText> fetchUsageText();

    bool isClaudePage(const QUrl& url) const;

Q_SIGNALS:
    void navigationRefused(const QUrl& url);

private:
    QCoro::Task<void> load(QUrl url);
    void finishNavigation();
    QCoro::Task<void> evaluateIgnoringResult(const QString& script);
    QCoro::Task<ClaudeScriptResult> evaluateScript(const QString& script, const QString& nonce);
    void receiveScriptPayload(const ClaudeScriptPayload& payload);
    void finishMessage(const QString& id, const ClaudeScriptResult& result);
    QUrl sitePage(const QString& path) const;

    QUrl origin_;
    ClaudeWebSessionTimings timings_;
    QString profileDirectory_;
    QWebEngineProfile* profile_ = nullptr;
    ClaudeWebPage* page_ = nullptr;
    ClaudeScriptBridge* bridge_ = nullptr;
    QWebChannel* channel_ = nullptr;
    std::map<QString, std::shared_ptr<OneShot<ClaudeScriptResult>>> pendingMessages_;
    std::map<QString, QTimer*> pendingTimeouts_;
    std::shared_ptr<OneShot<bool>> pendingNavigation_;
    QTimer navigationTimeout_;
    bool reloadNeeded_ = false;  // the renderer died; the current page is gone
};

}  // namespace qm
