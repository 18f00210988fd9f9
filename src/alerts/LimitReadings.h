#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "core/ClaudeUsageModel.h"
#include "core/HistoryRecords.h"
#include "core/LimitSource.h"
#include "core/UsageModels.h"

namespace qm {

// One usage limit as the alerts, the windows and the commands see it: how much of it is used,
// when its window starts afresh, when it was read and, when the recent readings show a pace
// that fills it before then, when it will be full. `key` names the limit in the alert memory
// as "<tool>.<window>" ("claude.fiveHour", "codex.weekly", "claude.weeklyOpus").
struct LimitReading {
    QString key;
    QString label;  // "Claude five-hour limit"
    double percent = 0;
    std::optional<TimeMs> resetsAt;
    TimeMs readAt = 0;
    std::optional<TimeMs> projectedFullAt;
    // Set by currentWindow() when the window reset at this time after the reading: the reading
    // then describes the new window, with nothing used and no reset time or projection known.
    std::optional<TimeMs> freshSince = std::nullopt;
    // Where the figure was read (claude.ai, Claude Code, the Codex logs); none when unknown.
    std::optional<LimitSource> source = std::nullopt;
    bool operator==(const LimitReading&) const = default;

    QString tool() const { return key.section(QLatin1Char('.'), 0, 0); }
    QString window() const { return key.section(QLatin1Char('.'), 1); }
};

inline constexpr TimeMs kFiveHourWindowMs = 5LL * 3'600'000;
inline constexpr TimeMs kWeekWindowMs = 7LL * 24 * 3'600'000;

// The five-hour, weekly and per-model weekly limits of the Claude subscription, read at
// `readAt`. Reset texts that do not parse give a reading without a reset time. The
// projections come from the history's snapshots (ascending by time) as of `now`.
std::vector<LimitReading> claudeLimitReadings(const LatestClaudeUsage& usage, TimeMs readAt = 0,
                                              const std::vector<ClaudeUsageSnapshot>& history = {},
                                              TimeMs now = 0);
// The same two windows of the Codex plan, as its logs last reported them; the projections
// come from every report of the scanned logs (`readings`, ascending by time) as of `now`.
std::vector<LimitReading> codexLimitReadings(const CodexPlanLimits& limits,
                                             const std::vector<CodexPlanLimits>& readings = {},
                                             TimeMs now = 0);

// Whether the window `reading` describes has reset by `now`: its reset time has come (or
// currentWindow() already found so). The one rule by which every view, command, alert and the
// exporter tell a figure that still holds from one that belongs to a window gone by.
bool hasReset(const LimitReading& reading, TimeMs now);

// `reading` as it stands at `now`: as read before its reset; after it, the new window: 0% used,
// no reset time or projection, `freshSince` the time it reset. What every view shows.
LimitReading currentWindow(const LimitReading& reading, TimeMs now);
std::vector<LimitReading> currentWindows(const std::vector<LimitReading>& readings, TimeMs now);

// The Claude usage as it stands at `now`: each limit (five-hour, weekly, per-model, design,
// routines) whose reset time has come shows nothing used.
LatestClaudeUsage currentClaudeUsage(LatestClaudeUsage usage, TimeMs now);

// "14:20" on the day of `now`, "12/09 14:20" on another day; local time.
QString limitTimeText(TimeMs at, TimeMs now);
// "reset at 23:51": how the commands and tool tips tell a window that started afresh.
QString resetPassedText(TimeMs resetAt, TimeMs now);

// The level of the tray dot and the status-bar class for these limits: the highest
// percentage of a window that has not yet reset, 90 and above bad, 75 and above warn, else
// good; none without such a window.
std::optional<UsageStatusLevel> limitsLevel(const std::vector<LimitReading>& readings, TimeMs now);

// "Codex limits: 5-hour 43% (resets 15:00), weekly 12% (resets 12/10 09:00)", with " read
// HH:MM" when the report is older than ten minutes; empty without readings. Local time. A
// window past its reset reads "5-hour 0% (reset at 23:51)".
QString codexLimitsLine(const std::vector<LimitReading>& readings, TimeMs now);

// A reading this old is marked with the time it was taken.
inline constexpr TimeMs kStaleReadingMs = 10 * 60 * 1000;

}  // namespace qm
