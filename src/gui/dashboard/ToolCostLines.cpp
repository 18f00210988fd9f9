#include "gui/dashboard/ToolCostLines.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "gui/UsageText.h"
#include "gui/widgets/Look.h"
#include "ledger/LocalUsageStore.h"

namespace qm::gui {

ToolCostLines::ToolCostLines(QWidget* parent)
    : QWidget(parent), today_(new QLabel(this)), month_(new QLabel(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    for (auto [title, value, key] :
         {std::tuple{QStringLiteral("Today"), today_, QStringLiteral("todayCost")},
          std::tuple{QStringLiteral("This month"), month_, QStringLiteral("monthCost")}}) {
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

void ToolCostLines::show(const ledger::LocalUsageStore* store, ProviderKind tool, TimeMs now) {
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
    today_->setText(UsageText::cost(store->figures(tool, dayStart, end).costUsd));
    month_->setText(UsageText::cost(store->figures(tool, monthStart, end).costUsd));
}

}  // namespace qm::gui
