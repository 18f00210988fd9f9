#include "gui/trends/LocalToolsSection.h"

#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QStackedBarSeries>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <map>

#include "core/Clock.h"
#include "core/DisplayFormat.h"
#include "gui/UsageText.h"
#include "gui/trends/TrendCharts.h"
#include "gui/trends/TrendSection.h"
#include "gui/widgets/LabelledFigure.h"
#include "gui/widgets/Look.h"
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

// One tool's cost on each day of the span, and what each day's bar says in its tool tip.
struct ToolDays {
    QList<qreal> costs;
    QStringList tips;
};

// Each tool's days over the `slots` days from `since`. A row of a day outside the span (from
// another machine whose clock is ahead) is left out.
std::map<ProviderKind, ToolDays> toolDays(const ledger::UsageReport& report, QDate since,
                                          int slots) {
    std::map<ProviderKind, ToolDays> byTool;
    for (const ledger::ReportRow& row : report.rows) {
        const QDate day = QDate::fromString(row.period, Qt::ISODate);
        const qint64 at = since.daysTo(day);
        if (!day.isValid() || at < 0 || at >= slots) continue;
        ToolDays& days = byTool[row.tool];
        if (days.costs.isEmpty()) {
            days.costs.resize(slots, 0.0);
            days.tips.resize(slots);
        }
        // Several machines share a bar: their costs stack, the tool tip has a line for each.
        days.costs[at] += row.figures.costUsd;
        const QString tip = tokensTip(providerName(row.tool), row.period, row.figures);
        QString& text = days.tips[at];
        if (!text.isEmpty()) text += QLatin1Char('\n');
        text += report.severalHosts
                    ? DisplayFormat::printable(row.host) + QStringLiteral(": ") + tip
                    : tip;
    }
    return byTool;
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
    chart_->viewport()->installEventFilter(this);
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
    // A new day or the other span moves every slot, even with the same rows.
    if (report.rows != shown_.rows || report.query.since != shown_.query.since ||
        report.query.until != shown_.query.until || report.severalHosts != shown_.severalHosts)
        showChart(report);
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
    TrendCharts::clear(chart);
    hoverBar(false, hoveredTip_);
    const QDate since = report.query.since;
    const int slots = int(since.daysTo(report.query.until)) + 1;
    if (!since.isValid() || slots <= 0) return;
    auto* stacks = new QStackedBarSeries;
    stacks->setBarWidth(0.8);
    std::vector<std::pair<QBarSet*, ProviderKind>> sets;
    std::vector<double> totals(std::size_t(slots), 0.0);
    for (const auto& [tool, days] : toolDays(report, since, slots)) {
        auto* set = new QBarSet(providerName(tool));
        set->append(days.costs);
        for (int i = 0; i < slots; ++i) totals[std::size_t(i)] += days.costs[i];
        connect(set, &QBarSet::hovered, this, [this, tips = days.tips](bool on, int index) {
            hoverBar(on, index >= 0 && index < tips.size() ? tips[index] : QString());
        });
        stacks->append(set);
        sets.emplace_back(set, tool);
    }
    chart->addSeries(stacks);
    // A tool has one colour everywhere, whatever the palette: never the theme's n-th colour.
    for (const auto& [set, tool] : sets) {
        set->setColor(Look::toolColour(tool));
        set->setBorderColor(Look::toolColour(tool));
    }
    QStringList labels;
    for (int i = 0; i < slots; ++i) labels << since.addDays(i).toString(QStringLiteral("MM/dd"));
    QAbstractAxis* axisX = TrendCharts::dayAxis(chart, labels);
    QAbstractAxis* axisY = TrendCharts::costAxis(*std::max_element(totals.begin(), totals.end()));
    chart->addAxis(axisY, Qt::AlignLeft);
    stacks->attachAxis(axisX);
    stacks->attachAxis(axisY);
    chart->legend()->setVisible(true);
}

void LocalToolsSection::hoverBar(bool on, const QString& tip) {
    // The next bar's enter may come before the last one's leave.
    if (on)
        hoveredTip_ = tip;
    else if (tip == hoveredTip_)
        hoveredTip_.clear();
    if (hoveredTip_.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(QCursor::pos(), hoveredTip_, chart_);
}

bool LocalToolsSection::eventFilter(QObject* watched, QEvent* event) {
    if (watched != chart_->viewport() || event->type() != QEvent::ToolTip)
        return QWidget::eventFilter(watched, event);
    if (hoveredTip_.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), hoveredTip_, chart_);
    return true;
}

void LocalToolsSection::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::PaletteChange || !chart_) return;
    // The new theme recolours every set: drawn again, in the tools' colours.
    TrendCharts::followPalette(chart_->chart(), palette());
    if (!shown_.rows.empty()) showChart(shown_);
}

}  // namespace qm::gui
