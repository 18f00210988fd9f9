#include "browser/ClaudeWebSession.h"

#include <QCoroTimer>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QUuid>
#include <QWebChannel>
#include <QWebEngineHttpRequest>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <cmath>
#include <functional>

#include "browser/ClaudeScripts.h"
#include "browser/ClaudeWebPage.h"
#include "core/SharedFile.h"

namespace qm {

// The object the page script posts to, published on the web channel as "quotameter". It only
// forwards; the session decides what a message means.
class ClaudeScriptBridge : public QObject {
    Q_OBJECT
public:
    ClaudeScriptBridge(std::function<void(const ClaudeScriptPayload&)> receive, QObject* parent)
        : QObject(parent), receive_(std::move(receive)) {}

    Q_INVOKABLE void postMessage(const QJsonValue& body) {
        if (const auto payload = ClaudeScriptPayload::fromMessage(body)) receive_(*payload);
    }

private:
    std::function<void(const ClaudeScriptPayload&)> receive_;
};

std::optional<ClaudeScriptPayload> ClaudeScriptPayload::fromMessage(const QJsonValue& body) {
    if (!body.isObject()) return std::nullopt;
    const QJsonObject o = body.toObject();
    const auto text = [&](const char* key) -> std::optional<QString> {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isString()) return std::nullopt;
        return v.toString();
    };
    ClaudeScriptPayload p;
    p.id = text("__id").value_or(QString());
    p.data = text("data");
    p.error = text("error");
    p.message = text("message");
    const QJsonValue ok = o.value(QLatin1String("ok"));
    p.ok = ok.isBool() ? ok.toBool() : ok.isDouble() && ok.toDouble() != 0;
    const QJsonValue status = o.value(QLatin1String("status"));
    if (status.isDouble()) {
        // Only numbers an integer can hold; converting anything else would be undefined.
        const double d = std::trunc(status.toDouble());
        if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            p.status = static_cast<std::int64_t>(d);
        }
    }
    return p;
}

QString ClaudeScriptPayload::failureCode() const {
    QString code = error.value_or(QStringLiteral("unknown"));
    if (status) code += QLatin1Char('_') + QString::number(*status);
    if (message && !message->isEmpty()) code += QStringLiteral(": ") + *message;
    return code;
}

namespace {

QString webChannelLibrary() {
    QFile file(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

}  // namespace

ClaudeWebSession::ClaudeWebSession(const QString& dataDirectory, const QUrl& claudeOrigin,
                                   const QString& googleSignInHost, ClaudeWebSessionTimings timings,
                                   QObject* parent)
    : QObject(parent),
      origin_(claudeOrigin),
      timings_(timings),
      profileDirectory_(QDir(dataDirectory).filePath(QStringLiteral("ClaudeWeb"))) {
    makePrivateFolder(profileDirectory_);
    profile_ = new QWebEngineProfile(QStringLiteral("Quotameter"), this);
    profile_->setPersistentStoragePath(profileDirectory_);
    profile_->setCachePath(QDir(profileDirectory_).filePath(QStringLiteral("Cache")));
    // The usage requests bypass the HTTP cache ("reload") and page loads ask for fresh
    // copies, so no stale answer is served without clearing anything. Clearing is avoided on
    // purpose: in this WebEngine clearHttpCache() stalls the page's next requests, and a
    // profile without any cache (NoCache) now and then never starts its first request.
    profile_->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    profile_->setPersistentCookiesPolicy(QWebEngineProfile::AllowPersistentCookies);

    ClaudeNavigationDelegate navigation;
    navigation.claudeHost = origin_.host().toLower();
    navigation.googleSignInHost = googleSignInHost.toLower();
    page_ = new ClaudeWebPage(profile_, navigation, this);

    QWebEngineScript channelLibrary;
    channelLibrary.setName(QStringLiteral("quotameter-webchannel"));
    channelLibrary.setSourceCode(webChannelLibrary());
    channelLibrary.setInjectionPoint(QWebEngineScript::DocumentCreation);
    channelLibrary.setWorldId(QWebEngineScript::ApplicationWorld);
    channelLibrary.setRunsOnSubFrames(false);
    page_->scripts().insert(channelLibrary);

    QPointer<ClaudeWebSession> self(this);
    bridge_ = new ClaudeScriptBridge(
        [self](const ClaudeScriptPayload& payload) {
            if (self) self->receiveScriptPayload(payload);
        },
        this);
    channel_ = new QWebChannel(this);
    channel_->registerObject(QStringLiteral("quotameter"), bridge_);
    page_->setWebChannel(channel_, QWebEngineScript::ApplicationWorld);

    navigationTimeout_.setSingleShot(true);
    connect(&navigationTimeout_, &QTimer::timeout, this, &ClaudeWebSession::finishNavigation);
    connect(page_, &QWebEnginePage::loadFinished, this, &ClaudeWebSession::finishNavigation);
    connect(page_, &QWebEnginePage::renderProcessTerminated, this, [this] {
        reloadNeeded_ = true;
        finishNavigation();
    });
    // A refused main-frame navigation has ended as far as a waiting load is concerned; the
    // engine reports no load result for it.
    connect(page_, &ClaudeWebPage::navigationRefused, this,
            [this](const QUrl& url, bool isMainFrame) {
                if (isMainFrame) finishNavigation();
                Q_EMIT navigationRefused(url);
            });
}

ClaudeWebSession::~ClaudeWebSession() {
    // Waiters resume with a failure and find the session gone through their guards.
    finishNavigation();
    const auto ids = [this] {
        QStringList list;
        for (const auto& entry : pendingMessages_) list << entry.first;
        return list;
    }();
    for (const QString& id : ids) finishMessage(id, ClaudeScriptResult::failure({}));
    // The page has to go before its profile.
    delete page_;
    page_ = nullptr;
}

QWebEnginePage* ClaudeWebSession::page() const {
    return page_;
}

bool ClaudeWebSession::allowsGoogleLogin() const {
    return page_->navigation().allowsGoogleLogin;
}

void ClaudeWebSession::prepareForVisibleLogin() {
    page_->navigation().allowsGoogleLogin = true;
}

QCoro::Task<void> ClaudeWebSession::loadLoginPage() {
    page_->navigation().allowsGoogleLogin = true;
    const QUrl login = sitePage(QStringLiteral("/login"));
    co_await load(login);
}

bool ClaudeWebSession::isClaudePage(const QUrl& url) const {
    const QString host = url.host().toLower();
    return !host.isEmpty() && ClaudeNavigationDelegate::hostMatches(host, origin_.host().toLower());
}

QUrl ClaudeWebSession::sitePage(const QString& path) const {
    QUrl url = origin_;
    url.setPath(path);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

QCoro::Task<ClaudeUsageResult> ClaudeWebSession::fetchUsage() {
    const ClaudeUsageText text = co_await fetchUsageText();
    if (const auto* error = std::get_if<ClaudeWebSessionError>(&text)) co_return *error;
    co_return readClaudeUsage(std::get<QString>(text));
}

QCoro::Task<ClaudeUsageText> ClaudeWebSession::fetchUsageText() {
    using Kind = ClaudeWebSessionError::Kind;
    const ClaudeWebSessionError gone{Kind::requestFailed, QStringLiteral("cancelled")};
    QPointer<ClaudeWebSession> self(this);

    // A page still loading (the login page, just asked for) is let finish first: the script
    // must not run in a document that is about to be replaced. The navigation's own time
    // limit ends the wait.
    while (pendingNavigation_) {
        constexpr std::chrono::milliseconds kNavigationPoll{50};
        co_await QCoro::sleepFor(kNavigationPoll);
        if (!self) co_return gone;
    }
    // A background fetch never follows a Google sign-in page.
    page_->navigation().allowsGoogleLogin = false;
    if (reloadNeeded_ || !isClaudePage(page_->url())) {
        const QUrl home = sitePage(QStringLiteral("/"));
        co_await load(home);
        if (!self) co_return gone;
    }
    const QString cleanup = ClaudeScripts::cleanup();
    co_await evaluateIgnoringResult(cleanup);
    if (!self) co_return gone;

    const QString nonce = QUuid::createUuid().toString(QUuid::Id128);
    const QString usageScript = ClaudeScripts::usage(nonce);
    const ClaudeScriptResult result = co_await evaluateScript(usageScript, nonce);
    if (!self) co_return gone;

    if (!result.ok) co_return ClaudeWebSessionError::fromFailureCode(result.text);
    co_return result.text;
}

QCoro::Task<void> ClaudeWebSession::load(QUrl url) {
    QPointer<ClaudeWebSession> self(this);
    // A new load releases an earlier caller instead of leaving it hanging.
    if (auto previous = std::exchange(pendingNavigation_, nullptr)) previous->release(false);
    auto navigation = OneShot<bool>::create();
    pendingNavigation_ = navigation;
    navigationTimeout_.start(timings_.navigationTimeout);
    reloadNeeded_ = false;

    QWebEngineHttpRequest request(url);
    request.setHeader("Cache-Control", "no-cache");
    request.setHeader("Pragma", "no-cache");
    page_->load(request);

    co_await wait(navigation);
    if (!self) co_return;
    co_await QCoro::sleepFor(timings_.settleDelay);
}

void ClaudeWebSession::finishNavigation() {
    auto navigation = std::exchange(pendingNavigation_, nullptr);
    if (!navigation) return;
    navigationTimeout_.stop();
    navigation->release(true);
}

QCoro::Task<void> ClaudeWebSession::evaluateIgnoringResult(const QString& script) {
    auto done = OneShot<bool>::create();
    // Bounded all the same: a renderer that never answers must not leave the fetch hanging.
    QTimer::singleShot(timings_.answerTimeout, this, [done] { done->release(false); });
    page_->runJavaScript(script, QWebEngineScript::ApplicationWorld,
                         [done](const QVariant&) { done->release(true); });
    co_await wait(done);
}

QCoro::Task<ClaudeScriptResult> ClaudeWebSession::evaluateScript(const QString& script,
                                                                 const QString& nonce) {
    auto answer = OneShot<ClaudeScriptResult>::create();
    pendingMessages_[nonce] = answer;
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this,
            [this, nonce] { finishMessage(nonce, ClaudeScriptResult::failure("timeout")); });
    pendingTimeouts_[nonce] = timer;
    timer->start(timings_.answerTimeout);

    QPointer<ClaudeWebSession> self(this);
    page_->runJavaScript(
        ClaudeScripts::reportingEvaluation(script), QWebEngineScript::ApplicationWorld,
        [self, nonce](const QVariant& outcome) {
            if (!self) return;
            const QString text = outcome.toString();
            if (text == QLatin1String("started")) return;
            const QString reason = text.startsWith(QLatin1String("error: "))
                                       ? text.mid(7)
                                       : QStringLiteral("the script did not run");
            self->finishMessage(
                nonce, ClaudeScriptResult::failure(QStringLiteral("script_failed: ") + reason));
        });
    co_return co_await wait(answer);
}

void ClaudeWebSession::receiveScriptPayload(const ClaudeScriptPayload& payload) {
    if (payload.id.isEmpty()) return;
    if (payload.ok) {
        finishMessage(payload.id, ClaudeScriptResult::success(payload.data.value_or(QString())));
    } else {
        finishMessage(payload.id, ClaudeScriptResult::failure(payload.failureCode()));
    }
}

void ClaudeWebSession::finishMessage(const QString& id, const ClaudeScriptResult& result) {
    // The slot is examined and emptied before the waiter is released: unknown ids, duplicates
    // and answers after the time limit change nothing.
    const auto pending = pendingMessages_.find(id);
    if (pending == pendingMessages_.end()) return;
    const auto answer = pending->second;
    pendingMessages_.erase(pending);
    if (const auto timer = pendingTimeouts_.find(id); timer != pendingTimeouts_.end()) {
        timer->second->stop();
        timer->second->deleteLater();
        pendingTimeouts_.erase(timer);
    }
    answer->release(result);
}

}  // namespace qm

#include "ClaudeWebSession.moc"
