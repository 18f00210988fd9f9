#include "gui/dashboard/RecentActivity.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "core/DisplayFormat.h"
#include "gui/widgets/ElidedLabel.h"

namespace qm::gui {

RecentActivity::RecentActivity(QWidget* parent)
    : CardFrame(parent), layout_(new QVBoxLayout(this)) {
    setObjectName(QStringLiteral("recentActivity"));
    layout_->setContentsMargins(14, 14, 14, 14);
    layout_->setSpacing(10);
    auto* title = new QLabel(tr("Recent Activity"), this);
    title->setFont(Look::headline());
    layout_->addWidget(title);
}

RecentActivity::Row RecentActivity::addRow() {
    auto* widget = new QWidget(this);
    widget->setFont(Look::callout());
    auto* line = new QHBoxLayout(widget);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(12);
    Row row{widget, new StatusDot(9, widget), new QLabel(widget),
            new ElidedLabel(widget, Qt::ElideRight), new QLabel(widget)};
    row.name->setFixedWidth(Look::toolNameWidth(widget->font(), 64));
    row.task->setObjectName(QStringLiteral("task"));
    row.when->setObjectName(QStringLiteral("when"));
    Look::makeSecondary(row.when);
    line->addWidget(row.dot);
    line->addWidget(row.name);
    line->addWidget(row.task, 1);
    line->addWidget(row.when);
    layout_->addWidget(widget);
    return row;
}

void RecentActivity::show(const std::vector<ProviderUsage>& providers, TimeMs now) {
    while (rows_.size() > providers.size()) {
        delete rows_.back().widget;
        rows_.pop_back();
    }
    while (rows_.size() < providers.size()) rows_.push_back(addRow());
    for (std::size_t i = 0; i < providers.size(); ++i) {
        const ProviderUsage& p = providers[i];
        const Row& row = rows_[i];
        row.widget->setObjectName(QStringLiteral("recent_") + p.providerName);
        row.dot->setColour(Look::toolColour(p.kind));
        row.name->setText(p.providerName);
        row.task->setText(p.latestTask.isEmpty() ? tr("No recent task") : p.latestTask);
        row.task->setToolTip(p.latestTask);
        row.when->setText(DisplayFormat::relativeTime(p.latestActivityAt, now));
    }
}

}  // namespace qm::gui
