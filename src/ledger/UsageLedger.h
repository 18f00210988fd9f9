#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "ledger/LedgerRecords.h"

namespace qm::ledger {

// Where the tools keep their logs.
struct LedgerSources {
    QStringList claudeProjectDirectories;
    QStringList codexDirectories;  // "sessions" and "archived_sessions" of the Codex home
    QString geminiDirectory;
    QString grokSessionsDirectory;
    QString openCodeDataDirectory = {};  // its databases, or before them its "storage" folder
    QStringList qwenDirectories = {};    // the Qwen home, and its runtime folder when elsewhere

    // The folders the tools use under `homeDirectory`, after the variables the tools
    // themselves honour (CODEX_HOME, CLAUDE_CONFIG_DIR).
    static LedgerSources forHome(const QString& homeDirectory);
};

struct IndexProgress {
    std::int64_t bytesRead = 0;
    std::int64_t bytesToRead = 0;
};

// "Indexing logs 1.2 GB of 3.4 GB": how the command line and the dashboard show a build.
QString indexingText(const IndexProgress& progress);

struct UpdateStats {
    std::size_t files = 0;      // log files found
    std::size_t filesRead = 0;  // of which read (all or from where the index stopped)
    std::int64_t bytesRead = 0;
    bool rebuilt = false;  // there was no usable index
    bool saved = false;
    QString saveError;  // the index could not be written (the figures are still right)
    // Why the index was read without its lock and left unsaved (another process held it past
    // the wait); the figures are still right.
    std::optional<QString> busy;
};

// The index as read at one moment: one entry per log file, in path order. An entry's parts
// are decoded as they are asked for (FileEntry::need): one snapshot is not to be read from two
// threads at once.
struct LedgerSnapshot {
    std::vector<FileEntry> files;
    UpdateStats stats;
    // When some process last looked at every log file (not only at one, see UpdateOptions).
    TimeMs lastWalkAt = 0;

    // Every file's usage, a request or prompt that several files hold counted once (in the
    // file that started earliest, sub-agents' files last).
    std::vector<UsageSlice> slices() const;
    // The same of the files `wanted` picks by their heads alone: the rest are never decoded.
    std::vector<UsageSlice> slices(const std::function<bool(const FileEntry&)>& wanted) const;
};

// One log file read whole by its tool's interpreter, outside any index: what a caller uses for
// a file the index could not vouch for. A Claude Code file counts every request it holds.
FileEntry readAlone(const QString& path, ProviderKind tool);

// The usage index over the tools' logs, kept in a cache folder. update() brings it up to date
// with the logs, reading only bytes not read before, and returns it. Several processes may
// update it at once: they take turns on a lock file beside it, and the index is replaced by a
// rename, so a reader sees the old index or the new one, never a mixture. A missing, broken or
// foreign index is rebuilt from the logs without complaint. The lock is waited for at most
// FileLock's wait for this process; past it the update reads without saving (stats.busy).
// Safe to call from any thread; one object is not to be updated from two threads at once.
class UsageLedger {
public:
    using ProgressCallback = std::function<void(const IndexProgress&)>;

    UsageLedger(QString indexDirectory, LedgerSources sources);

    // $XDG_CACHE_HOME/Quotameter (by default ~/.cache/Quotameter).
    static QString defaultDirectory();
    QString indexPath() const;
    // The changes since the index was last written whole (see LedgerCodec.h).
    QString journalPath() const;

    struct UpdateOptions {
        int threads = 0;  // 0: every core
        // Called from the reading threads, now and then, while files are read.
        ProgressCallback progress;
        // While some process looked at every log file less than `walkEvery` ago, only the files
        // `focus` and `focusFiles` name are brought up to date; the others stand as the index
        // has them. A file the index does not know yet takes the walk that finds it.
        QString focus;
        QStringList focusFiles;
        TimeMs walkEvery = 0;
    };
    LedgerSnapshot update(const UpdateOptions& options) const;
    LedgerSnapshot update(int threads = 0, const ProgressCallback& progress = {}) const;

private:
    QString directory_;
    LedgerSources sources_;
};

}  // namespace qm::ledger
