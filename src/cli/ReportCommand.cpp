#include <QDate>
#include <QJsonDocument>
#include <QTextStream>

#include "cli/CliCommand.h"
#include "cli/IndexProgress.h"
#include "ledger/UsageReport.h"

namespace qm::cli {
namespace {

using ledger::ReportGrouping;
using ledger::ReportPeriod;
using ledger::ReportQuery;

enum class Format { table, json, csv };

std::optional<QDate> dateArgument(const QString& text) {
    const QDate date = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
    if (!date.isValid()) return std::nullopt;
    return date;
}

std::optional<ReportGrouping> groupingArgument(const QString& text) {
    if (text == QLatin1String("tool")) return ReportGrouping::tool;
    if (text == QLatin1String("model")) return ReportGrouping::model;
    if (text == QLatin1String("project")) return ReportGrouping::project;
    return std::nullopt;
}

// Reads the options after the period; an error message when they do not make a report.
QString parseOptions(const QStringList& args, ReportQuery& query, Format& format) {
    std::optional<QDate> since;
    std::optional<QDate> until;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool takesValue = arg == QLatin1String("--since") ||
                                arg == QLatin1String("--until") || arg == QLatin1String("--tool") ||
                                arg == QLatin1String("--by");
        if (takesValue && i + 1 >= args.size()) return arg + QStringLiteral(" needs a value");
        const QString value = takesValue ? args[++i] : QString();
        if (arg == QLatin1String("--json")) {
            format = Format::json;
        } else if (arg == QLatin1String("--csv")) {
            format = Format::csv;
        } else if (arg == QLatin1String("--since") || arg == QLatin1String("--until")) {
            const auto date = dateArgument(value);
            if (!date) return arg + QStringLiteral(" takes a date as YYYY-MM-DD, not ") + value;
            (arg == QLatin1String("--since") ? since : until) = date;
        } else if (arg == QLatin1String("--tool")) {
            const auto tool = providerKindFromRaw(value);
            if (!tool)
                return QStringLiteral("unknown tool: %1 (codex, claudeCode, gemini or grok)")
                    .arg(value);
            query.tools.push_back(*tool);
        } else if (arg == QLatin1String("--by")) {
            const auto grouping = groupingArgument(value);
            if (!grouping) return QStringLiteral("--by takes tool, model or project, not ") + value;
            query.grouping = *grouping;
        } else {
            return QStringLiteral("unknown option for report: ") + arg;
        }
    }
    query.until = until.value_or(QDate::currentDate());
    query.since = since.value_or(ReportQuery::defaultSince(query.period, query.until));
    if (query.since > query.until) return QStringLiteral("--since is after --until");
    return {};
}

int runReport(const QStringList& args) {
    if (args.isEmpty())
        return usageError(
            QStringLiteral("report needs a period: daily, weekly, monthly or session"));
    ReportQuery query;
    const auto period = ledger::reportPeriodFromRaw(args.first());
    if (!period) return usageError(QStringLiteral("unknown report period: ") + args.first());
    query.period = *period;
    Format format = Format::table;
    if (const QString error = parseOptions(args, query, format); !error.isEmpty()) {
        return usageError(error);
    }
    const ledger::LedgerSnapshot snapshot = updatedLedger();
    const ledger::UsageReport report = ledger::buildReport(snapshot.slices(), query);
    QTextStream out(stdout);
    switch (format) {
        case Format::json:
            out << QJsonDocument(ledger::reportJson(report)).toJson();
            break;
        case Format::csv:
            out << ledger::reportCsv(report);
            break;
        case Format::table:
            out << ledger::reportTable(report);
            break;
    }
    return kExitOk;
}

const CliCommandRegistration reportCommand(CliCommand{
    QStringLiteral("report"),
    QStringLiteral(
        "report daily|weekly|monthly|session   local tool usage and cost per day, ISO week,\n"
        "    month or session, from an index of the logs that reads only what is new\n"
        "    [--since YYYY-MM-DD] [--until YYYY-MM-DD]  local days, both included; by default\n"
        "    the last 30 days, 12 weeks, 12 months or 7 days\n"
        "    [--tool codex|claudeCode|gemini|grok]...  only these tools\n"
        "    [--by tool|model|project]  one row per tool (the default), model or project\n"
        "    [--json | --csv]"),
    runReport});

}  // namespace
}  // namespace qm::cli
