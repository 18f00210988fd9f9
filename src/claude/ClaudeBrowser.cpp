#include "claude/ClaudeBrowser.h"

#include <sys/prctl.h>

#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <csignal>

namespace qm {

namespace {

ClaudeWebSessionError browserFailure(const QString& what) {
    return {ClaudeWebSessionError::Kind::browserFailed, what};
}

}  // namespace

ClaudeBrowser::ClaudeBrowser(ClaudeBrowserOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {}

ClaudeBrowser::~ClaudeBrowser() {
    if (!process_) return;
    QProcess* process = std::exchange(process_, nullptr);
    process->disconnect(this);
    // End of input asks the browser to close its page and profile; one that does not is killed.
    process->closeWriteChannel();
    if (!process->waitForFinished(5000)) {
        process->kill();
        process->waitForFinished(2000);
    }
    delete process;
    failPending(browserFailure(QStringLiteral("the application is closing")));
}

qint64 ClaudeBrowser::processId() const {
    return process_ ? process_->processId() : 0;
}

bool ClaudeBrowser::ensureStarted() {
    if (process_) return true;
    auto* process = new QProcess(this);
    process->setProgram(options_.program);
    process->setArguments(
        options_.arguments +
        QStringList{QStringLiteral("--idle-ms"), QString::number(options_.idleExit.count())});
    // Chromium's own messages belong in the application's log.
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A browser whose application died abruptly ends with it, even when it hangs.
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process->start();
    if (!process->waitForStarted(10000)) {
        qWarning("Claude browser: %s could not start: %s", qUtf8Printable(options_.program),
                 qUtf8Printable(process->errorString()));
        delete process;
        return false;
    }
    process_ = process;
    lines_ = {};
    failure_.clear();
    connect(process, &QProcess::readyReadStandardOutput, this, &ClaudeBrowser::readMessages);
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus status) {
                if (process != process_) return;
                processEnded(exitCode, status == QProcess::CrashExit);
            });
    Q_EMIT runningChanged();
    return true;
}

void ClaudeBrowser::send(const QJsonObject& message) {
    if (process_) process_->write(ClaudeBrowserProtocol::line(message));
}

QCoro::Task<ClaudeUsageResult> ClaudeBrowser::fetchUsage() {
    QPointer<ClaudeBrowser> self(this);
    // A second try only for a browser that went idle just as the request was sent.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensureStarted()) {
            co_return browserFailure(QStringLiteral("the browser process could not start"));
        }
        const qint64 id = nextId_++;
        auto answer = OneShot<Answer>::create();
        pending_[id] = answer;
        auto* limit = new QTimer(this);
        limit->setSingleShot(true);
        connect(limit, &QTimer::timeout, this, [this, id] { hung(id); });
        limit->start(options_.answerLimit);
        limits_[id] = limit;
        send(ClaudeBrowserProtocol::request(ClaudeBrowserProtocol::kFetch, id));

        const Answer result = co_await wait(answer);
        if (!self) co_return browserFailure(QStringLiteral("cancelled"));
        if (result) co_return *result;
    }
    co_return browserFailure(QStringLiteral("the browser process kept exiting"));
}

bool ClaudeBrowser::showLogin() {
    if (!ensureStarted()) return false;
    send(ClaudeBrowserProtocol::request(ClaudeBrowserProtocol::kShowLogin));
    if (!loginShown_) {
        loginShown_ = true;
        Q_EMIT loginShownChanged();
    }
    return true;
}

void ClaudeBrowser::closeLogin() {
    send(ClaudeBrowserProtocol::request(ClaudeBrowserProtocol::kCloseLogin));
}

void ClaudeBrowser::setLoginStatus(const ClaudeBrowserProtocol::LoginStatus& status) {
    if (loginShown_) send(status.toJson());
}

void ClaudeBrowser::readMessages() {
    if (!process_) return;
    QProcess* const reading = process_;
    const QByteArray bytes = reading->readAllStandardOutput();
    // A browser being ended has nothing more to say.
    if (!failure_.isEmpty()) return;
    for (const QByteArray& line : lines_.add(bytes)) {
        if (const auto message = ClaudeBrowserProtocol::read(line)) receive(*message);
        // The process may end (and be let go) while a message is handled.
        if (process_ != reading) return;
    }
    if (lines_.isBroken()) {
        failure_ = QStringLiteral("the browser process sent a line longer than 1 MB and was ended");
        process_->kill();
    }
}

void ClaudeBrowser::receive(const QJsonObject& message) {
    const QString event = message.value(QLatin1String("event")).toString();
    if (event == QLatin1String(ClaudeBrowserProtocol::kLoginDone)) {
        Q_EMIT loginDone();
        return;
    }
    if (event == QLatin1String(ClaudeBrowserProtocol::kLoginClosed)) {
        if (std::exchange(loginShown_, false)) Q_EMIT loginShownChanged();
        return;
    }
    const qint64 id = message.value(QLatin1String("id")).toInteger();
    const auto pending = pending_.find(id);
    if (pending == pending_.end()) return;  // stray or late: changes nothing
    const auto answer = pending->second;
    pending_.erase(pending);
    if (const auto limit = limits_.find(id); limit != limits_.end()) {
        if (limit->second) limit->second->deleteLater();
        limits_.erase(limit);
    }
    answer->release(ClaudeBrowserProtocol::readFetchAnswer(message));
}

void ClaudeBrowser::hung(qint64 id) {
    // An answer that came in just as the limit ran out has settled it.
    if (!process_ || !pending_.contains(id)) return;
    failure_ = QStringLiteral("the browser process stopped answering and was ended");
    process_->kill();
}

void ClaudeBrowser::processEnded(int exitCode, bool crashed) {
    QProcess* process = std::exchange(process_, nullptr);
    process->deleteLater();
    if (!failure_.isEmpty()) {
        failPending(browserFailure(failure_));
    } else if (crashed || exitCode != 0) {
        qWarning("Claude browser: the process ended unexpectedly (exit code %d%s)", exitCode,
                 crashed ? ", crashed" : "");
        failPending(browserFailure(QStringLiteral("the browser process ended unexpectedly")));
    } else {
        // It went idle and exited on its own; a request it had not read yet is asked again.
        failPending(std::nullopt);
    }
    if (std::exchange(loginShown_, false)) Q_EMIT loginShownChanged();
    Q_EMIT runningChanged();
}

void ClaudeBrowser::failPending(const Answer& answer) {
    auto pending = std::exchange(pending_, {});
    for (auto& [id, limit] : std::exchange(limits_, {})) {
        if (limit) limit->deleteLater();
    }
    for (auto& [id, shot] : pending) shot->release(answer);
}

}  // namespace qm
