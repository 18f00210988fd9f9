#pragma once

#include <cstdint>

// Spans and instants that several test files use. A file names the ones it uses
// (`using test::kHour;`) rather than defining its own, so that files compiled together as one
// unit define each once.
namespace qm::test {

inline constexpr std::int64_t kMinute = 60'000;
inline constexpr std::int64_t kHour = 60 * kMinute;
// A fixed "now" for tests whose clock stands still (late May 2026).
inline constexpr std::int64_t kNow = 1'780'000'000'000;

// The same spans in seconds, for fixtures that place log lines "seconds ago".
namespace seconds {
inline constexpr double kHour = 3600;
}

}  // namespace qm::test
