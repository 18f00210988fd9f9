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

#include "core/Clock.h"
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
        .arg(tool, day, DisplayFormat::money(f.costUsd, MoneyPrecision::SubCent),
             formattedTokens(f.counts.input), formattedTokens(f.counts.cachedInput),
             formattedTokens(f.counts.cacheWrite), formattedTokens(f.counts.output));
}

}  // namespace

LocalToolsSection::LocalToolsSection(ledger::LocalUsageStore* store, QWidget* parent)
    : QWidget(parent),
      store_(store),
      days_(new QComboBox(this)),
      chart_(TrendCharts::makeView(240, this)) {
    days_->setObjectName(QStringLiteral("localToolsDays"));
    days_->addItem(tr("30 days"), 30);
    days_->addItem(tr("90 days"), 90);
    chart_->setObjectName(QStringLiteral("localToolsChart"));
    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    auto* picker = new QHBoxLayout;
    picker->addWidget(days_);
    picker->addStretch(1);
    column->addLayout(picker);
    column->addWidget(chart_);
    auto* summary = new QHBoxLayout;
    summary->setSpacing(24);
    const std::array<QString, 3> labels{tr("This week"), tr("This month"), tr("Last month")};
    const std::array<QString, 3> names{QStringLiteral("localWeek"), QStringLiteral("localMonth"),
                                       QStringLiteral("localLastMonth")};
    for (std::size_t i = 0; i < labels.size(); ++i) {
        summary_[i] = new LabelledFigure(labels[i], {}, content);
        summary_[i]->setObjectName(names[i]);
        summary->addWidget(summary_[i]);
    }
    summary->addStretch(1);
    column->addLayout(summary);
    section_ = new TrendSection(tr("Local Tools"), content, this);
    section_->setObjectName(QStringLiteral("localToolsSection"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(section_);
    connect(days_, &QComboBox::currentIndexChanged, this, &LocalToolsSection::redraw);
    if (store_)
        connect(store_, &ledger::LocalUsageStore::changed, this, &LocalToolsSection::redraw);
    redraw();
}

void LocalToolsSection::redraw() {
    if (!store_ || !store_->lastUpdateAt()) {
        section_->setSubtitle(store_ && store_->isIndexing() ? tr("Indexing…") : QString());
        section_->setEmpty(true);
        return;
    }
    const QDate today = QDate::currentDate();
    ReportQuery query;
    query.until = today;
    query.since = today.addDays(1 - days_->currentData().toInt());
    ledger::UsageReport report = store_->report(query);
    if (remoteHosts_) {
        for (const hosts::HostStatus& host : remoteHosts_->hosts()) {
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
    section_->setSubtitle(DisplayFormat::money(report.totals.costUsd, MoneyPrecision::SubCent) +
                          tr(" in %1").arg(days_->currentText()));
    section_->setEmpty(report.rows.empty());
    if (report.rows != shown_.rows) showChart(report);
    shown_ = report;

    const QDate monday = today.addDays(1 - today.dayOfWeek());
    const QDate first(today.year(), today.month(), 1);
    const TimeMs end = ledger::startOf(ledger::hourOf(systemNow()) + 1);
    summary_[0]->setValue(
        DisplayFormat::money(costBetween(monday, end, today), MoneyPrecision::SubCent));
    summary_[1]->setValue(
        DisplayFormat::money(costBetween(first, end, today), MoneyPrecision::SubCent));
    summary_[2]->setValue(
        DisplayFormat::money(costBetween(first.addMonths(-1), localStart(first), first.addDays(-1)),
                             MoneyPrecision::SubCent));
}

void LocalToolsSection::setRemoteHosts(hosts::RemoteHostStore* store) {
    remoteHosts_ = store;
    if (store) connect(store, &hosts::RemoteHostStore::changed, this, &LocalToolsSection::redraw);
    redraw();
}

double LocalToolsSection::costBetween(QDate from, TimeMs to, QDate last) const {
    double cost = store_->figures(std::nullopt, localStart(from), to).costUsd;
    if (remoteHosts_) {
        for (const auto& [name, figures] : remoteHosts_->figures(std::nullopt, from, last))
            cost += figures.costUsd;
    }
    return cost;
}

void LocalToolsSection::showChart(const ledger::UsageReport& report) {
    QChart* chart = chart_->chart();
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
        connect(set, &QBarSet::hovered, chart_, [tips](bool on, int index) {
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
