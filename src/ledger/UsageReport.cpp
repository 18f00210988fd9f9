#include "ledger/UsageReport.h"

#include <QDateTime>
#include <QJsonArray>
#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <unordered_map>

#include "core/DisplayFormat.h"
#include "ledger/LedgerPricing.h"

namespace qm::ledger {
namespace {

// The local day an hour starts in, looked up once per hour.
class LocalDays {
public:
    explicit LocalDays(const QTimeZone& zone) : zone_(zone) {}
    QDate of(Hour hour) {
        auto [it, inserted] = days_.try_emplace(hour);
        if (inserted) it->second = QDateTime::fromMSecsSinceEpoch(startOf(hour), zone_).date();
        return it->second;
    }

private:
    QTimeZone zone_;
    std::unordered_map<Hour, QDate> days_;
};

QString periodLabel(ReportPeriod period, QDate day, const UsageSlice& slice) {
    switch (period) {
        case ReportPeriod::daily:
            return day.toString(QStringLiteral("yyyy-MM-dd"));
        case ReportPeriod::weekly: {
            int year = 0;
            const int week = day.weekNumber(&year);
            return QStringLiteral("%1-W%2")
                .arg(year, 4, 10, QLatin1Char('0'))
                .arg(week, 2, 10, QLatin1Char('0'));
        }
        case ReportPeriod::monthly:
            return day.toString(QStringLiteral("yyyy-MM"));
        case ReportPeriod::session:
            return slice.session;
    }
    return {};
}

QString groupOf(ReportGrouping grouping, const UsageSlice& slice) {
    switch (grouping) {
        case ReportGrouping::tool:
            return rawValue(slice.tool);
        case ReportGrouping::model:
            return slice.model;
        case ReportGrouping::project:
            return slice.project;
        case ReportGrouping::host:
            return QStringLiteral("local");
    }
    return {};
}

// Sums that are priced per tool, model and kind of call, then added up.
struct Accumulator {
    std::map<std::tuple<int, QString, std::uint8_t>, Counts> priced;
    std::set<std::pair<int, QString>> sessions;
    Hour firstHour = std::numeric_limits<Hour>::max();
    Hour lastHour = std::numeric_limits<Hour>::min();
    ProviderKind tool = ProviderKind::codex;
    QString project;  // of the earliest hour that names one

    void add(const UsageSlice& slice) {
        priced[{int(slice.tool), slice.model, slice.flags}] += slice.counts;
        sessions.insert({int(slice.tool), slice.session});
        if (!slice.project.isEmpty() && (slice.hour < firstHour || project.isEmpty()))
            project = slice.project;
        firstHour = std::min(firstHour, slice.hour);
        lastHour = std::max(lastHour, slice.hour);
        tool = slice.tool;
    }
    ReportRow plainRow(const QString& period, const QString& group) const {
        ReportRow row;
        row.period = period;
        row.group = group;
        row.tool = tool;
        row.figures = figures();
        return row;
    }
    // The row of a session: its figures and what session rows say beside them.
    ReportRow sessionRow(const QString& session, const QString& group) const {
        ReportRow row = plainRow(session, group);
        row.project = project;
        for (const auto& [key, counts] : priced)
            if (!std::get<1>(key).isEmpty()) row.models.push_back(std::get<1>(key));
        std::sort(row.models.begin(), row.models.end());
        row.models.erase(std::unique(row.models.begin(), row.models.end()), row.models.end());
        row.start = startOf(firstHour);
        row.end = startOf(lastHour) + 3'600'000;
        return row;
    }
    ReportFigures figures() const {
        ReportFigures f;
        std::set<QString> unpriced;
        for (const auto& [key, counts] : priced) {
            const auto& [tool, model, flags] = key;
            f.counts += counts;
            // A part without tokens or a recorded cost (prompts alone) costs nothing.
            if (!(flags & kRecordedCost) && counts.input <= 0 && counts.output <= 0) continue;
            const RowCost cost = rowCost(ProviderKind(tool), model, counts, flags);
            (cost.recorded ? f.costRecorded : f.costPriced) = true;
            if (cost.usd)
                f.costUsd += *cost.usd;
            else
                unpriced.insert(model);
        }
        f.unpricedModels.assign(unpriced.begin(), unpriced.end());
        f.estimated = std::any_of(priced.begin(), priced.end(), [](const auto& part) {
            return std::get<2>(part.first) & kEstimated;
        });
        f.sessions = std::int64_t(sessions.size());
        return f;
    }
};

bool wanted(const ReportQuery& query, ProviderKind tool) {
    return query.tools.empty() ||
           std::find(query.tools.begin(), query.tools.end(), tool) != query.tools.end();
}

}  // namespace

std::optional<ReportPeriod> reportPeriodFromRaw(const QString& raw) {
    for (ReportPeriod p : {ReportPeriod::daily, ReportPeriod::weekly, ReportPeriod::monthly,
                           ReportPeriod::session}) {
        if (rawValue(p) == raw) return p;
    }
    return std::nullopt;
}

QString rawValue(ReportPeriod period) {
    switch (period) {
        case ReportPeriod::daily:
            return QStringLiteral("daily");
        case ReportPeriod::weekly:
            return QStringLiteral("weekly");
        case ReportPeriod::monthly:
            return QStringLiteral("monthly");
        case ReportPeriod::session:
            return QStringLiteral("session");
    }
    return {};
}

QString rawValue(ReportGrouping grouping) {
    switch (grouping) {
        case ReportGrouping::tool:
            return QStringLiteral("tool");
        case ReportGrouping::model:
            return QStringLiteral("model");
        case ReportGrouping::project:
            return QStringLiteral("project");
        case ReportGrouping::host:
            return QStringLiteral("host");
    }
    return {};
}

QDate ReportQuery::defaultSince(ReportPeriod period, QDate until) {
    switch (period) {
        case ReportPeriod::daily:
            return until.addDays(-29);
        case ReportPeriod::weekly:
            return until.addDays(1 - until.dayOfWeek()).addDays(-7 * 11);
        case ReportPeriod::monthly:
            return QDate(until.year(), until.month(), 1).addMonths(-11);
        case ReportPeriod::session:
            return until.addDays(-6);
    }
    return until;
}

UsageReport buildReport(const std::vector<UsageSlice>& slices, const ReportQuery& query,
                        const QTimeZone& zone) {
    LocalDays days(zone);
    std::map<std::pair<QString, QString>, Accumulator> rows;
    Accumulator all;
    for (const UsageSlice& slice : slices) {
        if (!wanted(query, slice.tool)) continue;
        const QDate day = days.of(slice.hour);
        if (day < query.since || day > query.until) continue;
        rows[{periodLabel(query.period, day, slice), groupOf(query.grouping, slice)}].add(slice);
        all.add(slice);
    }
    UsageReport report;
    report.query = query;
    report.zone = zone;
    const bool sessions = query.period == ReportPeriod::session;
    for (const auto& [key, accumulator] : rows) {
        report.rows.push_back(sessions ? accumulator.sessionRow(key.first, key.second)
                                       : accumulator.plainRow(key.first, key.second));
    }
    if (sessions) {
        // Sessions in the order they began.
        std::map<QString, Hour> began;
        for (const auto& [key, accumulator] : rows) {
            auto [it, inserted] = began.try_emplace(key.first, accumulator.firstHour);
            if (!inserted) it->second = std::min(it->second, accumulator.firstHour);
        }
        std::stable_sort(report.rows.begin(), report.rows.end(),
                         [&](const ReportRow& a, const ReportRow& b) {
                             return began[a.period] < began[b.period];
                         });
    }
    report.totals = all.figures();
    // The total is the sum of the rows' prices, so the table adds up to the cent shown.
    report.totals.costUsd = 0;
    for (const ReportRow& row : report.rows) report.totals.costUsd += row.figures.costUsd;
    return report;
}

void mergeSessionDetails(ReportRow& row, const ReportRow& other) {
    if (row.project.isEmpty()) row.project = other.project;
    std::vector<QString> models;
    std::set_union(row.models.begin(), row.models.end(), other.models.begin(), other.models.end(),
                   std::back_inserter(models));
    row.models = std::move(models);
    if (other.start && (!row.start || *other.start < *row.start)) row.start = other.start;
    if (other.end && (!row.end || *other.end > *row.end)) row.end = other.end;
}

ReportFigures figuresBetween(const std::vector<UsageSlice>& slices, TimeMs from, TimeMs to,
                             std::optional<ProviderKind> tool) {
    Accumulator sum;
    for (const UsageSlice& slice : slices) {
        const TimeMs start = startOf(slice.hour);
        if (start < from || start >= to || (tool && slice.tool != *tool)) continue;
        sum.add(slice);
    }
    return sum.figures();
}

}  // namespace qm::ledger
