#include "gui/trends/TrendCharts.h"

#include <QApplication>
#include <QBarSeries>
#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLineSeries>
#include <QStackedBarSeries>
#include <QValueAxis>
#include <algorithm>
#include <map>

namespace qm::gui::TrendCharts {

namespace {

void clear(QChart* chart) {
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
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

// A bar category axis squeezes every day's label into its bar's width ("..." beyond a few
// weeks); this axis puts bar i at x = i and names at most this many days, evenly spread.
constexpr std::size_t kNamedDays = 10;

QCategoryAxis* dayAxis(const std::vector<std::int64_t>& days, const QTimeZone& zone) {
    auto* axis = new QCategoryAxis;
    axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    axis->setGridLineVisible(false);
    axis->setRange(-0.5, double(days.size()) - 0.5);
    axis->setStartValue(-0.5);
    const std::size_t step = (days.size() + kNamedDays - 1) / kNamedDays;
    for (std::size_t i = 0; i < days.size(); i += step) {
        axis->append(dayLabel(days[i], zone), double(i));
    }
    return axis;
}

}  // namespace

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
    chart->setMargins(QMargins(4, 4, 4, 4));
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
    auto* categories = dayAxis(starts, zone);
    auto* cost = costAxis(maximum);
    chart->addAxis(categories, Qt::AlignBottom);
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
    auto* categories = dayAxis(starts, zone);
    auto* cost = costAxis(maximum);
    chart->addAxis(categories, Qt::AlignBottom);
    chart->addAxis(cost, Qt::AlignLeft);
    for (QAbstractSeries* series : chart->series()) {
        series->attachAxis(categories);
        series->attachAxis(cost);
    }
    chart->legend()->setVisible(true);
}

}  // namespace qm::gui::TrendCharts
