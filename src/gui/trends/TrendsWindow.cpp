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
      m_history(history),
      m_zone(std::move(zone)),
      m_coalescer(new StoreChangeCoalescer([this] { storeChanged(); },
                                           StoreChangeCoalescer::kDefaultInterval, this)) {
    setWindowTitle(tr("Usage Trends"));
    setMinimumSize(760, 520);
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

    m_claudeChart = TrendCharts::makeView(240, content);
    m_claudeChart->setObjectName(QStringLiteral("claudeChart"));
    m_claudeSection = new TrendSection(tr("Claude Utilization"), m_claudeChart, content);
    m_claudeSection->setObjectName(QStringLiteral("claudeSection"));

    m_geminiChart = TrendCharts::makeView(220, content);
    m_geminiChart->setObjectName(QStringLiteral("geminiChart"));
    m_geminiSection = new TrendSection(tr("Gemini Cost"), m_geminiChart, content);
    m_geminiSection->setObjectName(QStringLiteral("geminiSection"));

    m_apiChart = TrendCharts::makeView(240, content);
    m_apiChart->setObjectName(QStringLiteral("apiChart"));
    auto* summary = new QHBoxLayout;
    summary->setSpacing(24);
    const std::array<QString, 4> labels{tr("Records"), tr("In"), tr("Out"), tr("Cache")};
    for (std::size_t i = 0; i < labels.size(); ++i) {
        m_summary[i] = new LabelledFigure(labels[i], {}, content);
        m_summary[i]->setObjectName(QStringLiteral("summary") + labels[i]);
        summary->addWidget(m_summary[i]);
    }
    summary->addStretch(1);
    m_apiSection =
        new TrendSection(tr("API Cost"), column(content, {m_apiChart}, summary), content);
    m_apiSection->setObjectName(QStringLiteral("apiSection"));

    layout->addWidget(m_claudeSection);
    layout->addWidget(m_geminiSection);
    layout->addWidget(m_apiSection);
    layout->addStretch(1);
    scroll->setWidget(content);

    if (m_history) {
        connect(m_history, &UsageHistoryStore::changed, m_coalescer, &StoreChangeCoalescer::poke);
    }
    redraw();
}

void TrendsWindow::setLocalUsage(ledger::LocalUsageStore* store) {
    auto* layout = qobject_cast<QVBoxLayout*>(m_apiSection->parentWidget()->layout());
    auto* section = new LocalToolsSection(store, m_apiSection->parentWidget());
    section->setObjectName(QStringLiteral("localTools"));
    layout->insertWidget(layout->indexOf(m_apiSection) + 1, section);
}

void TrendsWindow::setRemoteHosts(hosts::RemoteHostStore* store) {
    if (auto* section = findChild<LocalToolsSection*>(QStringLiteral("localTools")))
        section->setRemoteHosts(store);
}

void TrendsWindow::flushRedraw() {
    m_coalescer->flush();
    if (m_dirty) redraw();
}

void TrendsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_dirty) redraw();
}

void TrendsWindow::storeChanged() {
    m_dirty = true;
    // A hidden window catches up when it is shown again.
    if (isVisible()) redraw();
}

void TrendsWindow::redraw() {
    m_dirty = false;
    static const UsageHistoryData kNothing;
    const auto& claude = m_history ? m_history->claudeSnapshots() : kNothing.claudeSnapshots;
    const auto& gemini = m_history ? m_history->geminiUsageRecords() : kNothing.geminiRecords;
    const auto& api = m_history ? m_history->apiUsageRecords() : kNothing.apiRecords;
    const QTimeZone zone = m_zone.value_or(QTimeZone::systemTimeZone());
    // A different zone regroups every day.
    const bool zoneChanged = !m_drawnOnce || zone.id() != m_shownZone;
    m_shownZone = zone.id();
    m_drawnOnce = true;

    m_claudeSection->setSubtitle(tr("%1 snapshots").arg(claude.size()));
    if (zoneChanged || claude != m_shownClaude) {
        m_shownClaude = claude;
        TrendCharts::showClaude(m_claudeChart->chart(), UsageTrends::claudeTrendPoints(claude));
        m_claudeSection->setEmpty(claude.empty());
    }

    m_geminiSection->setSubtitle(UsageTrends::totalText(UsageTrends::geminiTotalCost(gemini)));
    auto geminiDays = UsageTrends::geminiDailyCosts(gemini, zone);
    if (zoneChanged || geminiDays != m_shownGemini) {
        TrendCharts::showGeminiCosts(m_geminiChart->chart(), geminiDays, zone);
        m_geminiSection->setEmpty(gemini.empty());
        m_shownGemini = std::move(geminiDays);
    }

    m_apiSection->setSubtitle(UsageTrends::totalText(UsageTrends::apiTotalCost(api)));
    const auto metrics = UsageTrends::apiSummaryMetrics(api);
    for (std::size_t i = 0; i < m_summary.size() && i < metrics.size(); ++i) {
        m_summary[i]->setValue(metrics[i].value);
    }
    auto apiDays = UsageTrends::apiDailyCosts(api, zone);
    if (zoneChanged || apiDays != m_shownApi) {
        TrendCharts::showApiCosts(m_apiChart->chart(), apiDays,
                                  UsageTrends::apiDailyTotalCosts(api, zone), zone);
        m_apiSection->setEmpty(api.empty());
        m_shownApi = std::move(apiDays);
    }
}

}  // namespace qm::gui
