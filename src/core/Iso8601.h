#pragma once

#include <QString>
#include <optional>
#include <string_view>

#include "core/UsageModels.h"

namespace qm::Iso8601 {

// Strict internet date-time: YYYY-MM-DD'T'HH:MM:SS[.fraction](Z|+HH:MM|-HH:MM[:SS]).
// Fractions beyond milliseconds are truncated. Anything else (a blank instead of the T,
// a missing zone, out-of-range fields) gives no value.
std::optional<TimeMs> parse(std::string_view text);
std::optional<TimeMs> parse(const QString& text);

// UTC with milliseconds, e.g. 2025-01-02T03:04:05.678Z.
QString formatMs(TimeMs ms);
// UTC without fraction, e.g. 2025-01-02T03:04:05Z (what provider queries want).
QString formatSeconds(TimeMs ms);

}  // namespace qm::Iso8601
