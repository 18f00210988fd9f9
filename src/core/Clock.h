#pragma once

#include <functional>

#include "core/UsageModels.h"

namespace qm {

// The time "now" as milliseconds since the Unix epoch. Everything that decides by the current
// time takes one of these, so a test can hold time still or step it; an empty clock means the
// system clock.
using Clock = std::function<TimeMs()>;

// The system clock: the only place the program reads the wall clock for "now".
TimeMs systemNow();

// `clock`, or the system clock when it is empty; stores resolve their clock once with this.
Clock orSystemClock(Clock clock);

}  // namespace qm
