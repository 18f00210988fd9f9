#pragma once

#include <qcoro/qcorotask.h>
#include <QByteArray>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <vector>

#include "ledger/UsageLedger.h"

namespace qm::ledger {

// What the tools wrote since the last refresh: the known log files written to, and whether
// files or folders came or went, which only a walk over every folder finds.
struct LogChanges {
    QStringList files;  // sorted, each once
    bool walk = false;

    bool isEmpty() const { return files.isEmpty() && !walk; }
    bool operator==(const LogChanges&) const = default;
};

// A path the watcher looks after, as its last look found it.
struct WatchedPath {
    QString path;
    QByteArray encoded;  // in the file system's encoding, for the fallback's stat
    bool log = false;    // a log file; else a folder
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
};

// What one look at the tools' folders found: every path to watch, the most needed first, and
// the folders of LedgerSources that do not exist (yet).
struct LogLook {
    std::vector<WatchedPath> paths;
    QStringList missingFolders;
};

// The folders of `sources` and every folder below them, and the log files discovery finds there,
// in the order they are worth a watch: the tools' own folders, the folders that hold logs (up to
// the tool's folder), the logs written to last first, then the other folders, shallowest first.
// Costs a discovery and one directory read per folder; runs on any thread.
LogLook lookAtLogs(const LedgerSources& sources);

// Tells the program when the tools write to their logs, so that it refreshes by itself within
// seconds, and only then. The tools' folders and every folder below them (hidden ones aside)
// are watched: a new session file, a new day or project folder. So are the log files
// themselves, since the system reports an append only to a watch on the file, not on its
// folder. A folder event brings a new look (and watches for what it found) before the
// refresh, which then walks; appends to known files alone ask for a refresh of those files.
//
// Watches are bounded by a budget, as the system's limit is shared by every program of the
// user. Every log is watched while the budget allows, the newest first (an agent appends to the
// session it has open; an old one is seldom resumed). What the budget leaves out, what the
// system refuses, and the tools' folders that do not exist yet are looked at by a cheap check
// every `fallbackMs` instead, one stat each; with everything watched there is no check at all.
//
// A burst of writes makes one refresh, `settleMs` after its first event; while writes go on, at
// most one every `minGapMs`; never two at once. Writes during a refresh make the next one. Main
// thread; the looks run on the thread pool.
class LogWatcher : public QObject {
    Q_OBJECT

public:
    // Brings the figures up to date with `changes`; the next refresh waits for it to finish.
    using Refresh = std::function<QCoro::Task<>(const LogChanges& changes)>;
    struct Options {
        int settleMs = 2'000;
        int minGapMs = 10'000;
        int fallbackMs = 15'000;
        int watchBudget = -1;  // watches at most; below 0 defaultWatchBudget()
    };

    LogWatcher(LedgerSources sources, Refresh refresh, Options options, QObject* parent = nullptr);
    LogWatcher(LedgerSources sources, Refresh refresh, QObject* parent = nullptr);

    // Takes the first look, then asks for the first refresh (a walk): what is written after
    // the look is seen, what was written before it is read.
    void start();

    // A quarter of the system's limit on watches, at most 8192.
    static int defaultWatchBudget();

    // The paths the system watches, and those the fallback checks instead.
    int watchedCount() const;
    int checkedCount() const;

private:
    void noteFile(const QString& path);
    void noteWalk();
    void schedule();
    void check();
    QCoro::Task<> lookAgain();
    QCoro::Task<> run();
    void watchAll(const LogLook& look);

    LedgerSources sources_;
    Refresh refresh_;
    Options options_;
    QFileSystemWatcher watcher_;
    QTimer settle_;
    QTimer fallback_;
    QElapsedTimer lastRefresh_;
    QSet<QString> logs_;  // every log file the last look found
    QHash<QString, std::uint64_t> watchedInodes_;
    std::vector<WatchedPath> unwatched_;
    QStringList missing_;
    QSet<QString> pendingFiles_;
    bool pendingWalk_ = false;
    bool busy_ = false;  // a look or a refresh is under way
};

}  // namespace qm::ledger
