#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/AtomicFile.h"
#include "core/SharedFile.h"
#include "history/UsageHistoryFile.h"

namespace qm {

// Rewrites the history file from snapshots on a thread of its own, so a rewrite (which syncs
// the whole file to disk) never holds up the thread that records usage. Saves are numbered; a
// snapshot that has not started when a newer one arrives is skipped, since the newer one holds
// everything it held.
class UsageHistoryWriter {
public:
    struct Result {
        std::uint64_t sequence = 0;  // the last snapshot written (or failed); 0 before any
        std::optional<FileError> error;
        // After a rewrite that succeeded: the new history file, and the fresh journal that
        // extends it when that could be started (otherwise the old one is stale and ignored).
        std::optional<FileStamp> file;
        std::optional<FileStamp> journal;
        std::int64_t journalOffset = 0;
    };

    // `written` runs on the writer's thread after each save.
    UsageHistoryWriter(UsageHistoryFileStore storage, std::function<void()> written);
    // Finishes the save in progress and the one waiting, then stops.
    ~UsageHistoryWriter();
    UsageHistoryWriter(const UsageHistoryWriter&) = delete;
    UsageHistoryWriter& operator=(const UsageHistoryWriter&) = delete;

    // Rewrites the history file from `snapshot`, then starts a fresh journal, then releases
    // `lock` (the history file's lock, held since the snapshot was taken).
    void submit(std::uint64_t sequence, UsageHistoryJson::FileSnapshot snapshot, FileLock lock);
    // Drops the snapshots the writer is done with, on the calling thread. The blocks' owner
    // calls this before it changes any block: a block's use count then drops to one only
    // here, after the writer's last read of it, so a count of one means it may be changed.
    void releaseWritten();
    // Returns once everything submitted so far is on disk (or failed).
    void waitIdle();
    bool isIdle() const;
    Result result() const;

private:
    void run();

    UsageHistoryFileStore storage_;
    std::function<void()> written_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    struct Job {
        std::uint64_t sequence;
        UsageHistoryJson::FileSnapshot snapshot;
        FileLock lock;
    };
    std::optional<Job> pending_;
    bool busy_ = false;
    bool stopping_ = false;
    Result result_;
    std::vector<UsageHistoryJson::FileSnapshot> done_;
    std::thread thread_;  // last: starts once everything above exists
};

}  // namespace qm
