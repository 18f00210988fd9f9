#include "gui/trends/TrendsWindow.h"

#include <QChartView>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

#include "gui/trends/LocalToolsSection.h"
#include "gui/trends/TrendCharts.h"
#include "gui/trends/TrendSection.h"
#include "gui/widgets/LabelledFigure.h"
#include "gui/widgets/StoreChangeCoalescer.h"
#include "gui/widgets/WindowBehaviour.h"
#include "gui/widgets/WindowTextStyles.h"
#include "history/UsageHistoryStore.h"

namespace qm::gui {

namespace {

QWidget* column(QWidget* parent, std::initializer_list<QWidget*> children,
                QLayout* extra = nullptr) {
    auto* box = new QWidget(parent);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* child : children) layout->addWidget(child);
    if (extra) layout->addLayout(extra);
    return box;
}

}  // namespace

TrendsWindow::TrendsWindow(UsageHistoryStore* history, QWidget* parent,
                           std::optional<QTimeZone> zone)
    : QWidget(parent),
      history_(history),
      zone_(std::move(zone)),
      coalescer_(new StoreChangeCoalescer([this] { storeChanged(); },
                                          StoreChangeCoalescer::kDefaultInterval, this)) {
    setWindowTitle(tr("Usage Trends"));
    setMinimumSize(600, 520);
    WindowBehaviour::install(this);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("trendsScroll"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    outer->addWidget(scroll);
    auto* content = new QWidget(scroll);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(18, 14, 18, 14);
    layout->setSpacing(14);

    layout->addWidget(WindowText::label(tr("Usage Trends"), content, 1.4, true));
    auto* note = WindowText::label(
        tr("Claude history keeps 30 days. Gemini and remote API history keep 90 days."), content);
    WindowText::setColor(note, WindowText::secondary(content));
    layout->addWidget(note);

    claudeChart_ = TrendCharts::makeView(240, content);
    claudeChart_->setObjectName(QStringLiteral("claudeChart"));
    claudeSection_ = new TrendSection(tr("Claude Utilization"), claudeChart_, content);
    claudeSection_->setObjectName(QStringLiteral("claudeSection"));

    geminiChart_ = TrendCharts::makeView(220, content);
    geminiChart_->setObjectName(QStringLiteral("geminiChart"));
    geminiSection_ = new TrendSection(tr("Gemini Cost"), geminiChart_, content);
    geminiSection_->setObjectName(QStringLiteral("geminiSection"));

    apiChart_ = TrendCharts::makeView(240, content);
    apiChart_->setObjectName(QStringLiteral("apiChart"));
    auto* summary = new QHBoxLayout;
    summary->setSpacing(24);
    const std::array<QString, 4> labels{tr("Records"), tr("In"), tr("Out"), tr("Cache")};
    for (std::size_t i = 0; i < labels.size(); ++i) {
        summary_[i] = new LabelledFigure(labels[i], {}, content);
        summary_[i]->setObjectName(QStringLiteral("summary") + labels[i]);
        summary->addWidget(summary_[i]);
    }
    summary->addStretch(1);
    apiSection_ = new TrendSection(tr("API Cost"), column(content, {apiChart_}, summary), content);
    apiSection_->setObjectName(QStringLiteral("apiSection"));

    sectionsLayout_ = new QVBoxLayout;
    sectionsLayout_->setContentsMargins(0, 0, 0, 0);
    sectionsLayout_->setSpacing(14);
    layout->addLayout(sectionsLayout_);
    layout->addStretch(1);
    addSection(claudeSection_, claudeSection_, false);
    addSection(geminiSection_, geminiSection_, false);
    addSection(apiSection_, apiSection_, false);
    scroll->setWidget(content);

    if (history_) {
        connect(history_, &UsageHistoryStore::changed, coalescer_, &StoreChangeCoalescer::poke);
    }
    redraw();
}

void TrendsWindow::setLocalUsage(ledger::LocalUsageStore* store) {
    auto* section = new LocalToolsSection(store, apiSection_->parentWidget());
    section->setObjectName(QStringLiteral("localTools"));
    addSection(section, section->section(), true);
}

void TrendsWindow::addSection(QWidget* widget, TrendSection* section, bool first) {
    sections_.insert(first ? sections_.begin() : sections_.end(), {widget, section});
    sectionsLayout_->addWidget(widget);
    connect(section, &TrendSection::emptyChanged, this, &TrendsWindow::arrangeSections);
    arrangeSections();
}

void TrendsWindow::arrangeSections() {
    std::vector<QWidget*> order;
    for (const bool empty : {false, true}) {
        for (const auto& [widget, section] : sections_) {
            if (section->isEmpty() == empty) order.push_back(widget);
        }
    }
    bool inOrder = true;
    for (std::size_t i = 0; i < order.size(); ++i)
        inOrder = inOrder && sectionsLayout_->indexOf(order[i]) == int(i);
    if (inOrder) return;
    for (QWidget* widget : order) sectionsLayout_->removeWidget(widget);
    for (QWidget* widget : order) sectionsLayout_->addWidget(widget);
}

void TrendsWindow::setRemoteHosts(hosts::RemoteHostStore* store) {
    if (auto* section = findChild<LocalToolsSection*>(QStringLiteral("localTools")))
        section->setRemoteHosts(store);
}

void TrendsWindow::flushRedraw() {
    coalescer_->flush();
    if (dirty_) redraw();
}

void TrendsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (dirty_) redraw();
}

void TrendsWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::PaletteChange || !apiChart_) return;
    for (QChartView* view : {claudeChart_, geminiChart_, apiChart_})
        TrendCharts::followPalette(view->chart(), palette());
    // The rules and the total line take their colour from the palette when drawn.
    drawnOnce_ = false;
    storeChanged();
}

void TrendsWindow::storeChanged() {
    dirty_ = true;
    // A hidden window catches up when it is shown again.
    if (isVisible()) redraw();
}

void TrendsWindow::redraw() {
    dirty_ = false;
    static const UsageHistoryData kNothing;
    const auto& claude = history_ ? history_->claudeSnapshots() : kNothing.claudeSnapshots;
    const auto& gemini = history_ ? history_->geminiUsageRecords() : kNothing.geminiRecords;
    const auto& api = history_ ? history_->apiUsageRecords() : kNothing.apiRecords;
    const QTimeZone zone = zone_.value_or(QTimeZone::systemTimeZone());
    // A different zone regroups every day.
    const bool zoneChanged = !drawnOnce_ || zone.id() != shownZone_;
    shownZone_ = zone.id();
    drawnOnce_ = true;

    claudeSection_->setSubtitle(tr("%1 snapshots").arg(claude.size()));
    if (zoneChanged || claude != shownClaude_) {
        shownClaude_ = claude;
        TrendCharts::showClaude(claudeChart_->chart(), UsageTrends::claudeTrendPoints(claude));
        claudeSection_->setEmpty(claude.empty());
    }

    geminiSection_->setSubtitle(UsageTrends::totalText(UsageTrends::geminiTotalCost(gemini)));
    auto geminiDays = UsageTrends::geminiDailyCosts(gemini, zone);
    if (zoneChanged || geminiDays != shownGemini_) {
        TrendCharts::showGeminiCosts(geminiChart_->chart(), geminiDays, zone);
        geminiSection_->setEmpty(gemini.empty());
        shownGemini_ = std::move(geminiDays);
    }

    apiSection_->setSubtitle(UsageTrends::totalText(UsageTrends::apiTotalCost(api)));
    const auto metrics = UsageTrends::apiSummaryMetrics(api);
    for (std::size_t i = 0; i < summary_.size() && i < metrics.size(); ++i) {
        summary_[i]->setValue(metrics[i].value);
    }
    auto apiDays = UsageTrends::apiDailyCosts(api, zone);
    if (zoneChanged || apiDays != shownApi_) {
        TrendCharts::showApiCosts(apiChart_->chart(), apiDays,
                                  UsageTrends::apiDailyTotalCosts(api, zone), zone);
        apiSection_->setEmpty(api.empty());
        shownApi_ = std::move(apiDays);
    }
}

}  // namespace qm::gui
