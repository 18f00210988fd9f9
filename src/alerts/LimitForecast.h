#pragma once

#include <optional>
#include <vector>

#include "core/UsageModels.h"

namespace qm {

// One reading of a limit: how much of it was used at a moment, in percent.
struct LimitSample {
    TimeMs at = 0;
    double percent = 0;
    bool operator==(const LimitSample&) const = default;
};

// When a limit will be full at the pace its recent readings show. Pure functions of the
// readings and of `now`, so views, alerts and commands agree and tests can pin the clock.
namespace LimitForecast {

// The pace looks back this far; a window younger than this uses all of its readings.
inline constexpr TimeMs kPaceSpanMs = 60 * 60 * 1000;

// Percent per hour: the slope of a least-squares line through the readings taken from
// `windowStart` (or kPaceSpanMs before `now`, whichever is later) up to `now`. Nothing with
// fewer than two readings at different times there.
std::optional<double> pacePerHour(const std::vector<LimitSample>& samples, TimeMs windowStart,
                                  TimeMs now);

// When the newest reading of the current window, carried on at that pace, reaches 100%.
// The window ends at `resetsAt` and lasts `windowMs` (0 when unknown: then only the span
// bounds the readings). Nothing without a reset time, with a pace at or below zero, when the
// limit is already full, or when the projection falls after the reset or before `now` (the
// readings stopped: nothing was used since).
std::optional<TimeMs> projectedFullAt(const std::vector<LimitSample>& samples,
                                      std::optional<TimeMs> resetsAt, TimeMs windowMs, TimeMs now);

}  // namespace LimitForecast
}  // namespace qm
