#pragma once

#include <QString>
#include <QStringList>

#include "hosts/RemoteAnswer.h"
#include "ledger/UsageReport.h"

// One report over several machines: this machine's report with other machines' rows added.
namespace qm::hosts {

// The command that asks another machine for its part of `query`: the same period and days,
// the same tools; grouped by tool when the rows are to be grouped by host.
QStringList remoteReportCommand(const ledger::ReportQuery& query);

// Adds a machine's rows and totals to `report` (built with `report.query`). With the host
// grouping the machine's rows become one row per period named after it. Rows stay in period
// order (sessions: this machine's first), then by group; totals add up.
void addHost(ledger::UsageReport& report, const RemoteReport& remote, const QString& host);

// The sum of a machine's daily rows of the days [since, until], of one tool or of all.
ledger::ReportFigures figuresOf(const RemoteReport& report, std::optional<ProviderKind> tool,
                                QDate since, QDate until);

// Adds `b` to `a`: counts, costs and sessions (machines never share a session), the union of
// the unpriced models, and what either says of its estimates and its costs' source.
void addFigures(ledger::ReportFigures& a, const ledger::ReportFigures& b);

}  // namespace qm::hosts
