#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

namespace qm::test {

// The files the log readers open, recorded through CliLogParsing::setOpenObserver(recordOpen):
// the tests check that files outside the window are never opened. Reader threads record at
// once, hence the lock.
inline QMutex g_openedMutex;
inline QStringList g_opened;
inline void recordOpen(const QString& path) {
    QMutexLocker lock(&g_openedMutex);
    g_opened.append(path);
}

}  // namespace qm::test
