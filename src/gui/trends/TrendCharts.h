#pragma once

#include <QStringList>
#include <QTimeZone>
#include <vector>

#include "history/UsageTrends.h"

class QCategoryAxis;
class QChart;
class QChartView;
class QPalette;
class QValueAxis;
class QWidget;

// Fills the trends window's charts from the derived series. Each call replaces what the chart
// showed before.
namespace qm::gui::TrendCharts {

QChartView* makeView(int height, QWidget* parent);
// The chart's theme, background and texts from `palette` (light or dark). The theme recolours
// every series, so a chart whose series have their own colours is drawn again after this.
void followPalette(QChart* chart, const QPalette& palette);

// Takes every series and axis off the chart, and deletes them.
void clear(QChart* chart);

// "MM/dd" of a day start in `zone`.
QString dayLabel(std::int64_t dayStartMs, const QTimeZone& zone);

// The horizontal axis of a chart of one bar per day: bar i at x = i, `days[i]` its label. It
// names as many days as the plot's width has room for, counted back from the last one at an
// even step (every day, every 2nd or 3rd, every week, ...), never a label cut to "...", and
// thins again whenever the plot is resized. The chart's right margin makes room for the last
// label.
QCategoryAxis* dayAxis(QChart* chart, const QStringList& days);
// A dollar axis from 0 to a round number above `maximum`.
QValueAxis* costAxis(double maximum);

// One line per metric (in order of first appearance), 0 to 100, and the "Full" rule at 100.
void showClaude(QChart* chart, const std::vector<UsageTrends::ClaudeTrendPoint>& points);
// One bar per day.
void showGeminiCosts(QChart* chart, const std::vector<UsageTrends::GeminiDailyCost>& days,
                     const QTimeZone& zone);
// Bars stacked by provider (one set per provider, in name order) and the "Daily Total" line.
void showApiCosts(QChart* chart, const std::vector<UsageTrends::ApiDailyCost>& costs,
                  const std::vector<UsageTrends::ApiDailyTotalCost>& totals, const QTimeZone& zone);

}  // namespace qm::gui::TrendCharts
