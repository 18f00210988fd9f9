#include "history/UsageTrends.h"

#include <QDateTime>
#include <map>
#include <utility>

#include "core/DisplayFormat.h"

namespace qm::UsageTrends {

std::int64_t dayStart(std::int64_t timestampMs, const QTimeZone& zone) {
    const QDate date = QDateTime::fromMSecsSinceEpoch(timestampMs, zone).date();
    return date.startOfDay(zone).toMSecsSinceEpoch();
}

QString providerDisplayName(const QString& provider) {
    const QString lower = provider.toLower();
    if (lower == QLatin1String("anthropic")) return QStringLiteral("Anthropic");
    if (lower == QLatin1String("openai")) return QStringLiteral("OpenAI");
    if (provider.isEmpty()) return QStringLiteral("Unknown");
    return provider;
}

std::vector<ClaudeTrendPoint> claudeTrendPoints(const std::vector<ClaudeUsageSnapshot>& snapshots) {
    std::vector<ClaudeTrendPoint> points;
    points.reserve(snapshots.size() * 3);
    for (const ClaudeUsageSnapshot& s : snapshots) {
        points.push_back({s, QStringLiteral("Session"), s.sessionPct});
        points.push_back({s, QStringLiteral("Week"), s.weekPct});
        points.push_back({s, s.subModelName, s.subPct});
    }
    return points;
}

namespace {

// Day starts repeat for every record of a day; converting each timestamp through the zone is
// the slow part, so a record inside the day already found reuses it.
class DayCache {
public:
    explicit DayCache(const QTimeZone& zone) : zone_(zone) {}
    std::int64_t operator()(std::int64_t timestampMs) {
        if (valid_ && timestampMs >= start_ && timestampMs < end_) return start_;
        start_ = dayStart(timestampMs, zone_);
        const QDate next = QDateTime::fromMSecsSinceEpoch(start_, zone_).date().addDays(1);
        end_ = next.startOfDay(zone_).toMSecsSinceEpoch();
        valid_ = true;
        return start_;
    }

private:
    QTimeZone zone_;
    bool valid_ = false;
    std::int64_t start_ = 0;
    std::int64_t end_ = 0;
};

template <typename Record>
std::map<std::int64_t, double> costByDay(const std::vector<Record>& records,
                                         const QTimeZone& zone) {
    DayCache day(zone);
    std::map<std::int64_t, double> totals;
    for (const Record& r : records) totals[day(r.timestampMs)] += r.costUsd;
    return totals;
}

template <typename Record>
double totalCost(const std::vector<Record>& records) {
    double sum = 0;
    for (const Record& r : records) sum += r.costUsd;
    return sum;
}

}  // namespace

std::vector<GeminiDailyCost> geminiDailyCosts(const std::vector<GeminiUsageRecord>& records,
                                              const QTimeZone& zone) {
    std::vector<GeminiDailyCost> out;
    for (const auto& [day, cost] : costByDay(records, zone)) out.push_back({day, cost});
    return out;
}

std::vector<ApiDailyCost> apiDailyCosts(const std::vector<ApiUsageRecord>& records,
                                        const QTimeZone& zone) {
    DayCache day(zone);
    std::map<std::pair<std::int64_t, QString>, double> totals;
    for (const ApiUsageRecord& r : records) {
        totals[{day(r.timestampMs), providerDisplayName(r.provider)}] += r.costUsd;
    }
    std::vector<ApiDailyCost> out;
    out.reserve(totals.size());
    for (const auto& [key, cost] : totals) out.push_back({key.first, key.second, cost});
    return out;
}

std::vector<ApiDailyTotalCost> apiDailyTotalCosts(const std::vector<ApiUsageRecord>& records,
                                                  const QTimeZone& zone) {
    std::vector<ApiDailyTotalCost> out;
    for (const auto& [day, cost] : costByDay(records, zone)) out.push_back({day, cost});
    return out;
}

double geminiTotalCost(const std::vector<GeminiUsageRecord>& records) {
    return totalCost(records);
}

double apiTotalCost(const std::vector<ApiUsageRecord>& records) {
    return totalCost(records);
}

QString totalText(double costUsd) {
    return DisplayFormat::money(costUsd, MoneyPrecision::SubCent) + QStringLiteral(" total");
}

std::vector<TrendMetric> apiSummaryMetrics(const std::vector<ApiUsageRecord>& records) {
    std::int64_t in = 0, out = 0, cache = 0;
    for (const ApiUsageRecord& r : records) {
        in += r.inputTokens;
        out += r.outputTokens;
        cache += r.cacheTokens;
    }
    return {{QStringLiteral("Records"), QString::number(records.size())},
            {QStringLiteral("In"), DisplayFormat::formattedTokens(in)},
            {QStringLiteral("Out"), DisplayFormat::formattedTokens(out)},
            {QStringLiteral("Cache"), DisplayFormat::formattedTokens(cache)}};
}

}  // namespace qm::UsageTrends
