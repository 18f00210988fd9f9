#include "support/TempDir.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <stdexcept>

namespace qm::test {

TempDir::TempDir() : dir_(QDir::tempPath() + QStringLiteral("/qm-test-XXXXXX")) {
    if (!dir_.isValid()) throw std::runtime_error("could not create a temporary directory");
}

QString TempDir::filePath(const QString& relative) const {
    return dir_.filePath(relative);
}

QString TempDir::write(const QString& relative, const QByteArray& bytes) const {
    const QString path = filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        throw std::runtime_error("could not write test file");
    }
    return path;
}

void TempDir::setModifiedSecondsAgo(const QString& path, qint64 secondsAgo) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) ||
        !file.setFileTime(QDateTime::currentDateTime().addSecs(-secondsAgo),
                          QFileDevice::FileModificationTime)) {
        throw std::runtime_error("could not set modification time");
    }
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

void append(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::Append) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot append to " + path.toStdString());
}

}  // namespace qm::test
