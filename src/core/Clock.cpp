#include "core/Clock.h"

#include <QDateTime>

namespace qm {

TimeMs systemNow() {
    return QDateTime::currentMSecsSinceEpoch();
}

Clock orSystemClock(Clock clock) {
    if (clock) return clock;
    return &systemNow;
}

}  // namespace qm
