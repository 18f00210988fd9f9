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

// "codex, grok, gemini, claudeCode, openCode or qwenCode": what --tool takes, as the output
// names each tool.
QString toolChoices() {
    QStringList tools = toolValues();
    const QString last = tools.takeLast();
    return tools.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

// Reads the options; an error message when they do not make a report.
QString reportOptions(const CliArguments& args, ReportQuery& query, Format& format) {
    if (args.isSet(QStringLiteral("--json"))) format = Format::json;
    if (args.isSet(QStringLiteral("--csv"))) format = Format::csv;
    std::optional<QDate> since;
    std::optional<QDate> until;
    for (const QString& option : {QStringLiteral("--since"), QStringLiteral("--until")}) {
        if (!args.isSet(option)) continue;
        const QString value = args.value(option);
        const auto date = dateArgument(value);
        if (!date) return option + QStringLiteral(" takes a date as YYYY-MM-DD, not ") + value;
        (option == QLatin1String("--since") ? since : until) = date;
    }
    for (const QString& value : args.values(QStringLiteral("--tool"))) {
        const auto tool = providerKindFromUserText(value);
        if (!tool) return QStringLiteral("unknown tool: %1 (%2)").arg(value, toolChoices());
        if (std::find(query.tools.begin(), query.tools.end(), *tool) == query.tools.end())
            query.tools.push_back(*tool);
    }
    if (args.isSet(QStringLiteral("--by"))) {
        const QString value = args.value(QStringLiteral("--by"));
        const auto grouping = groupingArgument(value);
        if (!grouping)
            return QStringLiteral("--by takes tool, model, project or host, not ") + value;
        query.grouping = *grouping;
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

int runReport(const CliArguments& args) {
    if (args.positional().isEmpty())
        return usageError(
            QStringLiteral("report needs a period: daily, weekly, monthly or session"));
    ReportQuery query;
    const auto period = ledger::reportPeriodFromRaw(args.positional().first());
    if (!period)
        return usageError(QStringLiteral("unknown report period: ") + args.positional().first());
    query.period = *period;
    Format format = Format::table;
    if (const QString error = reportOptions(args, query, format); !error.isEmpty())
        return usageError(error);
    const QString hostsValue = args.value(QStringLiteral("--hosts"), QStringLiteral("local"));
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
    .name = QStringLiteral("report"),
    .forms = {{
        .summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                     "local tool usage and cost per day, ISO week, month or "
                                     "session"),
        .arguments = {{.name = periodValues().join(u'|'), .values = periodValues()}},
        .options =
            {
                {.name = QStringLiteral("--since"),
                 .valueName = QStringLiteral("YYYY-MM-DD"),
                 .description = QT_TRANSLATE_NOOP(
                     "quotameter-cli",
                     "the first local day; by default the last 30 days, 12 weeks, 12 months or "
                     "7 days")},
                {.name = QStringLiteral("--until"),
                 .valueName = QStringLiteral("YYYY-MM-DD"),
                 .description = QT_TRANSLATE_NOOP("quotameter-cli",
                                                  "the last local day, included; today unless "
                                                  "told")},
                {.name = QStringLiteral("--tool"),
                 .valueName = QStringLiteral("TOOL"),
                 .description = QT_TRANSLATE_NOOP(
                     "quotameter-cli",
                     "only this tool, given once per tool: codex, grok, gemini, claudeCode, "
                     "openCode or qwenCode, in any case, or as claude, claude-code, codex-cli, "
                     "gemini-cli, grok-cli, open-code, qwen, qwen-code"),
                 .values = toolValues(),
                 .repeatable = true},
                {.name = QStringLiteral("--by"),
                 .valueName = QStringLiteral("tool|model|project|host"),
                 .description = QT_TRANSLATE_NOOP(
                     "quotameter-cli", "one row per tool (the default), model, project or machine"),
                 .values = {QStringLiteral("tool"), QStringLiteral("model"),
                            QStringLiteral("project"), QStringLiteral("host")},
                 .onlyValues = true},
                hostsOption(),
                {.name = QStringLiteral("--json"),
                 .description = QT_TRANSLATE_NOOP("quotameter-cli", "one JSON document")},
                {.name = QStringLiteral("--csv"),
                 .description = QT_TRANSLATE_NOOP("quotameter-cli",
                                                  "comma-separated values with a header line")},
            },
    }},
    .description = QT_TRANSLATE_NOOP(
        "quotameter-cli",
        "The figures come from an index of every log kept in ~/.cache/Quotameter, which "
        "reads only what the tools wrote since the last report; the first build says how far "
        "it got on standard error. Costs are computed when reported, at the prices in "
        "effect, except those the agent recorded itself (OpenCode); costSource in the JSON and "
        "CSV says which: agent or estimate. A model without a price has no cost rather than "
        "$0."),
    .examples = {{QStringLiteral("report daily"), ""},
                 {QStringLiteral("report weekly --by model --since 2026-01-05"),
                  QT_TRANSLATE_NOOP("quotameter-cli", "one row per model and ISO week")},
                 {QStringLiteral("report monthly --tool codex --tool claude-code --csv"), ""}},
    .run = runReport,
});

}  // namespace
}  // namespace qm::cli
