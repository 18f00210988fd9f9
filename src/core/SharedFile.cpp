#include "core/SharedFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
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

namespace {

FileError errnoError(const QString& what, int code) {
    return FileError{code,
                     what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code))};
}

// The pid the holder of a busy lock wrote into it, when it did.
std::optional<long> holderOf(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return std::nullopt;
    bool ok = false;
    const long pid = QByteArray(text, int(n)).trimmed().toLong(&ok);
    return ok && pid > 0 ? std::optional<long>(pid) : std::nullopt;
}

}  // namespace

namespace {
std::atomic<int> processWaitMs{FileLock::kDefaultWaitMs};
}  // namespace

void FileLock::setDefaultWaitMs(int waitMs) {
    processWaitMs.store(std::max(waitMs, 0));
}

int FileLock::defaultWaitMs() {
    return processWaitMs.load();
}

FileLock FileLock::acquire(const QString& path, std::optional<FileError>* error, int waitMs) {
    const auto fail = [&](FileError problem) {
        if (error) *error = std::move(problem);
        return FileLock();
    };
    if (waitMs < 0) waitMs = defaultWaitMs();
    const QString lockPath = lockPathFor(path);
    makePrivateFolder(QFileInfo(lockPath).absolutePath());
    // Never through a link, never anything but a regular file: a lock planted as a link or
    // a FIFO must not make the program write elsewhere or hang.
    const int fd = ::open(QFile::encodeName(lockPath).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return fail(errnoError(QStringLiteral("Could not open ") + lockPath, errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail(FileError{EINVAL, lockPath + QStringLiteral(" is not a regular file")});
    }
    QElapsedTimer waited;
    waited.start();
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        if (code == EINTR) continue;
        if (code != EWOULDBLOCK || waited.elapsed() >= waitMs) {
            const std::optional<long> holder = holderOf(fd);
            ::close(fd);
            if (code != EWOULDBLOCK)
                return fail(errnoError(QStringLiteral("Could not lock ") + lockPath, code));
            return fail(FileError{
                EWOULDBLOCK, holder ? lockPath + QStringLiteral(" is locked by process ") +
                                          QString::number(*holder)
                                    : lockPath + QStringLiteral(" is locked by another process")});
        }
        ::usleep(10'000);
    }
    // Who holds it, for whoever waits; a full disk only loses the note.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0) [[maybe_unused]]
        const ssize_t n = ::pwrite(fd, pid.constData(), std::size_t(pid.size()), 0);
    if (error) error->reset();
    return FileLock(fd);
}

std::optional<FileError> makePrivateFolder(const QString& path) {
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    // The missing folders, deepest last, so each is made inside one already made.
    QStringList missing;
    for (QString at = absolute; !at.isEmpty() && !QFileInfo::exists(at);) {
        missing.prepend(at);
        const QString up = QFileInfo(at).absolutePath();
        if (up == at) break;
        at = up;
    }
    for (const QString& folder : missing) {
        const QByteArray native = QFile::encodeName(folder);
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            return errnoError(QStringLiteral("Could not create ") + folder, errno);
        // mkdir's mode passes through the umask; the folder is made private regardless.
        ::chmod(native.constData(), 0700);
    }
    if (!QFileInfo(absolute).isDir())
        return FileError{ENOTDIR, absolute + QStringLiteral(" is not a folder")};
    return std::nullopt;
}

namespace {

// "<path> is a FIFO, not a regular file": the refusal names what stands where a file was
// expected.
FileError notRegular(const QString& path, mode_t mode) {
    const char* kind = S_ISFIFO(mode)                   ? "a FIFO"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                       : S_ISDIR(mode)                  ? "a directory"
                       : S_ISSOCK(mode)                 ? "a socket"
                                                        : nullptr;
    return FileError{
        EINVAL, kind ? QStringLiteral("%1 is %2, not a regular file").arg(path, QLatin1String(kind))
                     : path + QStringLiteral(" is not a regular file")};
}

}  // namespace

int openRegularFile(const QString& path, std::optional<std::int64_t> maxBytes,
                    std::optional<FileError>* error) {
    const auto fail = [&](FileError problem) {
        if (error) *error = std::move(problem);
        return -1;
    };
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (fd < 0) {
        const int code = errno;
        // A socket cannot be opened at all: it is still named for what it is.
        if (code != ENOENT && ::stat(native.constData(), &info) == 0 && !S_ISREG(info.st_mode))
            return fail(notRegular(path, info.st_mode));
        return fail(errnoError(QStringLiteral("Could not open ") + path, code));
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail(notRegular(path, info.st_mode));
    }
    if (maxBytes && info.st_size > *maxBytes) {
        ::close(fd);
        return fail(
            FileError{EFBIG, path + QStringLiteral(" is larger than %1 bytes").arg(*maxBytes)});
    }
    // Reads of a regular file never block anyway; the flag only mattered for the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (error) error->reset();
    return fd;
}

std::optional<QByteArray> readRegularFile(const QString& path, std::int64_t maxBytes,
                                          std::optional<FileError>* error) {
    const int fd = openRegularFile(path, maxBytes, error);
    if (fd < 0) return std::nullopt;
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int code = errno;
            ::close(fd);
            if (error) *error = errnoError(QStringLiteral("Could not read ") + path, code);
            return std::nullopt;
        }
        if (n == 0) break;
        // The file may grow after the check; the limit holds all the same.
        if (bytes.size() + n > maxBytes) {
            ::close(fd);
            if (error)
                *error = FileError{EFBIG,
                                   path + QStringLiteral(" is larger than %1 bytes").arg(maxBytes)};
            return std::nullopt;
        }
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void FileLock::release() {
    if (fd_ < 0) return;
    ::close(fd_);  // closing the last descriptor drops the lock
    fd_ = -1;
}

}  // namespace qm
