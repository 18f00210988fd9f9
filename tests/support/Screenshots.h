#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QString>
#include <QWidget>

// Pictures of what the user would see, under the build folder (QM_SCREENSHOT_DIR, set by the
// including target), for a person to look at.
namespace qm::test {

inline void saveScreenshot(QWidget* widget, const QString& name) {
    QDir().mkpath(QStringLiteral(QM_SCREENSHOT_DIR));
    // Labels whose text just changed have their new size only after the pending layouts run.
    for (int i = 0; i < 3; ++i) QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    widget->grab().save(QStringLiteral(QM_SCREENSHOT_DIR "/") + name + QStringLiteral(".png"));
}

// The window resized first, to `size` or its minimum.
inline void saveWindowShot(QWidget& window, const QString& name, QSize size) {
    window.resize(size.expandedTo(window.minimumSize()));
    window.show();
    QCoreApplication::processEvents();  // pending layout requests, as a user would see them
    saveScreenshot(&window, name);
}

}  // namespace qm::test
