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
    ledger::UsageReport shownReport() const { return m_shown; }

private:
    void redraw();
    void showChart(const ledger::UsageReport& report);
    // The cost of [from, to) here plus the local days [from, last] on the other machines.
    double costBetween(QDate from, TimeMs to, QDate last) const;

    QPointer<ledger::LocalUsageStore> m_store;
    QPointer<hosts::RemoteHostStore> m_remoteHosts;
    TrendSection* m_section;
    QComboBox* m_days;
    QChartView* m_chart;
    std::array<LabelledFigure*, 3> m_summary{};
    ledger::UsageReport m_shown;
};

}  // namespace qm::gui
