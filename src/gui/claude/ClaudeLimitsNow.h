#pragma once

#include <functional>
#include <vector>

#include "alerts/LimitReadings.h"

class QObject;

namespace qm {
class ClaudeLimitReadingStore;
class ClaudeUsageStore;
class UsageHistoryStore;
}  // namespace qm

namespace qm::gui {

// Where the windows find the Claude limits: the Claude store (the site's last fetch), the
// readings Claude Code hands every status line, and the history (both series' pace). Any may
// be absent. Plain pointers to stores that outlive whoever holds this.
struct ClaudeLimitSources {
    ClaudeUsageStore* claude = nullptr;
    ClaudeLimitReadingStore* readings = nullptr;
    UsageHistoryStore* history = nullptr;
};

// The Claude limits as every window shows them: the five-hour and weekly windows from the
// freshest reading of either source, the per-model windows from the site only, each with its
// source and its pace (see mergedClaudeLimits). Empty when no source has read any.
std::vector<LimitReading> claudeLimitsNow(const ClaudeLimitSources& sources, TimeMs now);

// Whether Claude Code read the five-hour window in the last ten minutes: then the site would
// add only the per-model limits, not worth starting a browser for on every period.
bool claudeCodeHoldsFiveHours(const ClaudeLimitReadingStore& readings, TimeMs now);
inline constexpr TimeMs kClaudeCodeHoldsMs = 10 * 60'000;

// Calls `changed` (on `receiver`, for as long as it lives) whenever Claude Code's readings or
// the history change: what claudeLimitsNow gives may then differ. The Claude store's own
// changes are the caller's to follow.
void whenClaudeLimitSourcesChange(const ClaudeLimitSources& sources, QObject* receiver,
                                  const std::function<void()>& changed);

// The five-hour window of `limits`, if read.
std::optional<LimitReading> fiveHourOf(const std::vector<LimitReading>& limits);

}  // namespace qm::gui
