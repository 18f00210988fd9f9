#pragma once

#include <QString>
#include <QTimeZone>
#include <cstdint>
#include <vector>

#include "core/HistoryRecords.h"

// The series the trends view draws, derived from the stored history. Days are local calendar
// days of `zone`, so tests can pin the zone and views pass the system's.
namespace qm::UsageTrends {

struct ClaudeTrendPoint {
    ClaudeUsageSnapshot snapshot;
    QString metric;  // "Session", "Week" or the snapshot's model name
    double value = 0;
    bool operator==(const ClaudeTrendPoint&) const = default;
};

struct GeminiDailyCost {
    std::int64_t day = 0;  // ms at the start of the local day
    double costUsd = 0;
    bool operator==(const GeminiDailyCost&) const = default;
};

struct ApiDailyCost {
    std::int64_t day = 0;
    QString provider;  // display name
    double costUsd = 0;
    bool operator==(const ApiDailyCost&) const = default;
};

struct ApiDailyTotalCost {
    std::int64_t day = 0;
    double costUsd = 0;
    bool operator==(const ApiDailyTotalCost&) const = default;
};

struct TrendMetric {
    QString label;
    QString value;
    bool operator==(const TrendMetric&) const = default;
};

// Start of the calendar day of `zone` that holds `timestampMs`.
std::int64_t dayStart(std::int64_t timestampMs, const QTimeZone& zone);

// "Anthropic", "OpenAI", the stored value, or "Unknown" when empty.
QString providerDisplayName(const QString& provider);

std::vector<ClaudeTrendPoint> claudeTrendPoints(const std::vector<ClaudeUsageSnapshot>& snapshots);
std::vector<GeminiDailyCost> geminiDailyCosts(const std::vector<GeminiUsageRecord>& records,
                                              const QTimeZone& zone);
// Oldest day first; within a day by display name.
std::vector<ApiDailyCost> apiDailyCosts(const std::vector<ApiUsageRecord>& records,
                                        const QTimeZone& zone);
std::vector<ApiDailyTotalCost> apiDailyTotalCosts(const std::vector<ApiUsageRecord>& records,
                                                  const QTimeZone& zone);

double geminiTotalCost(const std::vector<GeminiUsageRecord>& records);
double apiTotalCost(const std::vector<ApiUsageRecord>& records);
// "$1.2001 total"
QString totalText(double costUsd);
// "Records", "In", "Out", "Cache", in that order.
std::vector<TrendMetric> apiSummaryMetrics(const std::vector<ApiUsageRecord>& records);

}  // namespace qm::UsageTrends
