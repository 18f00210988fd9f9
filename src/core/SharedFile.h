#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

#include "core/AtomicFile.h"

namespace qm {

// What a file looked like at one moment: enough to tell whether another process replaced or
// changed it since. Every writer replaces files by a rename, so a change shows as a new inode;
// size and modification time catch the rest (an append, an edit in place).
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const FileStamp&) const = default;

    static FileStamp of(const QString& path);
    static FileStamp ofOpen(int fd);
};

// An exclusive advisory lock on "<path>.lock", held while a process reads, merges and replaces
// a file that other processes write too. The lock file itself is never removed: removing it
// would let two processes lock two different files of the same name. Move-only; released by
// the destructor or release().
class FileLock {
public:
    FileLock() = default;
    // How long a lock held by another process is waited for before giving up: a holder that
    // is stopped or hung must not hang every other call with it.
    static constexpr int kDefaultWaitMs = 2'000;
    // The wait this process uses when a call names none. A caller that is cancelled after a
    // fraction of a second (the status line) sets a shorter one at its start.
    static void setDefaultWaitMs(int waitMs);
    static int defaultWaitMs();
    // Waits for the lock (at most `waitMs`, or the process's default when negative), creating
    // the folder (private) and the lock file when needed. The lock file must be a regular
    // file, never followed through a link; a busy lock ends in "<lock> is locked by process N"
    // (the holder writes its pid into it).
    static FileLock acquire(const QString& path, std::optional<FileError>* error = nullptr,
                            int waitMs = -1);
    static QString lockPathFor(const QString& path) { return path + QStringLiteral(".lock"); }

    FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() { release(); }

    bool held() const { return fd_ >= 0; }
    void release();

private:
    explicit FileLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// Opens `path` for reading only when it is a regular file: a FIFO, device or socket in its
// place could block the program or feed it without end. The open itself does not block;
// `maxBytes` (when given) refuses larger files. Returns the descriptor, or -1 and `error`.
int openRegularFile(const QString& path, std::optional<std::int64_t> maxBytes = std::nullopt,
                    std::optional<FileError>* error = nullptr);

// Reads a whole regular file of at most `maxBytes`; nothing (and `error`) otherwise. A missing
// file gives nothing with `error` holding ENOENT.
std::optional<QByteArray> readRegularFile(const QString& path, std::int64_t maxBytes,
                                          std::optional<FileError>* error = nullptr);

// Creates `path` and any missing folders above it with mode 0700 whatever the umask: every
// folder the program makes holds the user's keys, usage or caches. Folders that exist are left
// as they are. Returns the problem, or nothing when the folder is there.
std::optional<FileError> makePrivateFolder(const QString& path);

// The limit for small side files (reset times, alerts shown, the autostart entry).
inline constexpr std::int64_t kSideFileMaxBytes = 1 << 20;

}  // namespace qm
