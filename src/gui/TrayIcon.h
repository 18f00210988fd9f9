#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

namespace qm {
class UsageAggregator;
}

namespace qm::gui {

class WindowRegistry;

// The menu-bar item: tool tip = the title, left click opens the dashboard, a context menu
// with the windows, Refresh and Quit.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    TrayIcon(UsageAggregator* aggregator, WindowRegistry* windows, QObject* parent = nullptr);
    QString title() const;
    void show();
    static QIcon appIcon();

private:
    void updateTitle();

    UsageAggregator* aggregator_;
    WindowRegistry* windows_;
    QSystemTrayIcon tray_;
};

}  // namespace qm::gui
