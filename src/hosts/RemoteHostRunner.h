#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

class QProcess;
class QTimer;

// Runs one quotameter-cli command on each of the user's other machines through the user's own
// ssh (their configuration and agent; never a password prompt), all at once, each within a
// time limit.
namespace qm::hosts {

// Of what ssh writes on stderr only this much, the newest, is kept: the message that tells why a
// run failed is at its end, and a chatty or broken ssh cannot fill the memory.
inline constexpr qsizetype kKeptErrorBytes = 64 * 1024;

struct HostAnswer {
    QString host;
    std::optional<QByteArray> output;  // standard output of a run that ended with status 0
    QString reason;                    // without output: "devbox: ssh: connection timed out"
    QByteArray standardError;          // the last kKeptErrorBytes of it
};

// Why a run gave no answer, as the user reads it, from how it ended. `exitCode` 127 or a
// "command not found" is the program missing on that machine; ssh's own failures (status 255)
// are told by their message.
QString failureReason(const QString& host, int exitCode, const QByteArray& standardError,
                      bool timedOut);

class RemoteHostRunner : public QObject {
    Q_OBJECT

public:
    // `$QUOTAMETER_SSH` when set (a wrapper, or a fake in tests), else "ssh" on the PATH.
    static QString sshProgram();
    // 20 s, or `$QUOTAMETER_SSH_TIMEOUT` seconds when that is a positive number.
    static int timeLimitMs();
    // What ssh is given for one host: options that keep it from prompting, the host, then
    // "quotameter-cli" and `command`.
    static QStringList sshArguments(const QString& host, const QStringList& command);

    explicit RemoteHostRunner(QObject* parent = nullptr);
    ~RemoteHostRunner() override;

    // Starts `quotameter-cli <command>` on every host; finished() follows once all have
    // answered, failed or run out of time. A run still going is stopped first.
    void start(const QStringList& hosts, const QStringList& command);
    bool isRunning() const { return pending_ > 0; }
    // One answer per host, in the order given to start().
    const std::vector<HostAnswer>& answers() const { return answers_; }

    // start() and wait on a local event loop: for the command line.
    static std::vector<HostAnswer> runAll(const QStringList& hosts, const QStringList& command);

Q_SIGNALS:
    void finished();

private:
    struct Run;
    void launch(std::size_t index, const QStringList& command);
    void complete(std::size_t index, bool timedOut);
    void stop();

    std::vector<std::unique_ptr<Run>> runs_;
    std::vector<HostAnswer> answers_;
    int pending_ = 0;
};

}  // namespace qm::hosts
