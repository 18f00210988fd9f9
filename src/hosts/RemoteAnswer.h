#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <variant>
#include <vector>

#include "ledger/UsageReport.h"

// What another machine's quotameter-cli answered, checked like any other input: a figure that
// is negative, fractional where it counts, not finite or beyond any real use refuses the whole
// answer, so one hostile or broken machine cannot spoil the sums.
namespace qm::hosts {

// The rows and totals of `report … --json`. The rows' host is the machine's name.
struct RemoteReport {
    std::vector<ledger::ReportRow> rows;
    ledger::ReportFigures totals;
    bool operator==(const RemoteReport&) const = default;
};

// The answer to `report <period> --json --by <grouping>`, or why it is not one ("not JSON",
// "row 3: outputTokens is not a count").
std::variant<RemoteReport, QString> parseRemoteReport(const QByteArray& json,
                                                      ledger::ReportGrouping grouping,
                                                      const QString& host);

// The answer to `usage --json`: its "providers" objects, each given "host": `host`.
std::variant<std::vector<QJsonObject>, QString> parseRemoteUsage(const QByteArray& json,
                                                                 const QString& host);

}  // namespace qm::hosts
