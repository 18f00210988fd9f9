#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QString>
#include <QTcpServer>
#include <QWidget>

namespace qm::test {

// Saves the window's grab() under the build folder, resized first, for a person to look at.
inline void saveWindowShot(QWidget& window, const QString& name, QSize size) {
    window.resize(size.expandedTo(window.minimumSize()));
    window.show();
    QCoreApplication::processEvents();  // pending layout requests, as a user would see them
    QDir().mkpath(QStringLiteral(QM_SCREENSHOT_DIR));
    window.grab().save(QStringLiteral(QM_SCREENSHOT_DIR "/") + name + QStringLiteral(".png"));
}

// A loopback port nobody listens on right now.
inline int freeLoopbackPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

}  // namespace qm::test
