#pragma once

#include <QDate>
#include <QJsonObject>
#include <QString>
#include <QTimeZone>
#include <optional>
#include <vector>

#include "ledger/LedgerRecords.h"

namespace qm::ledger {

enum class ReportPeriod { daily, weekly, monthly, session };
// `host`: one row per machine; a report of this machine alone has the one host "local".
enum class ReportGrouping { tool, model, project, host };

std::optional<ReportPeriod> reportPeriodFromRaw(const QString& raw);
QString rawValue(ReportPeriod period);
// The grouping's field name in rows: "tool", "model", "project" or "host".
QString rawValue(ReportGrouping grouping);

// What a report covers: whole local days from `since` to `until`, both included.
struct ReportQuery {
    ReportPeriod period = ReportPeriod::daily;
    QDate since;
    QDate until;
    std::vector<ProviderKind> tools;  // empty: every tool
    ReportGrouping grouping = ReportGrouping::tool;

    // The range when none is given: 30 days, 12 ISO weeks, 12 months or 7 days up to `until`.
    static QDate defaultSince(ReportPeriod period, QDate until);
};

struct ReportFigures {
    Counts counts;
    // What the agents recorded where they record it (kRecordedCost rows), else the price
    // list's estimate; leaves out the unpriced models.
    double costUsd = 0;
    std::int64_t sessions = 0;
    std::vector<QString> unpricedModels;  // used tokens but have no price; sorted
    // Some of the figures are estimates, not usage the tool logged (see kEstimated).
    bool estimated = false;
    // Where the cost comes from: some of it recorded by the agents, some of it (or of the
    // tokens, unpriced) priced from the price list. Figures added together keep both.
    bool costRecorded = false;
    bool costPriced = false;
    // Every part of the cost is what the agents recorded ("agent" rather than "estimate").
    bool costAllRecorded() const { return costRecorded && !costPriced; }
    bool operator==(const ReportFigures&) const = default;
};

struct ReportRow {
    QString period;  // "2026-12-01", "2026-W49", "2026-12", or a session id
    QString group;   // the tool's raw name, the model or the project
    ProviderKind tool = ProviderKind::codex;  // with the tool grouping
    ReportFigures figures;
    QString host = QStringLiteral("local");  // the machine whose logs these are
    // Session rows only: the session's project, the models it used (sorted), and its first
    // and last hour of use within the report's days, from the start of the one to the end of
    // the other (the index keeps hours). A row from another machine's older version has none.
    QString project;
    std::vector<QString> models;
    std::optional<TimeMs> start;
    std::optional<TimeMs> end;
    bool operator==(const ReportRow&) const = default;
};

struct UsageReport {
    ReportQuery query;
    std::vector<ReportRow> rows;  // by period, then group
    ReportFigures totals;
    // Rows of other machines were added: the table and CSV name each row's host.
    bool severalHosts = false;
    QTimeZone zone = QTimeZone::systemTimeZone();  // of the days, and of the times the table shows
};

// Groups the slices by local period in `zone` (a call belongs to the local day of its hour)
// and prices them.
UsageReport buildReport(const std::vector<UsageSlice>& slices, const ReportQuery& query,
                        const QTimeZone& zone = QTimeZone::systemTimeZone());

// Adds what `other` says of its session to `row` (a row of the same session): the earlier
// start, the later end, every model; the project when `row` has none.
void mergeSessionDetails(ReportRow& row, const ReportRow& other);

// The figures of every slice whose hour starts in [from, to).
ReportFigures figuresBetween(const std::vector<UsageSlice>& slices, TimeMs from, TimeMs to,
                             std::optional<ProviderKind> tool = std::nullopt);

// The JSON form carries names as they are (JSON escapes what needs it); the CSV and the table
// show them through DisplayFormat::printable, since they go to a terminal as often as to a
// file.
QJsonObject reportJson(const UsageReport& report);
QString reportCsv(const UsageReport& report);
// An aligned table with a totals row: tokens as the app shows them, costs in dollars.
QString reportTable(const UsageReport& report);

// "1 line skipped" or "12 lines skipped", with the reason: what the commands say of the log
// lines whose figures break the rule for figures from outside (FileEntry::skippedLines).
QString skippedLinesText(std::int64_t skipped);

}  // namespace qm::ledger
