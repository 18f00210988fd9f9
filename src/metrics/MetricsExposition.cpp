#include "metrics/MetricsExposition.h"

#include <QLocale>
#include <algorithm>
#include <cmath>

namespace qm::metrics {
namespace {

Labels sorted(Labels labels) {
    std::ranges::sort(labels);
    return labels;
}

QString seriesText(const QString& name, const Labels& labels, double value) {
    QString line = name;
    if (!labels.empty()) {
        line += QLatin1Char('{');
        for (std::size_t i = 0; i < labels.size(); ++i) {
            if (i > 0) line += QLatin1Char(',');
            line += labels[i].first + QStringLiteral("=\"") + escapeLabelValue(labels[i].second) +
                    QLatin1Char('"');
        }
        line += QLatin1Char('}');
    }
    return line + QLatin1Char(' ') + formatSampleValue(value) + QLatin1Char('\n');
}

}  // namespace

void MetricsExposition::declare(const QString& name, MetricType type, const QString& help) {
    MetricFamily& family = families_[name];
    family.type = type;
    family.help = help;
}

void MetricsExposition::add(const QString& name, Labels labels, double value) {
    families_.at(name).samples[sorted(std::move(labels))] += value;
}

void MetricsExposition::set(const QString& name, Labels labels, double value) {
    families_.at(name).samples[sorted(std::move(labels))] = value;
}

QByteArray MetricsExposition::text() const {
    QString text;
    for (const auto& [name, family] : families_) {
        text += QStringLiteral("# HELP ") + name + QLatin1Char(' ') + escapeHelp(family.help) +
                QLatin1Char('\n');
        text += QStringLiteral("# TYPE ") + name + QLatin1Char(' ') +
                (family.type == MetricType::counter ? QStringLiteral("counter")
                                                    : QStringLiteral("gauge")) +
                QLatin1Char('\n');
        for (const auto& [labels, value] : family.samples) text += seriesText(name, labels, value);
    }
    return text.toUtf8();
}

QString escapeLabelValue(const QString& value) {
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\')) {
            escaped += QStringLiteral("\\\\");
        } else if (c == QLatin1Char('"')) {
            escaped += QStringLiteral("\\\"");
        } else if (c == QLatin1Char('\n')) {
            escaped += QStringLiteral("\\n");
        } else {
            escaped += c;
        }
    }
    return escaped;
}

QString escapeHelp(const QString& help) {
    QString escaped = help;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    escaped.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return escaped;
}

QString formatSampleValue(double value) {
    if (std::isnan(value)) return QStringLiteral("NaN");
    if (std::isinf(value)) return value > 0 ? QStringLiteral("+Inf") : QStringLiteral("-Inf");
    if (value == std::trunc(value) && std::abs(value) < 1e15)
        return QString::number(static_cast<long long>(value));
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

}  // namespace qm::metrics
