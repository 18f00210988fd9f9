#include "hosts/HostReport.h"

#include <algorithm>
#include <map>
#include <set>

namespace qm::hosts {

using ledger::ReportGrouping;
using ledger::ReportRow;

QStringList remoteReportCommand(const ledger::ReportQuery& query) {
    QStringList command{QStringLiteral("report"),          ledger::rawValue(query.period),
                        QStringLiteral("--json"),          QStringLiteral("--since"),
                        query.since.toString(Qt::ISODate), QStringLiteral("--until"),
                        query.until.toString(Qt::ISODate)};
    for (ProviderKind tool : query.tools) command << QStringLiteral("--tool") << rawValue(tool);
    QString by = QStringLiteral("tool");
    if (query.grouping == ReportGrouping::model) by = QStringLiteral("model");
    if (query.grouping == ReportGrouping::project) by = QStringLiteral("project");
    return command << QStringLiteral("--by") << by;
}

void addFigures(ledger::ReportFigures& a, const ledger::ReportFigures& b) {
    a.counts += b.counts;
    a.costUsd += b.costUsd;
    a.sessions += b.sessions;
    a.estimated = a.estimated || b.estimated;
    a.costRecorded = a.costRecorded || b.costRecorded;
    a.costPriced = a.costPriced || b.costPriced;
    std::set<QString> unpriced(a.unpricedModels.begin(), a.unpricedModels.end());
    unpriced.insert(b.unpricedModels.begin(), b.unpricedModels.end());
    a.unpricedModels.assign(unpriced.begin(), unpriced.end());
}

ledger::ReportFigures figuresOf(const RemoteReport& report, std::optional<ProviderKind> tool,
                                QDate since, QDate until) {
    const QString first = since.toString(Qt::ISODate);
    const QString last = until.toString(Qt::ISODate);
    ledger::ReportFigures sum;
    for (const ReportRow& row : report.rows) {
        // Daily periods are ISO dates, which sort as text.
        if (row.period < first || row.period > last || (tool && row.tool != *tool)) continue;
        addFigures(sum, row.figures);
    }
    return sum;
}

void addHost(ledger::UsageReport& report, const RemoteReport& remote, const QString& host) {
    report.severalHosts = true;
    if (report.query.grouping == ReportGrouping::host) {
        std::map<QString, ReportRow> perPeriod;
        std::vector<QString> order;
        for (const ReportRow& row : remote.rows) {
            auto [it, inserted] = perPeriod.try_emplace(row.period);
            if (inserted) {
                it->second.period = row.period;
                it->second.group = host;
                it->second.tool = row.tool;
                it->second.host = host;
                order.push_back(row.period);
            }
            addFigures(it->second.figures, row.figures);
            ledger::mergeSessionDetails(it->second, row);
        }
        for (const QString& period : order) report.rows.push_back(perPeriod[period]);
    } else {
        for (ReportRow row : remote.rows) {
            row.host = host;
            report.rows.push_back(std::move(row));
        }
    }
    addFigures(report.totals, remote.totals);
    // A session id belongs to one machine: those keep the order each machine gave them.
    if (report.query.period != ledger::ReportPeriod::session) {
        std::stable_sort(report.rows.begin(), report.rows.end(),
                         [](const ReportRow& a, const ReportRow& b) {
                             return std::tie(a.period, a.group) < std::tie(b.period, b.group);
                         });
    }
}

}  // namespace qm::hosts
