#include "alerts/LimitReadings.h"

#include "core/Iso8601.h"

namespace qm {

namespace {

std::optional<TimeMs> resetTime(const std::optional<QString>& text) {
    if (!text) return std::nullopt;
    return Iso8601::parse(text->trimmed());
}

}  // namespace

std::vector<LimitReading> claudeLimitReadings(const LatestClaudeUsage& usage) {
    return {
        {QStringLiteral("claude.fiveHour"), QStringLiteral("Claude five-hour limit"),
         usage.sessionPct, resetTime(usage.sessionResetAt)},
        {QStringLiteral("claude.weekly"), QStringLiteral("Claude weekly limit"), usage.weekPct,
         resetTime(usage.weekResetAt)},
    };
}

std::vector<LimitReading> codexLimitReadings(const CodexPlanLimits& limits) {
    std::vector<LimitReading> readings;
    if (limits.fiveHour) {
        readings.push_back({QStringLiteral("codex.fiveHour"),
                            QStringLiteral("Codex five-hour limit"), limits.fiveHour->usedPercent,
                            limits.fiveHour->resetsAt});
    }
    if (limits.weekly) {
        readings.push_back({QStringLiteral("codex.weekly"), QStringLiteral("Codex weekly limit"),
                            limits.weekly->usedPercent, limits.weekly->resetsAt});
    }
    return readings;
}

}  // namespace qm
