#pragma once

#include <QString>
#include <optional>

#include "core/UsageModels.h"

namespace qm::cli {

// What the status line says Claude Code has cost, in US dollars: the whole session it runs in,
// and every request made since the start of the local day. Each is absent when it could not be
// found. Never touches the network.
struct StatusLineCosts {
    std::optional<double> sessionUsd;
    std::optional<double> todayUsd;
    bool operator==(const StatusLineCosts&) const = default;
};

// How old the last look at every log file may be before the status line looks again: what it
// shows of other sessions may be this much behind.
inline constexpr TimeMs kWalkEveryMs = 30'000;

// The one place the status line asks for costs: `sessionId` and `transcriptPath` are what
// Claude Code hands the status line; `now` fixes the day. Brings the usage index up to date
// (reading only what was written since: the transcript at once, the rest at most every
// kWalkEveryMs) and prices it with the shared price table.
StatusLineCosts costsFor(const QString& sessionId, const QString& transcriptPath, TimeMs now);

}  // namespace qm::cli
