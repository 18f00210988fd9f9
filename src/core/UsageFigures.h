#pragma once

#include <QString>
#include <cstdint>
#include <initializer_list>
#include <optional>

namespace qm {

// The bounds every usage figure must keep, wherever it enters the program (an upstream
// answer, the history file and its journal, a log): past them a figure is a fault or a
// forgery, never usage, and would swamp every sum it joined. Each check returns nothing for
// an acceptable figure, otherwise why not, in words a log line or a window can show.
namespace UsageFigures {

// The one rule for numbers that come from outside: the tools' logs, the usage index read back,
// another machine's answer. A token count is a whole number from 0 to kMaxTokenCount for one
// call (all of its kinds together too); a cost is a finite number of dollars from 0 to
// kMaxCostUsd. A record with a figure outside it is no usage: it is skipped whole, never
// clamped into a sum. Far beyond any real use, and far enough from the 64-bit range that sums
// of many stay exact.
inline constexpr std::int64_t kMaxTokenCount = 1'000'000'000'000'000;  // 10^15
inline constexpr double kMaxCostUsd = 1e9;

constexpr bool isTokenCount(std::int64_t tokens) {
    return tokens >= 0 && tokens <= kMaxTokenCount;
}
// The same for a JSON number, which may arrive as a double: a fraction or a value that is not
// finite fails too.
bool isTokenCountNumber(double tokens);
// The counts of one call's kinds that add up to its tokens (fresh input, cache reads and writes,
// output): each a token count, and their sum one too.
bool isCallTokens(std::initializer_list<std::int64_t> counts);
bool isCostUsd(double usd);

// Tighter bounds for the calls this program meters itself (the relay) and records in its
// history: there a figure past them is refused with its reason.
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
