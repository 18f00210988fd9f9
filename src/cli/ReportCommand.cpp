#include <QDate>
#include <QDateTime>
#include <QJsonDocument>
#include <QTextStream>
#include <algorithm>
#include <cstdio>

#include "cli/CliCommand.h"
#include "cli/HostSelection.h"
#include "cli/IndexProgress.h"
#include "core/Clock.h"
#include "hosts/HostReport.h"
#include "hosts/RemoteHostCache.h"
#include "hosts/RemoteHostRunner.h"
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
    if (text == QLatin1String("host")) return ReportGrouping::host;
    return std::nullopt;
}

// Reads the options after the period; an error message when they do not make a report.
QString parseOptions(const QStringList& args, ReportQuery& query, Format& format, QString& hosts) {
    std::optional<QDate> since;
    std::optional<QDate> until;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool takesValue = arg == QLatin1String("--since") ||
                                arg == QLatin1String("--until") || arg == QLatin1String("--tool") ||
                                arg == QLatin1String("--by") || arg == QLatin1String("--hosts");
        if (takesValue && i + 1 >= args.size()) return missingValue(arg);
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
            const auto tool = providerKindFromUserText(value);
            if (!tool)
                return QStringLiteral("unknown tool: %1 (codex, claudeCode, gemini or grok)")
                    .arg(value);
            if (std::find(query.tools.begin(), query.tools.end(), *tool) != query.tools.end())
                continue;
            query.tools.push_back(*tool);
        } else if (arg == QLatin1String("--by")) {
            const auto grouping = groupingArgument(value);
            if (!grouping)
                return QStringLiteral("--by takes tool, model, project or host, not ") + value;
            query.grouping = *grouping;
        } else if (arg == QLatin1String("--hosts")) {
            hosts = value;
        } else {
            return QStringLiteral("unknown option for report: ") + arg;
        }
    }
    query.until = until.value_or(QDate::currentDate());
    query.since = since.value_or(ReportQuery::defaultSince(query.period, query.until));
    if (query.since > query.until) return QStringLiteral("--since is after --until");
    return {};
}

// Adds what each remote machine answers to `report`; a machine that gives no usable answer is
// named on stderr with the reason and left out. True when at least one machine answered.
bool addRemoteHosts(ledger::UsageReport& report, const QStringList& remotes) {
    const QStringList command = hosts::remoteReportCommand(report.query);
    const hosts::RemoteHostCache cache(hosts::RemoteHostCache::defaultDirectory());
    bool any = false;
    for (const hosts::HostAnswer& answer : hosts::RemoteHostRunner::runAll(remotes, command)) {
        if (!answer.output) {
            reportHostProblem(answer.reason);
            continue;
        }
        const auto parsed =
            hosts::parseRemoteReport(*answer.output, report.query.grouping, answer.host);
        if (const QString* problem = std::get_if<QString>(&parsed)) {
            reportHostProblem(answer.host + QStringLiteral(": ") + *problem);
            continue;
        }
        hosts::addHost(report, std::get<hosts::RemoteReport>(parsed), answer.host);
        cache.store(answer.host, command, *answer.output, systemNow());
        any = true;
    }
    return any;
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
    QString hostsValue = QStringLiteral("local");
    if (const QString error = parseOptions(args, query, format, hostsValue); !error.isEmpty()) {
        return usageError(error);
    }
    QString hostsError;
    const std::optional<HostSelection> selection =
        parseHostSelection(hostsValue, hostsWanted(hostsValue), hostsError);
    if (!selection) return usageError(hostsError);
    const ledger::LedgerSnapshot local =
        selection->local ? updatedLedger() : ledger::LedgerSnapshot();
    ledger::UsageReport report = ledger::buildReport(local.slices(), query);
    const bool remoteAnswered = addRemoteHosts(report, selection->remotes);
    // However long ago they were read, lines left out are said, on stderr beside the figures.
    if (const std::int64_t skipped = ledger::skippedLines(local.files, query.tools); skipped > 0)
        std::fprintf(stderr, "%s\n", qPrintable(ledger::skippedLinesText(skipped)));
    // Other machines are welcome extras; only a report with nothing to go on fails.
    if (!selection->local && !remoteAnswered) return kExitFailure;
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
        "    [--tool codex|claude|gemini|grok]...  only these tools; in any case, and as\n"
        "    claude-code, \"Claude Code\", codex-cli, gemini-cli or grok-cli too\n"
        "    [--by tool|model|project|host]  one row per tool (the default), model, project\n"
        "    or machine\n"
        "    [--hosts all|local|NAME,...]  this machine (the default) and others through ssh\n"
        "    (see hosts); one that cannot answer is named on stderr and left out\n"
        "    [--json | --csv]"),
    runReport});

}  // namespace
}  // namespace qm::cli
