#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

#include "core/UsageModels.h"

namespace qm {

// One usage window of the Claude subscription as the site reports it. The utilisation is a
// percentage kept exactly as received; reset times stay the site's text.
struct UsageCategory {
    double utilization = 0;
    std::optional<QString> resetsAt;  // "resets_at"
    std::optional<QString> resetAt;   // "reset_at"
    bool operator==(const UsageCategory&) const = default;
};

// The daily routine-execution allowance; the site has spelled its fields several ways.
struct RoutineUsage {
    std::optional<double> utilization;
    std::optional<std::int64_t> used;
    std::optional<std::int64_t> count;
    std::optional<std::int64_t> executions;
    std::optional<std::int64_t> limit;
    std::optional<std::int64_t> max;
    std::optional<std::int64_t> dailyLimit;  // "daily_limit"
    std::optional<QString> resetsAt;
    std::optional<QString> resetAt;
    bool operator==(const RoutineUsage&) const = default;
};

// Paid usage beyond the plan.
struct ExtraUsage {
    bool isEnabled = false;              // "is_enabled"
    std::optional<double> monthlyLimit;  // "monthly_limit"
    std::optional<double> usedCredits;   // "used_credits"
    std::optional<double> utilization;
    bool operator==(const ExtraUsage&) const = default;
};

// The usage answer of the Claude site. Every key spelling the site has used is a field of its
// own; LatestClaudeUsage decides which one wins.
struct UsageApiResponse {
    std::optional<UsageCategory> fiveHour;                 // "five_hour"
    std::optional<UsageCategory> fiveHourAlt;              // "fiveHour"
    std::optional<UsageCategory> session;                  // "session"
    std::optional<UsageCategory> currentSession;           // "current_session"
    std::optional<UsageCategory> sevenDay;                 // "seven_day"
    std::optional<UsageCategory> sevenDayAlt;              // "sevenDay"
    std::optional<UsageCategory> weekly;                   // "weekly"
    std::optional<UsageCategory> sevenDayAll;              // "seven_day_all"
    std::optional<UsageCategory> sevenDayAllModels;        // "seven_day_all_models"
    std::optional<UsageCategory> sevenDaySonnet;           // "seven_day_sonnet"
    std::optional<UsageCategory> sevenDaySonnetAlt;        // "sevenDaySonnet"
    std::optional<UsageCategory> sevenDayOpus;             // "seven_day_opus"
    std::optional<UsageCategory> sevenDayOpusAlt;          // "sevenDayOpus"
    std::optional<UsageCategory> sevenDayClaudeDesign;     // "seven_day_claude_design"
    std::optional<UsageCategory> sevenDayClaudeDesignAlt;  // "sevenDayClaudeDesign"
    std::optional<UsageCategory> sevenDayDesign;           // "seven_day_design"
    std::optional<UsageCategory> claudeDesign;             // "claude_design"
    std::optional<UsageCategory> design;                   // "design"
    std::optional<RoutineUsage> dailyRoutines;             // "daily_routines"
    std::optional<RoutineUsage> dailyRoutinesAlt;          // "dailyRoutines"
    std::optional<RoutineUsage> routines;                  // "routines"
    std::optional<RoutineUsage> routineExecutions;         // "routine_executions"
    std::optional<RoutineUsage> dailyRoutineExecutions;    // "daily_routine_executions"
    std::optional<ExtraUsage> extraUsage;                  // "extra_usage"
    std::optional<ExtraUsage> extraUsageAlt;               // "extraUsage"

    // Strict decoding of UTF-8 JSON text: absent keys and nulls give no value, a present key of
    // the wrong JSON type (or a top level that is not an object) fails the whole answer.
    static std::optional<UsageApiResponse> decode(const QByteArray& json);

    bool operator==(const UsageApiResponse&) const = default;
};

// The flat snapshot of the limits that the card, the dashboard and the history use.
struct LatestClaudeUsage {
    double sessionPct = 0;
    std::optional<QString> sessionResetAt;
    double weekPct = 0;
    std::optional<QString> weekResetAt;
    double subPct = 0;
    std::optional<QString> subResetAt;
    QString subModelName = QStringLiteral("Opus");
    bool hasDesign = false;
    double designPct = 0;
    std::optional<QString> designResetAt;
    bool hasRoutine = false;
    std::int64_t routineUsed = 0;
    std::int64_t routineLimit = 0;
    std::optional<QString> routineResetAt;
    std::optional<ExtraUsage> extra;

    // `now` only decides whether the per-model reset has already passed. Never fails.
    static LatestClaudeUsage fromResponse(const UsageApiResponse& response, TimeMs now);

    bool operator==(const LatestClaudeUsage&) const = default;
};

// Connection state published with the snapshot.
enum class ClaudeUsageStatusKind { idle, loading, connected, needsLogin, error };

// Reset time stamps of the site: internet date-time with or without a fraction of a second,
// offset "Z" or with a colon (seconds in the offset allowed). Epoch numbers are not accepted.
namespace ClaudeUsageDateParser {
std::optional<TimeMs> date(const QString& text);
}

}  // namespace qm
