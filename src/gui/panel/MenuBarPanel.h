#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "core/UsageModels.h"
#include "gui/claude/ClaudeLimitsNow.h"

class QHBoxLayout;
class QLabel;
class QPushButton;
class QProgressBar;
class QVBoxLayout;

namespace qm {
class ClaudeUsageStore;
class UsageAggregator;
}  // namespace qm

namespace qm::gui {

class StatusDot;

// The compact panel of the tray icon: one line per local tool shown (isListed), one for
// Claude, and the buttons "Open Dashboard" and Refresh. A popup: Escape or a click elsewhere
// closes it.
class MenuBarPanel : public QWidget {
    Q_OBJECT
public:
    MenuBarPanel(UsageAggregator* aggregator, ClaudeUsageStore* claude,
                 std::function<void(const QString&)> openWindow, QWidget* parent = nullptr);

    // Shows the panel next to `anchor` (the icon's rectangle, or a point) inside its screen.
    void popUpAt(const QRect& anchor);
    // Where the Claude line finds its limits besides the Claude store (Claude Code's readings,
    // the history's pace).
    void setClaudeLimitSources(const ClaudeLimitSources& sources);

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Row {
        QHBoxLayout* line = nullptr;
        StatusDot* dot = nullptr;
        QLabel* name = nullptr;
        QLabel* detail = nullptr;
        QLabel* figure = nullptr;
        std::optional<ProviderKind> kind;  // none for the Claude row
    };
    // A row at `position`; its detail takes up to `detailLines` lines before it is cut.
    Row addRow(int position, int detailLines = 1);
    void removeRow(const Row& row);
    void keepOneRowPerTool(const std::vector<ProviderUsage>& providers);
    void render();

    UsageAggregator* aggregator_;
    ClaudeUsageStore* claude_;
    ClaudeLimitSources claudeSources_;
    void renderClaude(TimeMs now);
    std::function<void(const QString&)> openWindow_;
    QVBoxLayout* rowsLayout_;
    std::vector<Row> toolRows_;
    Row claudeRow_;
    QProgressBar* busy_;
    QPushButton* refresh_;
};

}  // namespace qm::gui
