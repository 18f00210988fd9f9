#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <optional>

#include "core/UsageModels.h"
#include "gui/panel/MenuBarPanel.h"

class QMenu;

namespace qm {
class ClaudeUsageStore;
class UsageAggregator;
}  // namespace qm

namespace qm::gui {

class WindowRegistry;

// The menu-bar item: the corgi icon with a coloured mark for the Claude level once limits are
// known, the title as tool tip, left click toggling the panel beside the icon, and a context
// menu with the windows, Refresh and Quit.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    TrayIcon(UsageAggregator* aggregator, ClaudeUsageStore* claude, WindowRegistry* windows,
             QObject* parent = nullptr);
    ~TrayIcon() override;

    QString title() const;
    // Where the Claude limits come from besides the Claude store: Claude Code's readings and
    // the history's pace (for the title, the dot and the panel).
    void setClaudeLimitSources(const ClaudeLimitSources& sources);
    void show();
    // Shows the panel at `anchor`, or hides it when it is open.
    void togglePanel(const QRect& anchor);
    // Shows the panel at `anchor` (or raises it), whenever it was last closed.
    void showPanel(const QRect& anchor);
    MenuBarPanel* panel() const { return panel_; }
    QMenu* menu() const { return menu_; }
    QSystemTrayIcon* tray() { return &tray_; }

    // The "menubar-corgi" picture (a drawn gauge if the resource is missing), made once at
    // each common size, so that no screen scale stretches it.
    static QIcon appIcon();
    // The icon with a dot of the level's colour in a ring of the palette's window colour, or
    // the plain icon without a level.
    static QIcon iconWithLevel(std::optional<UsageStatusLevel> level);

private:
    void update();
    QRect anchor() const;

    UsageAggregator* aggregator_;
    ClaudeUsageStore* claude_;
    ClaudeLimitSources claudeSources_;
    WindowRegistry* windows_;
    QMenu* menu_;
    QPointer<MenuBarPanel> panel_;
    QElapsedTimer panelClosed_;
    std::optional<UsageStatusLevel> shownLevel_;
    bool iconSet_ = false;
    QSystemTrayIcon tray_;
};

}  // namespace qm::gui
