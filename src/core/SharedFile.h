#pragma once

#include <sys/types.h>

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
    // Waits for the lock, creating the folder and the lock file when needed.
    static FileLock acquire(const QString& path, std::optional<FileError>* error = nullptr);
    static QString lockPathFor(const QString& path) { return path + QStringLiteral(".lock"); }

    FileLock(FileLock&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() { release(); }

    bool held() const { return m_fd >= 0; }
    void release();

private:
    explicit FileLock(int fd) : m_fd(fd) {}
    int m_fd = -1;
};

}  // namespace qm
