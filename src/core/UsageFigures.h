#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace qm {

// The bounds every usage figure must keep, wherever it enters the program (an upstream
// answer, the history file and its journal, a log): past them a figure is a fault or a
// forgery, never usage, and would swamp every sum it joined. Each check returns nothing for
// an acceptable figure, otherwise why not, in words a log line or a window can show.
namespace UsageFigures {

inline constexpr std::int64_t kMaxTokensPerCall = 10'000'000'000;  // 10^10
inline constexpr double kMaxCostPerCallUsd = 10'000;
// The Claude site reports a session just past its limit as a little over 100.
inline constexpr double kMaxPercent = 101;
inline constexpr std::int64_t kMaxFutureMs = 86'400'000;  // one day: clocks differ, not by more

std::optional<QString> checkTokens(std::int64_t tokens, std::int64_t limit = kMaxTokensPerCall);
std::optional<QString> checkCost(double costUsd, double limitUsd = kMaxCostPerCallUsd);
std::optional<QString> checkPercent(double percent);
// A time more than a day after `nowMs` has not happened yet.
std::optional<QString> checkTimestamp(std::int64_t timestampMs, std::int64_t nowMs);

}  // namespace UsageFigures
}  // namespace qm
