#include "core/AppPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "core/SharedFile.h"

namespace qm::AppPaths {

QString ensureRoot() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) base = QDir::homePath();
    return ensureRootIn(base);
}

QString ensureRootIn(const QString& base) {
    const QString root = QDir(base).filePath(QStringLiteral("Quotameter"));
    const QString legacy = QDir(base).filePath(QStringLiteral("ClaudeQuotameter"));
    if (!QFileInfo::exists(root) && QFileInfo(legacy).isDir()) {
        // Whatever was copied before a failure stays; the stores report their own errors.
        (void)copyDirectory(legacy, root);
    }
    makePrivateFolder(root);
    tightenPermissions(root);
    return root;
}

void tightenPermissions(const QString& root) {
    // Keys, accounts and spending are the user's alone: the folder is 0700 and its files
    // 0600, whatever an older version or a copy left behind. Links are left alone.
    const QByteArray folder = QFile::encodeName(root);
    struct stat info {};
    if (::lstat(folder.constData(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
    if ((info.st_mode & 077) != 0) ::chmod(folder.constData(), info.st_mode & 0700);
    const QFileInfoList files = QDir(root).entryInfoList(QDir::Files | QDir::Hidden);
    for (const QFileInfo& file : files) {
        const QByteArray path = QFile::encodeName(file.absoluteFilePath());
        if (::lstat(path.constData(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if ((info.st_mode & 077) != 0) ::chmod(path.constData(), info.st_mode & 0700);
    }
}

QString copyDirectory(const QString& from, const QString& to) {
    if (makePrivateFolder(to)) return QStringLiteral("Could not create ") + to;
    QDir source(from);
    if (!source.exists()) return QStringLiteral("Could not list ") + from;
    const QFileInfoList entries =
        source.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    // One entry that cannot be copied does not keep the others (config.json above all) behind.
    QString firstError;
    const auto note = [&firstError](const QString& error) {
        if (firstError.isEmpty()) firstError = error;
    };
    for (const QFileInfo& entry : entries) {
        const QString target = QDir(to).filePath(entry.fileName());
        const QByteArray targetName = QFile::encodeName(target);
        struct stat existing {};
        if (entry.isSymLink()) {
            // Copied as a link, its target text unchanged; a dangling link is copied too.
            if (::lstat(targetName.constData(), &existing) == 0) continue;
            QByteArray link(4096, '\0');
            const ssize_t length = ::readlink(QFile::encodeName(entry.filePath()).constData(),
                                              link.data(), std::size_t(link.size()));
            if (length < 0 || length >= link.size() ||
                ::symlink(link.left(length).constData(), targetName.constData()) != 0)
                note(QStringLiteral("Could not copy the link ") + entry.filePath());
        } else if (entry.isDir()) {
            const QString error = copyDirectory(entry.filePath(), target);
            if (!error.isEmpty()) note(error);
        } else if (::lstat(targetName.constData(), &existing) != 0) {
            if (!QFile::copy(entry.filePath(), target))
                note(QStringLiteral("Could not copy ") + entry.filePath());
        }
    }
    return firstError;
}

namespace {

// A real folder (not a link) of this user's that no one else may enter.
bool isPrivateFolder(const QString& path) {
    struct stat info {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &info) == 0 &&
           S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

}  // namespace

QString instanceName() {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!isPrivateFolder(folder)) {
        folder = QDir(QDir::tempPath())
                     .filePath(QStringLiteral("quotameter-") + QString::number(::getuid()));
        ::mkdir(QFile::encodeName(folder).constData(), 0700);
        if (!isPrivateFolder(folder)) return {};
    }
    return QDir(folder).filePath(QStringLiteral("quotameter.sock"));
}

bool isOwnSocket(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode) &&
           info.st_uid == ::getuid();
}

}  // namespace qm::AppPaths
