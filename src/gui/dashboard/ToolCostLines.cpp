#include "gui/dashboard/ToolCostLines.h"
#include "core/DisplayFormat.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "gui/UsageText.h"
#include "gui/widgets/Look.h"
#include "hosts/RemoteHostStore.h"
#include "ledger/LocalUsageStore.h"

namespace qm::gui {

ToolCostLines::ToolCostLines(QWidget* parent)
    : QWidget(parent), today_(new QLabel(this)), month_(new QLabel(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    for (const auto& [title, value, key] :
         {std::tuple{tr("Today"), today_, QStringLiteral("todayCost")},
          std::tuple{tr("This month"), month_, QStringLiteral("monthCost")}}) {
        auto* row = new QHBoxLayout;
        auto* name = new QLabel(title, this);
        Look::makeSecondary(name);
        value->setObjectName(key);
        row->addWidget(name);
        row->addStretch(1);
        row->addWidget(value);
        layout->addLayout(row);
    }
}

namespace {

// "devbox: $1.2000 today, $30.0000 this month (read 5m)": one machine's part of the lines.
QString hostLine(const QString& name, double today, double month, const QString& read = {}) {
    QString line = QCoreApplication::translate("ToolCostLines", "%1: %2 today, %3 this month")
                       .arg(name, DisplayFormat::money(today, MoneyPrecision::SubCent),
                            DisplayFormat::money(month, MoneyPrecision::SubCent));
    if (!read.isEmpty())
        line += QCoreApplication::translate("ToolCostLines", " (read %1)").arg(read);
    return line;
}

}  // namespace

void ToolCostLines::show(const ledger::LocalUsageStore* store, ProviderKind tool, TimeMs now,
                         const hosts::RemoteHostStore* remoteHosts) {
    setToolTip({});
    if (!store || !store->lastUpdateAt()) {
        const QString pending =
            store && store->isIndexing() ? QStringLiteral("…") : QStringLiteral("-");
        today_->setText(pending);
        month_->setText(pending);
        return;
    }
    const QDate day = QDateTime::fromMSecsSinceEpoch(now).date();
    const TimeMs dayStart = QDateTime(day, QTime(0, 0)).toMSecsSinceEpoch();
    const TimeMs monthStart =
        QDateTime(QDate(day.year(), day.month(), 1), QTime(0, 0)).toMSecsSinceEpoch();
    // Up to the end of the current hour: the index counts whole hours.
    const TimeMs end = ledger::startOf(ledger::hourOf(now) + 1);
    const ledger::ReportFigures dayFigures = store->figures(tool, dayStart, end);
    const ledger::ReportFigures monthFigures = store->figures(tool, monthStart, end);
    double today = dayFigures.costUsd;
    double month = monthFigures.costUsd;
    if (remoteHosts && !remoteHosts->hosts().empty()) {
        QStringList lines{hostLine(tr("This machine"), today, month)};
        const auto inMonth = remoteHosts->figures(tool, QDate(day.year(), day.month(), 1), day);
        const auto inDay = remoteHosts->figures(tool, day, day);
        for (std::size_t i = 0; i < inMonth.size(); ++i) {
            const hosts::HostStatus* host = nullptr;
            for (const hosts::HostStatus& h : remoteHosts->hosts())
                if (h.name == inMonth[i].first) host = &h;
            const QString read =
                host && host->readAtMs ? UsageText::age(*host->readAtMs, now) : QString();
            lines << hostLine(inMonth[i].first, inDay[i].second.costUsd, inMonth[i].second.costUsd,
                              read);
            today += inDay[i].second.costUsd;
            month += inMonth[i].second.costUsd;
        }
        setToolTip(lines.join(QLatin1Char('\n')));
    }
    // Tokens of models without a price and no cost besides: "unpriced", never a $0 that would
    // read as free.
    const auto text = [](double usd, const ledger::ReportFigures& local) {
        return usd <= 0 && !local.unpricedModels.empty()
                   ? QCoreApplication::translate("ToolCostLines", "unpriced")
                   : DisplayFormat::money(usd, MoneyPrecision::SubCent);
    };
    today_->setText(text(today, dayFigures));
    month_->setText(text(month, monthFigures));
}

}  // namespace qm::gui
