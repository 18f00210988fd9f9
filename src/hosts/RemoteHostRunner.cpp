#include "hosts/RemoteHostRunner.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>

namespace qm::hosts {
namespace {

constexpr int kDefaultTimeLimitMs = 20000;
// An answer is a report of a few thousand rows at most; more is not one of ours.
constexpr qint64 kMaxAnswerBytes = 64 << 20;
constexpr qsizetype kMaxReasonChars = 200;

// The last non-empty line of what a program wrote on stderr, made safe to print.
QString lastLine(const QByteArray& text) {
    const QList<QByteArray> lines = text.trimmed().split('\n');
    QString line = QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last()).trimmed();
    for (QChar& c : line)
        if (c.category() == QChar::Other_Control) c = QLatin1Char(' ');
    return line.left(kMaxReasonChars);
}

QString sshReason(const QByteArray& standardError) {
    const QString line = lastLine(standardError);
    if (line.contains(QLatin1String("timed out"), Qt::CaseInsensitive))
        return QStringLiteral("ssh: connection timed out");
    if (line.contains(QLatin1String("Connection refused"), Qt::CaseInsensitive))
        return QStringLiteral("ssh: connection refused");
    if (line.contains(QLatin1String("Could not resolve hostname"), Qt::CaseInsensitive))
        return QStringLiteral("ssh: unknown host");
    if (line.contains(QLatin1String("Permission denied"), Qt::CaseInsensitive))
        return QStringLiteral("ssh: permission denied (no key accepted without a password)");
    if (line.isEmpty()) return QStringLiteral("ssh: connection failed");
    return line.startsWith(QLatin1String("ssh: ")) ? line : QStringLiteral("ssh: ") + line;
}

// Appends `more` to `kept` and drops what lies before its last kKeptErrorBytes.
void keepTail(QByteArray& kept, const QByteArray& more) {
    if (more.size() >= kKeptErrorBytes) {
        kept = more.right(kKeptErrorBytes);
        return;
    }
    kept += more;
    if (kept.size() > kKeptErrorBytes) kept.remove(0, kept.size() - kKeptErrorBytes);
}

}  // namespace

QString failureReason(const QString& host, int exitCode, const QByteArray& standardError,
                      bool timedOut) {
    const QString prefix = host + QStringLiteral(": ");
    if (timedOut) return prefix + QStringLiteral("ssh: connection timed out");
    if (exitCode == 127 || standardError.contains("command not found") ||
        standardError.contains("quotameter-cli: not found"))
        return prefix + QStringLiteral("quotameter-cli not installed");
    if (exitCode == 255) return prefix + sshReason(standardError);
    const QString line = lastLine(standardError);
    return prefix + QStringLiteral("quotameter-cli failed (exit status %1)").arg(exitCode) +
           (line.isEmpty() ? QString() : QStringLiteral(": ") + line);
}

struct RemoteHostRunner::Run {
    QProcess process;
    QTimer limit;
    QByteArray output;
    QByteArray errors;  // read as it comes, so QProcess does not buffer it all
    bool done = false;
};

QString RemoteHostRunner::sshProgram() {
    const QString configured = qEnvironmentVariable("QUOTAMETER_SSH");
    return configured.isEmpty() ? QStringLiteral("ssh") : configured;
}

int RemoteHostRunner::timeLimitMs() {
    bool ok = false;
    const double seconds = qEnvironmentVariable("QUOTAMETER_SSH_TIMEOUT").toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > 3600) return kDefaultTimeLimitMs;
    return std::max(1, int(seconds * 1000));
}

QStringList RemoteHostRunner::sshArguments(const QString& host, const QStringList& command) {
    return QStringList{QStringLiteral("-o"),
                       QStringLiteral("BatchMode=yes"),
                       QStringLiteral("-o"),
                       QStringLiteral("ConnectTimeout=5"),
                       host,
                       QStringLiteral("quotameter-cli")} +
           command;
}

RemoteHostRunner::RemoteHostRunner(QObject* parent) : QObject(parent) {}

RemoteHostRunner::~RemoteHostRunner() {
    stop();
}

void RemoteHostRunner::stop() {
    for (auto& run : runs_) {
        run->process.disconnect(this);
        run->limit.stop();
        if (run->process.state() != QProcess::NotRunning) {
            run->process.kill();
            run->process.waitForFinished(1000);
        }
    }
    runs_.clear();
    pending_ = 0;
}

void RemoteHostRunner::start(const QStringList& hosts, const QStringList& command) {
    stop();
    answers_.clear();
    for (const QString& host : hosts) {
        answers_.push_back({host, std::nullopt, {}, {}});
        runs_.push_back(std::make_unique<Run>());
    }
    pending_ = int(hosts.size());
    if (hosts.isEmpty()) {
        QTimer::singleShot(0, this, &RemoteHostRunner::finished);
        return;
    }
    for (std::size_t i = 0; i < runs_.size(); ++i) launch(i, command);
}

void RemoteHostRunner::launch(std::size_t index, const QStringList& command) {
    Run& run = *runs_[index];
    run.limit.setSingleShot(true);
    connect(&run.limit, &QTimer::timeout, this, [this, index] { complete(index, true); });
    connect(&run.process, &QProcess::readyReadStandardOutput, this, [this, index] {
        Run& r = *runs_[index];
        r.output += r.process.readAllStandardOutput();
        if (r.output.size() > kMaxAnswerBytes) r.process.kill();
    });
    connect(&run.process, &QProcess::readyReadStandardError, this, [this, index] {
        Run& r = *runs_[index];
        keepTail(r.errors, r.process.readAllStandardError());
    });
    connect(&run.process, &QProcess::finished, this, [this, index] { complete(index, false); });
    connect(&run.process, &QProcess::errorOccurred, this, [this, index](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) complete(index, false);
    });
    run.limit.start(timeLimitMs());
    run.process.start(sshProgram(), sshArguments(answers_[index].host, command));
    // Nothing is typed into ssh: a prompt it might show gets end of input at once.
    run.process.closeWriteChannel();
}

void RemoteHostRunner::complete(std::size_t index, bool timedOut) {
    Run& run = *runs_[index];
    if (run.done) return;
    run.done = true;
    run.limit.stop();
    HostAnswer& answer = answers_[index];
    if (timedOut) {
        run.process.disconnect(this);
        run.process.kill();
        run.process.waitForFinished(1000);
        keepTail(run.errors, run.process.readAllStandardError());
        answer.standardError = run.errors;
        answer.reason = failureReason(answer.host, -1, {}, true);
    } else if (run.process.error() == QProcess::FailedToStart) {
        answer.reason = answer.host + QStringLiteral(": ssh could not be started (") +
                        sshProgram() + QLatin1Char(')');
    } else {
        run.output += run.process.readAllStandardOutput();
        keepTail(run.errors, run.process.readAllStandardError());
        answer.standardError = run.errors;
        if (run.output.size() > kMaxAnswerBytes)
            answer.reason = answer.host + QStringLiteral(": the answer is too large");
        else if (run.process.exitStatus() == QProcess::NormalExit && run.process.exitCode() == 0)
            answer.output = std::move(run.output);
        else
            answer.reason = failureReason(
                answer.host,
                run.process.exitStatus() == QProcess::NormalExit ? run.process.exitCode() : -1,
                run.errors, false);
    }
    if (--pending_ == 0) Q_EMIT finished();
}

std::vector<HostAnswer> RemoteHostRunner::runAll(const QStringList& hosts,
                                                 const QStringList& command) {
    RemoteHostRunner runner;
    QEventLoop loop;
    connect(&runner, &RemoteHostRunner::finished, &loop, &QEventLoop::quit);
    runner.start(hosts, command);
    if (runner.isRunning()) loop.exec();
    return runner.answers();
}

}  // namespace qm::hosts
