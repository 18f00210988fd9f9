#include "core/SharedFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace qm {

namespace {

FileStamp fromStat(const struct stat& info) {
    return FileStamp{true, info.st_dev, info.st_ino, info.st_size,
                     std::int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

}  // namespace

FileStamp FileStamp::of(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) return {};
    return fromStat(info);
}

FileStamp FileStamp::ofOpen(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return {};
    return fromStat(info);
}

FileLock FileLock::acquire(const QString& path, std::optional<FileError>* error) {
    const auto fail = [&](const QString& what, int code) {
        if (error) {
            *error = FileError{
                code, what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code))};
        }
        return FileLock();
    };
    const QString lockPath = lockPathFor(path);
    QDir().mkpath(QFileInfo(lockPath).absolutePath());
    const int fd =
        ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return fail(QStringLiteral("Could not open ") + lockPath, errno);
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        const int code = errno;
        ::close(fd);
        return fail(QStringLiteral("Could not lock ") + lockPath, code);
    }
    if (error) error->reset();
    return FileLock(fd);
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

void FileLock::release() {
    if (m_fd < 0) return;
    ::close(m_fd);  // closing the last descriptor drops the lock
    m_fd = -1;
}

}  // namespace qm
