#pragma once

#include <QDir>
#include <QFile>
#include <QSet>
#include <QString>
#include <QUrl>
#include <map>

#include "claude/ClaudeBrowser.h"

namespace qm::test {

// The real browser executable against a fake site, with time limits short enough for tests
// (page load, settle, answer). The Google sign-in host is "localhost", which reaches the same
// fake site under another name. The including target defines QM_BROWSER_BINARY.
inline ClaudeBrowserOptions testBrowser(const QString& dataDirectory, const QUrl& origin,
                                        const QString& timings = QStringLiteral("3000,50,5000")) {
    ClaudeBrowserOptions options;
    options.program = QStringLiteral(QM_BROWSER_BINARY);
    options.arguments = {QStringLiteral("--data"),        dataDirectory,
                         QStringLiteral("--origin"),      origin.toString(),
                         QStringLiteral("--google-host"), QStringLiteral("localhost"),
                         QStringLiteral("--timings"),     timings};
    return options;
}

// `root` and every process below it that is still alive (not a zombie), read from /proc.
inline QSet<qint64> processTree(qint64 root) {
    std::multimap<qint64, qint64> children;
    QSet<qint64> alive;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number) continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray text = stat.readAll();
        // "pid (comm) state ppid ...": the name may hold spaces, so read after its ')'.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 2 || fields[0] == "Z") continue;
        alive.insert(pid);
        children.emplace(fields[1].toLongLong(), pid);
    }
    QSet<qint64> tree;
    if (!alive.contains(root)) return tree;
    QList<qint64> todo{root};
    while (!todo.isEmpty()) {
        const qint64 pid = todo.takeLast();
        tree.insert(pid);
        for (auto [it, end] = children.equal_range(pid); it != end; ++it) todo << it->second;
    }
    return tree;
}

// Which of `pids` are still alive (and not zombies).
inline QSet<qint64> stillAlive(const QSet<qint64>& pids) {
    QSet<qint64> left;
    for (const qint64 pid : pids) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray text = stat.readAll();
        if (text.mid(text.lastIndexOf(')') + 2, 1) != "Z") left.insert(pid);
    }
    return left;
}

}  // namespace qm::test
