#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QStringList>
#include <algorithm>

#include "core/DisplayFormat.h"
#include "core/Iso8601.h"
#include "core/Pricing.h"
#include "ledger/UsageReport.h"

namespace qm::ledger {
namespace {

// Costs to the hundredth of a cent: what the prices can tell apart, without float noise.
double roundedCost(double usd) {
    return std::round(usd * 10000) / 10000;
}

// "agent" when all of the cost is what the agents recorded, "estimate" otherwise (a price-list
// estimate, a part without a price, or no cost at all).
QString costSource(const ReportFigures& f) {
    return f.costAllRecorded() ? QStringLiteral("agent") : QStringLiteral("estimate");
}

// No cost is known: every model with tokens lacks a price. The table and the CSV show none
// rather than a $0 that would read as free.
bool costUnknown(const ReportFigures& f) {
    return !f.unpricedModels.empty() && !f.costRecorded && f.costUsd == 0;
}

QJsonObject figuresJson(const ReportFigures& f) {
    QJsonObject object{{QStringLiteral("inputTokens"), qint64(f.counts.input)},
                       {QStringLiteral("cachedInputTokens"), qint64(f.counts.cachedInput)},
                       {QStringLiteral("cacheWriteTokens"), qint64(f.counts.cacheWrite)},
                       {QStringLiteral("outputTokens"), qint64(f.counts.output)},
                       {QStringLiteral("reasoningTokens"), qint64(f.counts.reasoning)},
                       {QStringLiteral("costUsd"), roundedCost(f.costUsd)},
                       {QStringLiteral("costSource"), costSource(f)},
                       {QStringLiteral("prompts"), qint64(f.counts.prompts)},
                       {QStringLiteral("sessions"), qint64(f.sessions)}};
    if (f.estimated) object.insert(QStringLiteral("estimated"), true);
    return object;
}

QJsonValue isoOrNull(std::optional<TimeMs> at) {
    return at ? QJsonValue(Iso8601::formatMs(*at)) : QJsonValue(QJsonValue::Null);
}

// A session row's project, models, and first and last hour of use (null from a machine whose
// version does not say).
void addSessionDetails(QJsonObject& object, const ReportRow& row) {
    object.insert(QStringLiteral("project"), row.project);
    object.insert(QStringLiteral("start"), isoOrNull(row.start));
    object.insert(QStringLiteral("end"), isoOrNull(row.end));
    object.insert(QStringLiteral("models"),
                  QJsonArray::fromStringList(QStringList(row.models.begin(), row.models.end())));
}

// What marks an estimated cost in the table.
constexpr QChar kEstimateMark = QLatin1Char('~');

QString groupText(const UsageReport& report, const ReportRow& row) {
    return report.query.grouping == ReportGrouping::tool ? providerName(row.tool) : row.group;
}

// Periods of sessions, models, projects and hosts are names the logs or other machines chose.
QStringList tableCells(const QString& period, const QString& group, const ReportFigures& f) {
    using DisplayFormat::formattedCount;
    using DisplayFormat::formattedTokens;
    using DisplayFormat::printable;
    return {printable(period),
            printable(group),
            formattedTokens(f.counts.input),
            formattedTokens(f.counts.cachedInput),
            formattedTokens(f.counts.cacheWrite),
            formattedTokens(f.counts.output),
            formattedTokens(f.counts.reasoning),
            formattedCount(f.counts.prompts),
            formattedCount(f.sessions),
            (costUnknown(f) ? QStringLiteral("-") : DisplayFormat::money(f.costUsd)) +
                (f.estimated ? QString(kEstimateMark) : QString())};
}

// When a session began, to the hour, in the report's zone; a row from a machine whose version
// does not say is "-".
QString startText(const UsageReport& report, const ReportRow& row) {
    if (!row.start) return QStringLiteral("-");
    return QDateTime::fromMSecsSinceEpoch(*row.start, report.zone)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

// A column of its own for the machine when rows come from several and are not grouped by it.
bool hostColumn(const UsageReport& report) {
    return report.severalHosts && report.query.grouping != ReportGrouping::host;
}

QString csvField(const QString& raw) {
    const QString text = DisplayFormat::printable(raw);
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n'))) {
        return text;
    }
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

QJsonObject reportJson(const UsageReport& report) {
    QJsonArray rows;
    const QString key = rawValue(report.query.grouping);
    for (const ReportRow& row : report.rows) {
        QJsonObject object = figuresJson(row.figures);
        object.insert(QStringLiteral("period"), row.period);
        object.insert(key, row.group);
        object.insert(QStringLiteral("host"), row.host);
        // The models whose cost the row's costUsd leaves out, when there are any.
        if (!row.figures.unpricedModels.empty()) {
            const auto& unpriced = row.figures.unpricedModels;
            object.insert(QStringLiteral("unpricedModels"), QJsonArray::fromStringList(QStringList(
                                                                unpriced.begin(), unpriced.end())));
        }
        if (report.query.period == ReportPeriod::session) addSessionDetails(object, row);
        rows.append(object);
    }
    return {{QStringLiteral("period"), rawValue(report.query.period)},
            {QStringLiteral("since"), report.query.since.toString(Qt::ISODate)},
            {QStringLiteral("until"), report.query.until.toString(Qt::ISODate)},
            {QStringLiteral("rows"), rows},
            {QStringLiteral("totals"), figuresJson(report.totals)},
            {QStringLiteral("unpricedModels"),
             QJsonArray::fromStringList(QStringList(report.totals.unpricedModels.begin(),
                                                    report.totals.unpricedModels.end()))}};
}

QString reportCsv(const UsageReport& report) {
    QString out = QStringLiteral("period,") + rawValue(report.query.grouping) +
                  QStringLiteral(
                      ",inputTokens,cachedInputTokens,cacheWriteTokens,outputTokens,"
                      "reasoningTokens,costUsd,prompts,sessions") +
                  (hostColumn(report) ? QStringLiteral(",host") : QString()) +
                  QStringLiteral(",costSource\n");
    for (const ReportRow& row : report.rows) {
        const Counts& c = row.figures.counts;
        out += QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8,%9,%10")
                   .arg(csvField(row.period), csvField(row.group))
                   .arg(c.input)
                   .arg(c.cachedInput)
                   .arg(c.cacheWrite)
                   .arg(c.output)
                   .arg(c.reasoning)
                   .arg(costUnknown(row.figures)
                            ? QString()
                            : QString::number(roundedCost(row.figures.costUsd), 'f', 4))
                   .arg(c.prompts)
                   .arg(row.figures.sessions);
        out += (hostColumn(report) ? QLatin1Char(',') + csvField(row.host) : QString()) +
               QLatin1Char(',') + costSource(row.figures) + QLatin1Char('\n');
    }
    return out;
}

QString reportTable(const UsageReport& report) {
    const QString period = report.query.period == ReportPeriod::session  ? QStringLiteral("Session")
                           : report.query.period == ReportPeriod::weekly ? QStringLiteral("Week")
                           : report.query.period == ReportPeriod::monthly ? QStringLiteral("Month")
                                                                          : QStringLiteral("Day");
    QString group = rawValue(report.query.grouping);
    group[0] = group[0].toUpper();
    std::vector<QStringList> lines{
        {period, group, QStringLiteral("Input"), QStringLiteral("Cached"),
         QStringLiteral("Cache write"), QStringLiteral("Output"), QStringLiteral("Reasoning"),
         QStringLiteral("Prompts"), QStringLiteral("Sessions"), QStringLiteral("Cost")}};
    const bool hosts = hostColumn(report);
    const bool sessions = report.query.period == ReportPeriod::session;
    // Name columns go in after the period: a session's project and start, then the machine
    // after the group.
    const auto insertNames = [&](QStringList& line, const QStringList& session,
                                 const QString& host) {
        if (hosts) line.insert(2, host);
        if (sessions) {
            line.insert(1, session.at(0));
            line.insert(2, session.at(1));
        }
    };
    insertNames(lines.front(), {QStringLiteral("Project"), QStringLiteral("Start")},
                QStringLiteral("Host"));
    for (const ReportRow& row : report.rows) {
        lines.push_back(tableCells(row.period, groupText(report, row), row.figures));
        insertNames(lines.back(), {DisplayFormat::printable(row.project), startText(report, row)},
                    DisplayFormat::printable(row.host));
    }
    lines.push_back(tableCells(QStringLiteral("Total"), QString(), report.totals));
    insertNames(lines.back(), {QString(), QString()}, QString());
    const qsizetype names = 2 + (hosts ? 1 : 0) + (sessions ? 2 : 0);
    std::vector<qsizetype> widths(lines.front().size(), 0);
    for (const QStringList& line : lines) {
        for (qsizetype i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
    }
    QString out;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        if (n + 1 == lines.size()) {
            qsizetype all = 0;
            for (qsizetype w : widths) all += w + 2;
            out += QString(all - 2, QLatin1Char('-')) + QLatin1Char('\n');
        }
        QString text;
        for (qsizetype i = 0; i < lines[n].size(); ++i) {
            // Names to the left, figures to the right.
            const QString& cell = lines[n][i];
            text += i < names ? cell.leftJustified(widths[i]) : cell.rightJustified(widths[i]);
            if (i + 1 < lines[n].size()) text += QStringLiteral("  ");
        }
        while (text.endsWith(QLatin1Char(' '))) text.chop(1);
        // The total's cost leaves the unpriced models out: say so beside it.
        const auto& unpriced = report.totals.unpricedModels;
        if (n + 1 == lines.size() && !unpriced.empty()) {
            QStringList names;
            for (const QString& model : unpriced) names.append(DisplayFormat::printable(model));
            text += QStringLiteral("  (") + UsagePricing::unpricedText(qsizetype(unpriced.size())) +
                    QStringLiteral(": ") + names.join(QStringLiteral(", ")) + QLatin1Char(')');
        }
        out += text + QLatin1Char('\n');
    }
    if (report.totals.estimated) {
        out += kEstimateMark +
               QCoreApplication::translate(
                   "UsageReport",
                   " estimated: sessions that logged no usage, priced from their "
                   "context") +
               QLatin1Char('\n');
    }
    return out;
}

QString skippedLinesText(std::int64_t skipped) {
    return skipped == 1
               ? QCoreApplication::translate(
                     "UsageReport", "1 line skipped: its token counts or cost are out of range")
               : QCoreApplication::translate(
                     "UsageReport",
                     "%1 lines skipped: their token counts or costs are out of range")
                     .arg(skipped);
}

}  // namespace qm::ledger
