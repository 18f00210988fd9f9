#pragma once

#include <QPointer>
#include <QWidget>
#include <array>

#include "ledger/UsageReport.h"

class QChartView;
class QComboBox;

namespace qm::ledger {
class LocalUsageStore;
}
namespace qm::hosts {
class RemoteHostStore;
}

namespace qm::gui {

class LabelledFigure;
class TrendSection;

// "Local Tools" in the trends window: the local tools' daily cost over the last 30 or 90 days,
// stacked by tool, each bar's tokens in its tool tip, and the cost of this week, this month and
// last month. Everything comes from the usage index, and from the other machines' last figures
// when there are any (each bar's tool tip then has a line per machine).
class LocalToolsSection : public QWidget {
    Q_OBJECT
public:
    explicit LocalToolsSection(ledger::LocalUsageStore* store, QWidget* parent = nullptr);

    void setRemoteHosts(hosts::RemoteHostStore* store);

    // The report the chart shows (days, by tool).
    ledger::UsageReport shownReport() const { return shown_; }

private:
    void redraw();
    void showChart(const ledger::UsageReport& report);
    // The cost of [from, to) here plus the local days [from, last] on the other machines.
    double costBetween(QDate from, TimeMs to, QDate last) const;

    QPointer<ledger::LocalUsageStore> store_;
    QPointer<hosts::RemoteHostStore> remoteHosts_;
    TrendSection* section_;
    QComboBox* days_;
    QChartView* chart_;
    std::array<LabelledFigure*, 3> summary_{};
    ledger::UsageReport shown_;
};

}  // namespace qm::gui
