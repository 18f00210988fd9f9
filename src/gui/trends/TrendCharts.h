#pragma once

#include <QTimeZone>
#include <vector>

#include "history/UsageTrends.h"

class QChart;
class QChartView;
class QWidget;

// Fills the trends window's charts from the derived series. Each call replaces what the chart
// showed before.
namespace qm::gui::TrendCharts {

QChartView* makeView(int height, QWidget* parent);

// "MM/dd" of a day start in `zone`.
QString dayLabel(std::int64_t dayStartMs, const QTimeZone& zone);

// One line per metric (in order of first appearance), 0 to 100, and the "Full" rule at 100.
void showClaude(QChart* chart, const std::vector<UsageTrends::ClaudeTrendPoint>& points);
// One bar per day.
void showGeminiCosts(QChart* chart, const std::vector<UsageTrends::GeminiDailyCost>& days,
                     const QTimeZone& zone);
// Bars stacked by provider (one set per provider, in name order) and the "Daily Total" line.
void showApiCosts(QChart* chart, const std::vector<UsageTrends::ApiDailyCost>& costs,
                  const std::vector<UsageTrends::ApiDailyTotalCost>& totals, const QTimeZone& zone);

}  // namespace qm::gui::TrendCharts
