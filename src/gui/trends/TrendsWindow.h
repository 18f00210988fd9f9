#pragma once

#include <QPointer>
#include <QTimeZone>
#include <QWidget>
#include <array>
#include <optional>
#include <vector>

#include "history/UsageTrends.h"

class QChartView;

namespace qm {
class UsageHistoryStore;
}

namespace qm::ledger {
class LocalUsageStore;
}

namespace qm::hosts {
class RemoteHostStore;
}

namespace qm::gui {

class LabelledFigure;
class StoreChangeCoalescer;
class TrendSection;

// "Usage Trends": the stored history as three charts (Claude utilisation, Gemini daily cost,
// API daily cost by provider with its daily total) and the API totals. Follows the history
// store as records arrive and are pruned, redrawing at most about ten times a second and only
// while shown; a chart whose series did not change is left as it is.
class TrendsWindow : public QWidget {
    Q_OBJECT
public:
    // Days are local days of `zone`, or of the system's zone at each redraw when absent.
    explicit TrendsWindow(UsageHistoryStore* history, QWidget* parent = nullptr,
                          std::optional<QTimeZone> zone = std::nullopt);

    // Adds the "Local Tools" section over the usage index, below the history's sections.
    void setLocalUsage(ledger::LocalUsageStore* store);
    // Adds the other machines' figures to the local tools' section (after setLocalUsage).
    void setRemoteHosts(hosts::RemoteHostStore* store);

    // Applies a waiting redraw at once, shown or not.
    void flushRedraw();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void storeChanged();
    void redraw();

    QPointer<UsageHistoryStore> history_;
    std::optional<QTimeZone> zone_;
    StoreChangeCoalescer* coalescer_;
    bool dirty_ = true;

    TrendSection* claudeSection_;
    TrendSection* geminiSection_;
    TrendSection* apiSection_;
    QChartView* claudeChart_;
    QChartView* geminiChart_;
    QChartView* apiChart_;
    std::array<LabelledFigure*, 4> summary_{};

    // What the charts show now.
    QByteArray shownZone_;
    std::vector<ClaudeUsageSnapshot> shownClaude_;
    std::vector<UsageTrends::GeminiDailyCost> shownGemini_;
    std::vector<UsageTrends::ApiDailyCost> shownApi_;
    bool drawnOnce_ = false;
};

}  // namespace qm::gui
