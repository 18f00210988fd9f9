#include "gui/trends/LocalToolsSection.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QHBoxLayout>
#include <QStackedBarSeries>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>
#include <map>

#include "core/DisplayFormat.h"
#include "gui/UsageText.h"
#include "gui/trends/TrendCharts.h"
#include "gui/trends/TrendSection.h"
#include "gui/widgets/LabelledFigure.h"
#include "hosts/HostReport.h"
#include "hosts/RemoteHostStore.h"
#include "ledger/LocalUsageStore.h"

namespace qm::gui {
namespace {

using ledger::ReportFigures;
using ledger::ReportPeriod;
using ledger::ReportQuery;

TimeMs localStart(QDate day) {
    return QDateTime(day, QTime(0, 0)).toMSecsSinceEpoch();
}

QString tokensTip(const QString& tool, const QString& day, const ReportFigures& f) {
    using DisplayFormat::formattedTokens;
    return QObject::tr("%1, %2: %3\n%4 input (%5 cached, %6 cache writes), %7 output")
        .arg(tool, day, UsageText::cost(f.costUsd), formattedTokens(f.counts.input),
             formattedTokens(f.counts.cachedInput), formattedTokens(f.counts.cacheWrite),
             formattedTokens(f.counts.output));
}

}  // namespace

LocalToolsSection::LocalToolsSection(ledger::LocalUsageStore* store, QWidget* parent)
    : QWidget(parent),
      m_store(store),
      m_days(new QComboBox(this)),
      m_chart(TrendCharts::makeView(240, this)) {
    m_days->setObjectName(QStringLiteral("localToolsDays"));
    m_days->addItem(tr("30 days"), 30);
    m_days->addItem(tr("90 days"), 90);
    m_chart->setObjectName(QStringLiteral("localToolsChart"));
    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    auto* picker = new QHBoxLayout;
    picker->addWidget(m_days);
    picker->addStretch(1);
    column->addLayout(picker);
    column->addWidget(m_chart);
    auto* summary = new QHBoxLayout;
    summary->setSpacing(24);
    const std::array<QString, 3> labels{tr("This week"), tr("This month"), tr("Last month")};
    const std::array<QString, 3> names{QStringLiteral("localWeek"), QStringLiteral("localMonth"),
                                       QStringLiteral("localLastMonth")};
    for (std::size_t i = 0; i < labels.size(); ++i) {
        m_summary[i] = new LabelledFigure(labels[i], {}, content);
        m_summary[i]->setObjectName(names[i]);
        summary->addWidget(m_summary[i]);
    }
    summary->addStretch(1);
    column->addLayout(summary);
    m_section = new TrendSection(tr("Local Tools"), content, this);
    m_section->setObjectName(QStringLiteral("localToolsSection"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_section);
    connect(m_days, &QComboBox::currentIndexChanged, this, &LocalToolsSection::redraw);
    if (m_store)
        connect(m_store, &ledger::LocalUsageStore::changed, this, &LocalToolsSection::redraw);
    redraw();
}

void LocalToolsSection::redraw() {
    if (!m_store || !m_store->lastUpdateAt()) {
        m_section->setSubtitle(m_store && m_store->isIndexing() ? tr("Indexing…") : QString());
        m_section->setEmpty(true);
        return;
    }
    const QDate today = QDate::currentDate();
    ReportQuery query;
    query.until = today;
    query.since = today.addDays(1 - m_days->currentData().toInt());
    ledger::UsageReport report = m_store->report(query);
    if (m_remoteHosts) {
        for (const hosts::HostStatus& host : m_remoteHosts->hosts()) {
            if (!host.readAtMs) continue;
            hosts::RemoteReport shown;
            for (const ledger::ReportRow& row : host.report.rows) {
                if (QDate::fromString(row.period, Qt::ISODate) >= query.since)
                    shown.rows.push_back(row);
            }
            shown.totals = hosts::figuresOf(host.report, std::nullopt, query.since, today);
            hosts::addHost(report, shown, host.name);
        }
    }
    m_section->setSubtitle(UsageText::cost(report.totals.costUsd) +
                           tr(" in %1").arg(m_days->currentText()));
    m_section->setEmpty(report.rows.empty());
    if (report.rows != m_shown.rows) showChart(report);
    m_shown = report;

    const QDate monday = today.addDays(1 - today.dayOfWeek());
    const QDate first(today.year(), today.month(), 1);
    const TimeMs end = ledger::startOf(ledger::hourOf(QDateTime::currentMSecsSinceEpoch()) + 1);
    m_summary[0]->setValue(UsageText::cost(costBetween(monday, end, today)));
    m_summary[1]->setValue(UsageText::cost(costBetween(first, end, today)));
    m_summary[2]->setValue(
        UsageText::cost(costBetween(first.addMonths(-1), localStart(first), first.addDays(-1))));
}

void LocalToolsSection::setRemoteHosts(hosts::RemoteHostStore* store) {
    m_remoteHosts = store;
    if (store) connect(store, &hosts::RemoteHostStore::changed, this, &LocalToolsSection::redraw);
    redraw();
}

double LocalToolsSection::costBetween(QDate from, TimeMs to, QDate last) const {
    double cost = m_store->figures(std::nullopt, localStart(from), to).costUsd;
    if (m_remoteHosts) {
        for (const auto& [name, figures] : m_remoteHosts->figures(std::nullopt, from, last))
            cost += figures.costUsd;
    }
    return cost;
}

void LocalToolsSection::showChart(const ledger::UsageReport& report) {
    QChart* chart = m_chart->chart();
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
    // One column per day that has usage, one stacked set per tool.
    std::map<QString, int> column;
    for (const auto& row : report.rows) column.emplace(row.period, 0);
    QStringList days;
    for (auto& [day, index] : column) {
        index = int(days.size());
        days << day.mid(5);  // "MM-dd": the year is in the range
    }
    std::map<ProviderKind, std::pair<QList<qreal>, QStringList>> byTool;
    for (const auto& row : report.rows) {
        auto& [values, tips] = byTool[row.tool];
        if (values.isEmpty()) {
            values.resize(days.size(), 0.0);
            tips.resize(days.size());
        }
        const int at = column.at(row.period);
        // Several machines share a bar: their costs stack, the tool tip has a line for each.
        values[at] += row.figures.costUsd;
        const QString tip = tokensTip(providerName(row.tool), row.period, row.figures);
        if (!tips[at].isEmpty()) tips[at] += QLatin1Char('\n');
        tips[at] += report.severalHosts ? row.host + QStringLiteral(": ") + tip : tip;
    }
    auto* stacks = new QStackedBarSeries;
    double maximum = 0;
    std::vector<double> totals(std::size_t(days.size()), 0.0);
    for (const auto& [tool, part] : byTool) {
        auto* set = new QBarSet(providerName(tool));
        set->append(part.first);
        for (qsizetype i = 0; i < part.first.size(); ++i) totals[std::size_t(i)] += part.first[i];
        const QStringList tips = part.second;
        connect(set, &QBarSet::hovered, m_chart, [tips](bool on, int index) {
            if (on && index >= 0 && index < tips.size())
                QToolTip::showText(QCursor::pos(), tips[index]);
            else
                QToolTip::hideText();
        });
        stacks->append(set);
    }
    for (double total : totals) maximum = std::max(maximum, total);
    chart->addSeries(stacks);
    auto* axisX = new QBarCategoryAxis;
    axisX->append(days);
    auto* axisY = new QValueAxis;
    axisY->setRange(0, maximum > 0 ? maximum * 1.1 : 1);
    // Cents say nothing on a chart of fractions of a cent.
    axisY->setLabelFormat(maximum < 1 ? QStringLiteral("$%.3f") : QStringLiteral("$%.2f"));
    chart->addAxis(axisX, Qt::AlignBottom);
    chart->addAxis(axisY, Qt::AlignLeft);
    stacks->attachAxis(axisX);
    stacks->attachAxis(axisY);
    chart->legend()->setVisible(true);
}

}  // namespace qm::gui
