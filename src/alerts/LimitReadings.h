#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "core/ClaudeUsageModel.h"
#include "core/UsageModels.h"

namespace qm {

// One usage limit as the alerts see it: how much of it is used and when its window starts
// afresh. `key` names the limit in the alert memory ("claude.fiveHour").
struct LimitReading {
    QString key;
    QString label;  // "Claude five-hour limit"
    double percent = 0;
    std::optional<TimeMs> resetsAt;
    bool operator==(const LimitReading&) const = default;
};

// The five-hour and weekly limits of the Claude subscription. Reset texts that do not parse
// give a reading without a reset time.
std::vector<LimitReading> claudeLimitReadings(const LatestClaudeUsage& usage);
// The same two windows of the Codex plan, as its logs last reported them.
std::vector<LimitReading> codexLimitReadings(const CodexPlanLimits& limits);

}  // namespace qm
