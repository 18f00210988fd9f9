#pragma once

#include <functional>

#include "alerts/LimitReadings.h"
#include "core/ClaudeUsageModel.h"
#include "gui/widgets/Look.h"

class QLabel;
class QPushButton;
class QToolButton;
class QVBoxLayout;
class QStackedWidget;

namespace qm {
class ClaudeLimitReadingStore;
class ClaudeUsageStore;
class UsageAggregator;
class UsageHistoryStore;
}  // namespace qm

namespace qm::gui {

// The Claude card at the top of the dashboard: connection state, then the five-hour, weekly
// and per-model bars with their reset times and where and when each was read ("from Claude
// Code, 2 min ago"), and the design, routine and extra-usage rows when the site reports them;
// under the five-hour bar, what Claude Code used in the same five hours (from `usage`, when
// given). The five-hour and weekly bars show the freshest reading of the site and of Claude
// Code's status line; the per-model ones come from the site only, and without it the card
// says so. Without any limits it offers "Claude Login". Given the history, each bar says when
// the pace of its readings fills the limit before it resets.
class ClaudeCard : public CardFrame {
    Q_OBJECT
public:
    ClaudeCard(ClaudeUsageStore* store, UsageAggregator* usage,
               std::function<void(const QString&)> openWindow, QWidget* parent = nullptr);

    void setHistory(UsageHistoryStore* history);
    // The limits Claude Code hands over: with them the card shows the five-hour and weekly
    // limits without a sign-in, whichever source read them last.
    void setReadings(ClaudeLimitReadingStore* readings);

private:
    void render();
    // A window past its reset shows as the new one (see currentWindow); below the bar,
    // `source`: where and when it was read, unless empty.
    QWidget* addBar(const LimitReading& reading, const QString& source, TimeMs now);
    // What only the site reports: the design bar, the routines and the extra usage.
    void addSiteRows(const LatestClaudeUsage& latest, TimeMs now);
    void addTextRow(const QString& title, const QString& value, const QString& detail);
    void clearFigures();

    ClaudeUsageStore* store_;
    UsageAggregator* usage_;
    UsageHistoryStore* history_ = nullptr;
    ClaudeLimitReadingStore* readings_ = nullptr;
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
