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

    QPointer<UsageHistoryStore> m_history;
    std::optional<QTimeZone> m_zone;
    StoreChangeCoalescer* m_coalescer;
    bool m_dirty = true;

    TrendSection* m_claudeSection;
    TrendSection* m_geminiSection;
    TrendSection* m_apiSection;
    QChartView* m_claudeChart;
    QChartView* m_geminiChart;
    QChartView* m_apiChart;
    std::array<LabelledFigure*, 4> m_summary{};

    // What the charts show now.
    QByteArray m_shownZone;
    std::vector<ClaudeUsageSnapshot> m_shownClaude;
    std::vector<UsageTrends::GeminiDailyCost> m_shownGemini;
    std::vector<UsageTrends::ApiDailyCost> m_shownApi;
    bool m_drawnOnce = false;
};

}  // namespace qm::gui
