#pragma once

#include <QByteArray>
#include <QString>
#include <map>
#include <utility>
#include <vector>

// Prometheus's text exposition format, version 0.0.4.
namespace qm::metrics {

inline constexpr char kExpositionContentType[] = "text/plain; version=0.0.4; charset=utf-8";

enum class MetricType { counter, gauge };

// Label name and value; kept sorted by name so one series has one spelling.
using Labels = std::vector<std::pair<QString, QString>>;

struct MetricFamily {
    MetricType type = MetricType::counter;
    QString help;
    std::map<Labels, double> samples;
};

// A set of metric families as one scrape returns them. Families come out sorted by name and
// samples by labels, each series once: a series given twice is added up (counters) or
// replaced (gauges).
class MetricsExposition {
public:
    void declare(const QString& name, MetricType type, const QString& help);
    // The family must have been declared.
    void add(const QString& name, Labels labels, double value);
    void set(const QString& name, Labels labels, double value);

    const std::map<QString, MetricFamily>& families() const { return families_; }
    std::map<QString, MetricFamily>& families() { return families_; }

    QByteArray text() const;

private:
    std::map<QString, MetricFamily> families_;
};

// Backslash, double quote and line feed escaped, as label values need.
QString escapeLabelValue(const QString& value);
// Backslash and line feed escaped, as HELP texts need.
QString escapeHelp(const QString& help);
// Whole numbers without a fraction, others with the digits that round-trip; NaN, +Inf, -Inf.
QString formatSampleValue(double value);

}  // namespace qm::metrics
