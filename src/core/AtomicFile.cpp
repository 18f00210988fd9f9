#include "core/AtomicFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/Clock.h"

namespace qm::AtomicFile {
namespace {

FileError errnoError(const QString& what, int code) {
    if (code <= 0) code = EIO;
    return FileError{code,
                     what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code))};
}

}  // namespace

std::optional<FileError> write(const QString& path, const QByteArray& bytes, int mode) {
    return write(path, {std::string_view(bytes.constData(), std::size_t(bytes.size()))}, mode);
}

std::optional<FileError> write(const QString& path, const std::vector<std::string_view>& pieces,
                               int mode, Sync sync) {
    const QByteArray target = QFile::encodeName(path);
    // Unique to this writer: two processes (or threads) saving the same file at once never
    // write into, or rename, each other's half-written temporary file.
    static std::atomic<std::uint64_t> counter{0};
    const QByteArray temp = target + ".tmp-" + QByteArray::number(::getpid()) + '-' +
                            QByteArray::number(quint64(++counter));
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return errnoError(QStringLiteral("Could not create ") + QFile::decodeName(temp), errno);

    for (const std::string_view piece : pieces) {
        const char* data = piece.data();
        std::size_t left = piece.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, data, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                const int code = errno;
                ::close(fd);
                ::unlink(temp.constData());
                return errnoError(QStringLiteral("Could not write ") + QFile::decodeName(temp),
                                  code);
            }
            data += n;
            left -= std::size_t(n);
        }
    }
    if (sync == Sync::beforeRename && ::fsync(fd) != 0) {
        const int code = errno;
        ::close(fd);
        ::unlink(temp.constData());
        return errnoError(QStringLiteral("Could not sync ") + QFile::decodeName(temp), code);
    }
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temp.constData());
        return errnoError(QStringLiteral("Could not close ") + QFile::decodeName(temp), code);
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        const int code = errno;
        ::unlink(temp.constData());
        return errnoError(QStringLiteral("Could not replace ") + path, code);
    }
    return std::nullopt;
}

void removeStaleTemporaries(const QString& path) {
    const QFileInfo target(path);
    const QString prefix = target.fileName() + QStringLiteral(".tmp");
    const QStringList names =
        target.dir().entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden);
    for (const QString& name : names) {
        const QString rest = name.mid(prefix.size());
        bool stale = rest.isEmpty();  // the single shared name of earlier versions
        if (rest.startsWith(QLatin1Char('-'))) {
            bool ok = false;
            const pid_t pid = pid_t(rest.section(QLatin1Char('-'), 1, 1).toLong(&ok));
            stale = ok && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
        }
        if (stale) ::unlink(QFile::encodeName(target.dir().filePath(name)).constData());
    }
}

std::optional<QString> moveAside(const QString& path, QString* error) {
    const QString stamp = QDateTime::fromMSecsSinceEpoch(systemNow(), QTimeZone::utc())
                              .toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString aside = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFileInfo::exists(aside); ++n) {
        aside = path + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);
    }
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) != 0) {
        if (error)
            *error = errnoError(QStringLiteral("Could not move aside ") + path, errno).message;
        return std::nullopt;
    }
    return aside;
}

}  // namespace qm::AtomicFile
