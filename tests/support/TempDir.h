#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace qm::test {

// A private folder for one test, removed when the test ends.
class TempDir {
public:
    TempDir();
    QString path() const { return dir_.path(); }
    QString filePath(const QString& relative) const;
    // Writes a file (creating parent folders) and returns its absolute path.
    QString write(const QString& relative, const QByteArray& bytes) const;
    // Sets a file's modification time to `secondsAgo` before now.
    static void setModifiedSecondsAgo(const QString& path, qint64 secondsAgo);

private:
    QTemporaryDir dir_;
};

QByteArray readAll(const QString& path);
// Adds `bytes` at the end of the file, as a tool writing its log does.
void append(const QString& path, const QByteArray& bytes);

}  // namespace qm::test
