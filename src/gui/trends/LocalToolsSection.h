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
// one slot per day of the span (a day without use is an empty slot), stacked by tool in the
// tool's own colour, each bar's tool, day, cost and tokens in its tool tip; and the cost of
// this week, this month and last month. Everything comes from the usage index, and from the
// other machines' last figures when there are any (each bar's tool tip then has a line per
// machine).
class LocalToolsSection : public QWidget {
    Q_OBJECT
public:
    explicit LocalToolsSection(ledger::LocalUsageStore* store, QWidget* parent = nullptr);

    void setRemoteHosts(hosts::RemoteHostStore* store);

    // The report the chart shows (days, by tool).
    ledger::UsageReport shownReport() const { return shown_; }
    // The section with its title, which shows "No history yet" while there is nothing to chart.
    TrendSection* section() const { return section_; }

protected:
    void changeEvent(QEvent* event) override;
    // The chart view's tool tips: the scene under it would hide any tip its items do not carry.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void redraw();
    void showChart(const ledger::UsageReport& report);
    void hoverBar(bool on, const QString& tip);
    // The cost of [from, to) here plus the local days [from, last] on the other machines.
    double costBetween(QDate from, TimeMs to, QDate last) const;

    QPointer<ledger::LocalUsageStore> store_;
    QPointer<hosts::RemoteHostStore> remoteHosts_;
    TrendSection* section_;
    QComboBox* days_;
    QChartView* chart_;
    std::array<LabelledFigure*, 3> summary_{};
    ledger::UsageReport shown_;
    QString hoveredTip_;  // of the bar under the pointer
};

}  // namespace qm::gui
