#pragma once

#include <QPointer>
#include <QTimeZone>
#include <QWidget>
#include <array>
#include <optional>
#include <vector>

#include "history/UsageTrends.h"

class QChartView;
class QVBoxLayout;

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

// "Usage Trends": the local tools' daily cost (when a usage index is given), then the stored
// history as three charts (Claude utilisation, Gemini daily cost, API daily cost by provider
// with its daily total) and the API totals. Sections with something to show come first, in
// that order; the empty ones follow as one line each. Follows the history store as records
// arrive and are pruned, redrawing at most about ten times a second and only while shown; a
// chart whose series did not change is left as it is.
class TrendsWindow : public QWidget {
    Q_OBJECT
public:
    // Days are local days of `zone`, or of the system's zone at each redraw when absent.
    explicit TrendsWindow(UsageHistoryStore* history, QWidget* parent = nullptr,
                          std::optional<QTimeZone> zone = std::nullopt);

    // Adds the "Local Tools" section over the usage index, before the history's sections.
    void setLocalUsage(ledger::LocalUsageStore* store);
    // Adds the other machines' figures to the local tools' section (after setLocalUsage).
    void setRemoteHosts(hosts::RemoteHostStore* store);

    // Applies a waiting redraw at once, shown or not.
    void flushRedraw();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void storeChanged();
    void redraw();
    // Puts the sections with something to show first, keeping their order among themselves.
    void arrangeSections();
    void addSection(QWidget* widget, TrendSection* section, bool first);

    QPointer<UsageHistoryStore> history_;
    std::optional<QTimeZone> zone_;
    StoreChangeCoalescer* coalescer_;
    bool dirty_ = true;

    TrendSection* claudeSection_;
    TrendSection* geminiSection_;
    TrendSection* apiSection_;
    QChartView* claudeChart_ = nullptr;
    QChartView* geminiChart_ = nullptr;
    QChartView* apiChart_ = nullptr;
    std::array<LabelledFigure*, 4> summary_{};
    QVBoxLayout* sectionsLayout_;
    // Each section's widget in the layout and its TrendSection, in the order they go in.
    std::vector<std::pair<QWidget*, TrendSection*>> sections_;

    // What the charts show now.
    QByteArray shownZone_;
    std::vector<ClaudeUsageSnapshot> shownClaude_;
    std::vector<UsageTrends::GeminiDailyCost> shownGemini_;
    std::vector<UsageTrends::ApiDailyCost> shownApi_;
    bool drawnOnce_ = false;
};

}  // namespace qm::gui
