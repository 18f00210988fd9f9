#include "relay/RelayPresence.h"

#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>

#include "core/AtomicFile.h"
#include "core/SharedFile.h"

namespace qm::RelayPresence {
namespace {

constexpr std::int64_t kMaxFileBytes = 4096;

QString fileOf(const QString& folder, std::int64_t pid) {
    return QDir(folder).filePath(QString::number(pid) + QStringLiteral(".json"));
}

QByteArray commandOf(const QString& pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray();
}

// Alive and, where /proc tells, one of ours (either program, or this one's own name): a pid
// reused by another program after a crash is not a relay.
bool isRelayProcess(std::int64_t pid) {
    if (pid <= 0 || pid == ::getpid()) return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    const QByteArray command = commandOf(QString::number(pid));
    if (command.isEmpty()) return true;  // no /proc to ask
    return command.startsWith("quotameter") || command == commandOf(QStringLiteral("self"));
}

std::optional<RelayRun> decode(const QByteArray& bytes) {
    const QJsonObject o = QJsonDocument::fromJson(bytes).object();
    RelayRun run;
    run.pid = o.value(QStringLiteral("pid")).toInteger(0);
    run.port = o.value(QStringLiteral("port")).toInt(0);
    run.startedAt = o.value(QStringLiteral("startedAt")).toInteger(0);
    run.requests = o.value(QStringLiteral("requests")).toInteger(0);
    if (run.pid <= 0 || run.port <= 0 || run.port > 65535 || run.requests < 0) return std::nullopt;
    return run;
}

}  // namespace

QString folderIn(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("relays"));
}

bool publish(const QString& folder, const RelayRun& run) {
    if (makePrivateFolder(folder)) return false;
    const QJsonObject o{{QStringLiteral("pid"), qint64(::getpid())},
                        {QStringLiteral("port"), run.port},
                        {QStringLiteral("startedAt"), qint64(run.startedAt)},
                        {QStringLiteral("requests"), qint64(run.requests)}};
    return !AtomicFile::write(fileOf(folder, ::getpid()),
                              QJsonDocument(o).toJson(QJsonDocument::Compact));
}

void withdraw(const QString& folder) {
    QFile::remove(fileOf(folder, ::getpid()));
}

std::vector<RelayRun> others(const QString& folder) {
    std::vector<RelayRun> runs;
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        bool numeric = false;
        const std::int64_t pid = name.chopped(5).toLongLong(&numeric);
        if (!numeric || pid == ::getpid()) continue;
        const QString path = dir.filePath(name);
        if (!isRelayProcess(pid)) {
            QFile::remove(path);  // left by a process that ended without withdrawing
            continue;
        }
        const std::optional<QByteArray> bytes = readRegularFile(path, kMaxFileBytes);
        if (!bytes) continue;
        std::optional<RelayRun> run = decode(*bytes);
        if (run && run->pid == pid) runs.push_back(*run);
    }
    return runs;
}

}  // namespace qm::RelayPresence
