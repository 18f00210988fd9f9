#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QString>
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

}  // namespace qm::test
