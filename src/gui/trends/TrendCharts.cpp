#include "gui/trends/TrendCharts.h"

#include <QApplication>
#include <QBarSeries>
#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFontMetricsF>
#include <QLineSeries>
#include <QStackedBarSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <map>

namespace qm::gui::TrendCharts {

namespace {

// Qt Charts gives each label of a category axis the axis' width over (labels + 1), less this
// padding on either side, and cuts a longer one to "...".
constexpr double kQtLabelPadding = 4;
// Between two named days.
constexpr double kLabelGap = 12;
constexpr int kChartMargin = 4;

double widestLabel(const QFont& font, const QStringList& days) {
    const QFontMetricsF metrics(font);
    double widest = 0;
    for (const QString& day : days) widest = std::max(widest, metrics.boundingRect(day).width());
    // Qt measures a label as a text item, whose document margin adds a few pixels.
    return std::ceil(widest) + 4;
}

// Every `step`th day back from the last, leaving out a first one that would reach past the
// plot's left edge (`slot` wide days, labels `label` wide; no slot: nothing is left out).
std::vector<int> everyStepFromLast(int count, int step, double slot, double label) {
    std::vector<int> named;
    for (int i = count - 1; i >= 0; i -= step) {
        if (slot > 0 && (i + 0.5) * slot < label / 2) break;
        named.push_back(i);
    }
    std::reverse(named.begin(), named.end());
    return named;
}

// The days named on a plot `width` wide: the shortest step that keeps the labels apart and
// whole. Steps past three days are whole weeks, so the named days share a weekday.
std::vector<int> namedDays(int count, double width, double label) {
    if (count <= 0) return {};
    if (width <= 0) return everyStepFromLast(count, (count + 9) / 10, 0, label);  // not laid out
    const double slot = width / count;
    std::vector<int> steps{1, 2, 3};
    for (int week = 7; week < count + 7; week += 7) steps.push_back(week);
    for (int step : steps) {
        if (step * slot < label + kLabelGap) continue;
        std::vector<int> named = everyStepFromLast(count, step, slot, label);
        if (width / double(named.size() + 1) - 2 * kQtLabelPadding >= label) return named;
    }
    return {};
}

void nameDays(QCategoryAxis* axis, const QStringList& days, double width, double label) {
    const std::vector<int> named = namedDays(int(days.size()), width, label);
    QStringList names;
    for (int i : named) names << days[i];
    if (names == axis->categoriesLabels()) return;
    for (const QString& name : axis->categoriesLabels()) axis->remove(name);
    for (int i : named) axis->append(days[i], double(i));
}

QStringList dayLabels(const std::vector<std::int64_t>& days, const QTimeZone& zone) {
    QStringList labels;
    for (std::int64_t day : days) labels << dayLabel(day, zone);
    return labels;
}

}  // namespace

void clear(QChart* chart) {
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
}

QCategoryAxis* dayAxis(QChart* chart, const QStringList& days) {
    auto* axis = new QCategoryAxis;
    axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    axis->setGridLineVisible(false);
    axis->setRange(-0.5, double(days.size()) - 0.5);
    axis->setStartValue(-0.5);
    chart->addAxis(axis, Qt::AlignBottom);  // takes the theme's label font
    const double label = widestLabel(axis->labelsFont(), days);
    // The last day's label is centred under its bar, half of it past the plot.
    QMargins margins = chart->margins();
    margins.setRight(std::max(kChartMargin, int(std::ceil(label / 2)) + 2));
    chart->setMargins(margins);
    nameDays(axis, days, chart->plotArea().width(), label);
    // Queued: the names change the axis, which must not happen inside the chart's layout.
    QObject::connect(
        chart, &QChart::plotAreaChanged, axis,
        [axis, days, label](const QRectF& area) { nameDays(axis, days, area.width(), label); },
        Qt::QueuedConnection);
    return axis;
}

QValueAxis* costAxis(double maximum) {
    auto* axis = new QValueAxis;
    axis->setTitleText(QObject::tr("Cost"));
    axis->setRange(0, maximum > 0 ? maximum * 1.1 : 1.0);
    axis->applyNiceNumbers();
    // Cents are too coarse for a day of a few relayed calls.
    const double top = axis->max();
    axis->setLabelFormat(top < 0.05  ? QStringLiteral("$%.4f")
                         : top < 1.0 ? QStringLiteral("$%.3f")
                                     : QStringLiteral("$%.2f"));
    return axis;
}

void followPalette(QChart* chart, const QPalette& palette) {
    // The theme colours the axes, grid, legend and series added later; the background is the
    // window's own, so a chart never shows as a light box on a dark window or the reverse.
    const QColor window = palette.color(QPalette::Window);
    chart->setTheme(window.lightnessF() < 0.5 ? QChart::ChartThemeDark : QChart::ChartThemeLight);
    chart->setBackgroundBrush(window);
    chart->setBackgroundPen(QPen(palette.color(QPalette::Mid), 0.5));
    chart->legend()->setLabelColor(palette.color(QPalette::WindowText));
    chart->setTitleBrush(palette.color(QPalette::WindowText));
}

QChartView* makeView(int height, QWidget* parent) {
    auto* chart = new QChart;
    chart->setMargins(QMargins(kChartMargin, kChartMargin, kChartMargin, kChartMargin));
    followPalette(chart, parent ? parent->palette() : QApplication::palette());
    chart->setBackgroundRoundness(4);
    chart->legend()->setAlignment(Qt::AlignBottom);
    auto* view = new QChartView(chart, parent);
    view->setRenderHint(QPainter::Antialiasing);
    view->setFixedHeight(height);
    // The window's width decides; a chart never forces a horizontal scroll bar.
    view->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    return view;
}

QString dayLabel(std::int64_t dayStartMs, const QTimeZone& zone) {
    return QDateTime::fromMSecsSinceEpoch(dayStartMs, zone).toString(QStringLiteral("MM/dd"));
}

void showClaude(QChart* chart, const std::vector<UsageTrends::ClaudeTrendPoint>& points) {
    clear(chart);
    if (points.empty()) return;
    std::vector<QString> order;
    std::map<QString, QList<QPointF>> lines;
    std::int64_t first = points.front().snapshot.timestampMs;
    std::int64_t last = first;
    for (const auto& point : points) {
        auto [it, isNew] = lines.try_emplace(point.metric);
        if (isNew) order.push_back(point.metric);
        it->second.append(QPointF(double(point.snapshot.timestampMs), point.value));
        first = std::min(first, point.snapshot.timestampMs);
        last = std::max(last, point.snapshot.timestampMs);
    }
    // A single moment still gets a readable span around it.
    if (last - first < 3'600'000) {
        first -= 1'800'000;
        last += 1'800'000;
    }

    auto* time = new QDateTimeAxis;
    time->setTitleText(QObject::tr("Time"));
    time->setFormat(last - first > 2 * 86'400'000 ? QStringLiteral("MM/dd")
                                                  : QStringLiteral("MM/dd HH:mm"));
    time->setTickCount(6);
    time->setRange(QDateTime::fromMSecsSinceEpoch(first), QDateTime::fromMSecsSinceEpoch(last));
    auto* utilization = new QValueAxis;
    utilization->setTitleText(QObject::tr("Utilization"));
    utilization->setRange(0, 100);
    utilization->setLabelFormat(QStringLiteral("%d%%"));
    chart->addAxis(time, Qt::AlignBottom);
    chart->addAxis(utilization, Qt::AlignLeft);

    for (const QString& metric : order) {
        auto* series = new QLineSeries;
        series->setName(metric);
        series->replace(lines[metric]);
        // A metric seen once or twice would be invisible as a line alone.
        series->setPointsVisible(lines[metric].size() < 30);
        chart->addSeries(series);
        series->attachAxis(time);
        series->attachAxis(utilization);
    }
    auto* full = new QLineSeries;
    full->setName(QObject::tr("Full"));
    full->append(double(first), 100);
    full->append(double(last), 100);
    QColor rule = chart->titleBrush().color();
    rule.setAlphaF(0.35);
    QPen pen(rule, 1.5, Qt::DashLine);
    full->setPen(pen);
    chart->addSeries(full);
    full->attachAxis(time);
    full->attachAxis(utilization);
    chart->legend()->setVisible(true);
}

void showGeminiCosts(QChart* chart, const std::vector<UsageTrends::GeminiDailyCost>& days,
                     const QTimeZone& zone) {
    clear(chart);
    if (days.empty()) return;
    auto* set = new QBarSet(QObject::tr("Cost"));
    std::vector<std::int64_t> starts;
    double maximum = 0;
    for (const auto& day : days) {
        set->append(day.costUsd);
        starts.push_back(day.day);
        maximum = std::max(maximum, day.costUsd);
    }
    auto* series = new QBarSeries;
    series->append(set);
    chart->addSeries(series);
    auto* categories = dayAxis(chart, dayLabels(starts, zone));
    auto* cost = costAxis(maximum);
    chart->addAxis(cost, Qt::AlignLeft);
    series->attachAxis(categories);
    series->attachAxis(cost);
    chart->legend()->setVisible(false);
}

void showApiCosts(QChart* chart, const std::vector<UsageTrends::ApiDailyCost>& costs,
                  const std::vector<UsageTrends::ApiDailyTotalCost>& totals,
                  const QTimeZone& zone) {
    clear(chart);
    if (totals.empty()) return;
    std::vector<std::int64_t> starts;
    std::map<std::int64_t, int> column;
    for (const auto& total : totals) {
        column[total.day] = int(starts.size());
        starts.push_back(total.day);
    }
    // One set per provider, named in ascending order so a day's stack matches the series order.
    std::map<QString, QList<qreal>> byProvider;
    for (const auto& cost : costs) {
        QList<qreal>& values = byProvider[cost.provider];
        if (values.isEmpty()) values.resize(qsizetype(starts.size()), 0.0);
        values[column.at(cost.day)] += cost.costUsd;
    }
    auto* stacks = new QStackedBarSeries;
    for (const auto& [provider, values] : byProvider) {
        auto* set = new QBarSet(provider);
        set->append(values);
        stacks->append(set);
    }
    auto* line = new QLineSeries;
    line->setName(QObject::tr("Daily Total"));
    double maximum = 0;
    for (const auto& total : totals) {
        line->append(column.at(total.day), total.costUsd);
        maximum = std::max(maximum, total.costUsd);
    }
    line->setPointsVisible(true);
    // Darker than any stack colour, so the total reads apart from the bars.
    line->setPen(QPen(chart->titleBrush().color(), 2));
    chart->addSeries(stacks);
    chart->addSeries(line);
    auto* categories = dayAxis(chart, dayLabels(starts, zone));
    auto* cost = costAxis(maximum);
    chart->addAxis(cost, Qt::AlignLeft);
    for (QAbstractSeries* series : chart->series()) {
        series->attachAxis(categories);
        series->attachAxis(cost);
    }
    chart->legend()->setVisible(true);
}

}  // namespace qm::gui::TrendCharts
