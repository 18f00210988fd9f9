#pragma once

#include <functional>

#include "gui/widgets/Look.h"

class QLabel;
class QPushButton;
class QToolButton;
class QVBoxLayout;
class QStackedWidget;

namespace qm {
class ClaudeUsageStore;
class UsageAggregator;
class UsageHistoryStore;
}  // namespace qm

namespace qm::gui {

// The Claude card at the top of the dashboard: connection state, then the five-hour, weekly
// and per-model bars with their reset times, and the design, routine and extra-usage rows when
// the site reports them; under the five-hour bar, what Claude Code used in the same five hours
// (from `usage`, when given). Without limits it offers "Claude Login". Given the history, each
// bar says when the pace of its recent snapshots fills the limit before it resets.
class ClaudeCard : public CardFrame {
    Q_OBJECT
public:
    ClaudeCard(ClaudeUsageStore* store, UsageAggregator* usage,
               std::function<void(const QString&)> openWindow, QWidget* parent = nullptr);

    void setHistory(UsageHistoryStore* history);

private:
    void render();
    // A window past its reset shows as the new one (see currentWindow).
    QWidget* addBar(const QString& title, double percent, const std::optional<QString>& resetAt,
                    std::optional<TimeMs> projectedFullAt, TimeMs now);
    void addTextRow(const QString& title, const QString& value, const QString& detail);
    void clearFigures();

    ClaudeUsageStore* store_;
    UsageAggregator* usage_;
    UsageHistoryStore* history_ = nullptr;
    std::function<void(const QString&)> openWindow_;
    QLabel* status_;
    QToolButton* refresh_;
    Pill* pill_;
    QStackedWidget* body_;
    QWidget* figures_;
    QVBoxLayout* figuresLayout_;
    QLabel* emptyStatus_;
};

}  // namespace qm::gui
