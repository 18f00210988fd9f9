#pragma once

#include <optional>
#include <vector>

#include "alerts/LimitReadings.h"
#include "core/HistoryRecords.h"
#include "core/UsageModels.h"
#include "ledger/UsageLedger.h"

// Where the commands find the limits the application shows: Claude's in the usage history the
// application records (with the reset times it keeps beside it), Codex's in the usage index.
namespace qm::cli {

// The newest Claude snapshot taken in the last 30 minutes; the series is sorted by time.
std::optional<ClaudeUsageSnapshot> freshClaudeSnapshot(
    const std::vector<ClaudeUsageSnapshot>& snapshots, TimeMs now);

// The Claude limits of the fresh snapshot, with the reset times read with it and the pace of
// the history; none without a fresh snapshot.
std::vector<LimitReading> claudeLimits(const std::vector<ClaudeUsageSnapshot>& snapshots,
                                       const QString& dataDirectory, TimeMs now);

// The Codex limits of the newest report in `codex` (a scan of its logs), if any.
std::vector<LimitReading> codexLimits(const std::optional<ProviderUsage>& codex, TimeMs now);

// Codex as the application shows it: the recent five hours, from the index as `snapshot` has it.
ProviderUsage scanCodex(const ledger::LedgerSnapshot& snapshot, TimeMs now);

}  // namespace qm::cli
