#include "gui/dashboard/DashboardWindow.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/DisplayFormat.h"
#include "readers/UsageAggregator.h"

namespace qm::gui {

DashboardWindow::DashboardWindow(UsageAggregator* aggregator, QWidget* parent)
    : QWidget(parent),
      aggregator_(aggregator),
      title_(new QLabel(this)),
      cards_(new QLabel(this)),
      refresh_(new QPushButton(QStringLiteral("Refresh"), this)) {
    setWindowTitle(QStringLiteral("Quotameter"));
    QFont titleFont = title_->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    titleFont.setBold(true);
    title_->setFont(titleFont);
    cards_->setTextFormat(Qt::RichText);
    cards_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    cards_->setAlignment(Qt::AlignTop | Qt::AlignLeft);

    auto* header = new QHBoxLayout();
    header->addWidget(title_, 1);
    header->addWidget(refresh_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(header);
    layout->addWidget(cards_, 1);
    resize(520, 420);

    connect(refresh_, &QPushButton::clicked, aggregator_, &UsageAggregator::refreshInBackground);
    connect(aggregator_, &UsageAggregator::changed, this, &DashboardWindow::render);
    render();
}

void DashboardWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!aggregator_->lastRefreshAt()) aggregator_->refreshInBackground();
}

void DashboardWindow::render() {
    title_->setText(aggregator_->menuBarTitle(std::nullopt));
    refresh_->setEnabled(!aggregator_->isRefreshing());
    refresh_->setText(aggregator_->isRefreshing() ? QStringLiteral("Scanning…")
                                                  : QStringLiteral("Refresh"));
    const TimeMs now = QDateTime::currentMSecsSinceEpoch();
    QString html;
    for (const ProviderUsage& p : aggregator_->providers()) {
        html += QStringLiteral("<h3>%1 <small>— %2</small></h3>")
                    .arg(p.providerName.toHtmlEscaped(), p.statusText.toHtmlEscaped());
        html += QStringLiteral("<p>5h: %1 prompts, %2 tokens, %3 sessions · $%4<br>")
                    .arg(DisplayFormat::formattedCount(p.lastFiveHourPrompts),
                         DisplayFormat::formattedTokens(p.lastFiveHourTokens),
                         DisplayFormat::formattedCount(p.lastFiveHourSessions),
                         QString::asprintf("%.4f", p.costTotal));
        html += QStringLiteral("Latest: %1 · %2 · %3 (%4)</p>")
                    .arg(p.latestProject.toHtmlEscaped(), p.latestModel.toHtmlEscaped(),
                         p.latestTask.toHtmlEscaped(),
                         DisplayFormat::relativeTime(p.latestActivityAt, now));
        for (const QString& warning : p.warnings) {
            html += QStringLiteral("<p><i>%1</i></p>").arg(warning.toHtmlEscaped());
        }
    }
    cards_->setText(html);
}

}  // namespace qm::gui
