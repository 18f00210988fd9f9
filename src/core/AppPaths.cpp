#include "core/AppPaths.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

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
    QDir().mkpath(root);
    return root;
}

QString copyDirectory(const QString& from, const QString& to) {
    if (!QDir().mkpath(to)) return QStringLiteral("Could not create ") + to;
    QDir source(from);
    if (!source.exists()) return QStringLiteral("Could not list ") + from;
    const QFileInfoList entries =
        source.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        const QString target = QDir(to).filePath(entry.fileName());
        if (entry.isDir() && !entry.isSymLink()) {
            QString error = copyDirectory(entry.filePath(), target);
            if (!error.isEmpty()) return error;
        } else if (!QFileInfo::exists(target)) {
            if (!QFile::copy(entry.filePath(), target))
                return QStringLiteral("Could not copy ") + entry.filePath();
        }
    }
    return {};
}

QString instanceName() {
    return QStringLiteral("quotameter-") + QString::number(::getuid());
}

}  // namespace qm::AppPaths
