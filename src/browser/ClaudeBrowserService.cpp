#include "browser/ClaudeBrowserService.h"

#include <unistd.h>

#include <QCoroCore>
#include <QSocketNotifier>
#include <cerrno>

#include "browser/ClaudeLoginWindow.h"
#include "browser/ClaudeWebSession.h"
#include "claude/ClaudeBrowserProtocol.h"

namespace qm {

namespace Protocol = ClaudeBrowserProtocol;

ClaudeBrowserService::ClaudeBrowserService(ClaudeWebSession* session,
                                           std::chrono::milliseconds idle, int input, int output,
                                           QObject* parent)
    : QObject(parent),
      session_(session),
      output_(output),
      input_(input),
      notifier_(new QSocketNotifier(input, QSocketNotifier::Read, this)) {
    connect(notifier_, &QSocketNotifier::activated, this, &ClaudeBrowserService::readInput);
    idle_.setSingleShot(true);
    idle_.setInterval(idle);
    connect(&idle_, &QTimer::timeout, this, &ClaudeBrowserService::finished);
    idle_.start();
}

ClaudeBrowserService::~ClaudeBrowserService() {
    // The window shows the session's page, so it goes while the session is still there.
    delete login_.data();
}

void ClaudeBrowserService::readInput() {
    char chunk[16384];
    const ssize_t got = ::read(input_, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (got <= 0) {
        // The application closed our input or is gone: nothing more will be asked.
        notifier_->setEnabled(false);
        Q_EMIT finished();
        return;
    }
    buffer_.append(chunk, got);
    for (qsizetype end = buffer_.indexOf('\n'); end >= 0; end = buffer_.indexOf('\n')) {
        const QByteArray line = buffer_.left(end);
        buffer_.remove(0, end + 1);
        if (const auto message = Protocol::read(line)) handle(*message);
    }
}

void ClaudeBrowserService::handle(const QJsonObject& message) {
    const QString op = message.value(QLatin1String("op")).toString();
    if (op == QLatin1String(Protocol::kFetch)) {
        fetches_.push_back(message.value(QLatin1String("id")).toInteger());
        idle_.stop();
        runNextFetch();
    } else if (op == QLatin1String(Protocol::kShowLogin)) {
        showLogin();
    } else if (op == QLatin1String(Protocol::kCloseLogin)) {
        if (login_) login_->close();
    } else if (op == QLatin1String(Protocol::kLoginStatus)) {
        if (login_) login_->setStatus(Protocol::LoginStatus::fromJson(message));
    }
}

void ClaudeBrowserService::runNextFetch() {
    if (fetching_ || fetches_.empty()) return;
    fetching_ = true;
    const qint64 id = fetches_.front();
    fetches_.pop_front();
    QCoro::connect(session_->fetchUsageText(), this, [this, id](const ClaudeUsageText& result) {
        write(Protocol::fetchAnswer(id, result));
        fetching_ = false;
        runNextFetch();
        restartIdleTimer();
    });
}

void ClaudeBrowserService::showLogin() {
    idle_.stop();
    if (!login_) {
        login_ = new ClaudeLoginWindow(session_);
        login_->setAttribute(Qt::WA_QuitOnClose, false);
        connect(login_, &ClaudeLoginWindow::doneRequested, this, [this] {
            write({{QStringLiteral("event"), QString::fromLatin1(Protocol::kLoginDone)}});
        });
        connect(login_, &ClaudeLoginWindow::closed, this, [this] {
            write({{QStringLiteral("event"), QString::fromLatin1(Protocol::kLoginClosed)}});
            restartIdleTimer();
        });
    }
    login_->show();
    login_->raise();
    login_->activateWindow();
}

void ClaudeBrowserService::restartIdleTimer() {
    if (fetching_ || !fetches_.empty() || (login_ && login_->view())) return;
    idle_.start();
}

void ClaudeBrowserService::write(const QJsonObject& message) {
    const QByteArray line = Protocol::line(message);
    qsizetype sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::write(output_, line.constData() + sent, line.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the application is gone; finished() follows from the input
        sent += n;
    }
}

}  // namespace qm
