#pragma once

#include <QString>
#include <vector>

#include "alerts/LimitForecast.h"
#include "alerts/LimitReadings.h"
#include "core/ClaudeLimitReadings.h"
#include "core/HistoryRecords.h"

// The Claude limits from both places that read them: the claude.ai usage page the application
// reads (its snapshots in the usage history) and Claude Code, which hands every status line the
// plan's figures (the readings file). Each window shows its freshest reading, whichever source
// it came from; both sources feed one series per window for the projections, so a reset either
// of them saw is a reset (hasReset / currentWindow decide from the reading shown).
namespace qm {

// How old a reading may be for the commands to show it as what the limit stands at.
inline constexpr TimeMs kClaudeReadingFreshMs = 30 * 60'000;

// The readings of one window from both sources, ascending by time: the history's claude.ai
// snapshots (ascending) and the readings file's (ascending, any source).
std::vector<LimitSample> claudeWindowSamples(ClaudeLimitWindow window,
                                             const std::vector<ClaudeUsageSnapshot>& history,
                                             const std::vector<ClaudeLimitReading>& readings);

// The five-hour and weekly limits from the freshest of the claude.ai reading in `site` (what
// claudeLimitReadings gives for the last snapshot; empty without one) and the newest reading of
// the window in `readings` read at `readSince` or later; then the per-model limits of `site`,
// which only claude.ai reports. Each carries its source and a projection from both series as of
// `now`. A freshest reading without a reset time takes the reset another reading of the window
// saw after it, so a window known to have ended is not shown as still running. A window no
// source has read is left out.
std::vector<LimitReading> mergedClaudeLimits(const std::vector<LimitReading>& site,
                                             const std::vector<ClaudeUsageSnapshot>& history,
                                             const std::vector<ClaudeLimitReading>& readings,
                                             TimeMs now, TimeMs readSince = 0);

// Where and when `reading` was read: "from Claude Code, 2 min ago" ("just now" within the
// minute), "from claude.ai, 14:02" (local time; the date too on another day). Empty without a
// source.
QString limitSourceText(const LimitReading& reading, TimeMs now);

}  // namespace qm
