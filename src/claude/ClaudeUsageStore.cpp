#include "claude/ClaudeUsageStore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <utility>

#include "core/Clock.h"

namespace qm {

ClaudeUsageStore::ClaudeUsageStore(ClaudeBrowserOptions options, QObject* parent)
    : QObject(parent), browser_(new ClaudeBrowser(std::move(options), this)) {
    connect(browser_, &ClaudeBrowser::runningChanged, this, &ClaudeUsageStore::changed);
    connect(browser_, &ClaudeBrowser::loginShownChanged, this, &ClaudeUsageStore::changed);
    connect(browser_, &ClaudeBrowser::loginDone, this, &ClaudeUsageStore::loginDoneRequested);
}

ClaudeUsageStore::ClaudeUsageStore(const QString& dataDirectory, QObject* parent)
    : ClaudeUsageStore(installedBrowser(dataDirectory), parent) {}

ClaudeUsageStore::~ClaudeUsageStore() = default;

ClaudeBrowserOptions ClaudeUsageStore::installedBrowser(const QString& dataDirectory) {
    const QString here = QCoreApplication::applicationDirPath();
    // Installed, the browser is a helper under libexec; in the build tree it sits beside us.
    QString program = QDir(here).filePath(QStringLiteral("quotameter-browser"));
    const QString installed =
        QDir(here).filePath(QStringLiteral("../libexec/quotameter/quotameter-browser"));
    if (!QFileInfo(program).isExecutable() && QFileInfo(installed).isExecutable())
        program = QDir::cleanPath(installed);
    ClaudeBrowserOptions options;
    options.program = program;
    options.arguments = {QStringLiteral("--data"), dataDirectory};
    options.idleExit = kIdleShutdown;
    return options;
}

bool ClaudeUsageStore::hasSession() const {
    return browser_->isRunning();
}

qint64 ClaudeUsageStore::browserProcessId() const {
    return browser_->processId();
}

void ClaudeUsageStore::showLoginWindow() {
    if (browser_->showLogin()) return;
    // No window will appear: the card and the panel say why.
    const ClaudeWebSessionError error{ClaudeWebSessionError::Kind::browserFailed,
                                      QStringLiteral("the browser process could not start")};
    statusKind_ = ClaudeUsageStatusKind::error;
    statusText_ = error.sentence();
    errorDetail_ = error.description();
    qWarning("Claude limits: %s", qUtf8Printable(errorDetail_));
    Q_EMIT changed();
}

void ClaudeUsageStore::closeLoginWindow() {
    browser_->closeLogin();
}

bool ClaudeUsageStore::isLoginWindowShown() const {
    return browser_->isLoginShown();
}

void ClaudeUsageStore::setLoginStatus(const ClaudeBrowserProtocol::LoginStatus& status) {
    browser_->setLoginStatus(status);
}

void ClaudeUsageStore::setIdleShutdown(std::chrono::milliseconds period) {
    browser_->setIdleExit(period);
}

void ClaudeUsageStore::setHistorySink(std::function<void(const ClaudeUsageSnapshot&)> sink) {
    historySink_ = std::move(sink);
}

void ClaudeUsageStore::setAutomaticFetchNeeded(std::function<bool()> needed) {
    automaticFetchNeeded_ = std::move(needed);
}

bool ClaudeUsageStore::automaticFetchNeeded() const {
    return !automaticFetchNeeded_ || automaticFetchNeeded_();
}

QCoro::Task<void> ClaudeUsageStore::refresh() {
    if (isRefreshing_) co_return;
    isRefreshing_ = true;
    statusText_ = QStringLiteral("Refreshing...");
    statusKind_ = ClaudeUsageStatusKind::loading;
    Q_EMIT changed();

    QPointer<ClaudeUsageStore> self(this);
    const ClaudeUsageResult result = co_await browser_->fetchUsage();
    if (!self) co_return;

    if (const auto* response = std::get_if<UsageApiResponse>(&result)) {
        latest_ = LatestClaudeUsage::fromResponse(*response, systemNow());
        latestAt_ = systemNow();
        statusText_ = QStringLiteral("Connected");
        errorDetail_.clear();
        statusKind_ = ClaudeUsageStatusKind::connected;
        if (historySink_) {
            ClaudeUsageSnapshot snapshot;
            snapshot.timestampMs = systemNow();
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
