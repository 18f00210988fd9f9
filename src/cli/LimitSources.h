#pragma once

#include <optional>
#include <vector>

#include "alerts/LimitReadings.h"
#include "core/ClaudeLimitReadings.h"
#include "core/HistoryRecords.h"
#include "core/UsageModels.h"
#include "ledger/UsageLedger.h"

// Where the commands find the limits the application shows: Claude's in the usage history the
// application records from claude.ai (with the reset times it keeps beside it) and in the
// readings Claude Code's status line hands over, Codex's in the usage index.
namespace qm::cli {

// The newest Claude snapshot taken in the last 30 minutes; the series is sorted by time.
std::optional<ClaudeUsageSnapshot> freshClaudeSnapshot(
    const std::vector<ClaudeUsageSnapshot>& snapshots, TimeMs now);

// The Claude Code readings kept in the data folder (ClaudeLimitReadingsFile).
std::vector<ClaudeLimitReading> claudeCodeReadings(const QString& dataDirectory, TimeMs now);

// The Claude limits: the five-hour and weekly windows from the freshest reading of the last 30
// minutes, the fresh claude.ai snapshot (with the reset times read with it) or one of
// `readings`; the per-model limits from the snapshot only. Projections from both series.
// None without a fresh reading.
std::vector<LimitReading> claudeLimits(const std::vector<ClaudeUsageSnapshot>& snapshots,
                                       const std::vector<ClaudeLimitReading>& readings,
                                       const QString& dataDirectory, TimeMs now);
// The same with the readings read from the data folder.
std::vector<LimitReading> claudeLimits(const std::vector<ClaudeUsageSnapshot>& snapshots,
                                       const QString& dataDirectory, TimeMs now);

// The Codex limits of the newest report in `codex` (a scan of its logs), if any.
std::vector<LimitReading> codexLimits(const std::optional<ProviderUsage>& codex, TimeMs now);

// Codex as the application shows it: the recent five hours, from the index as `snapshot` has it.
ProviderUsage scanCodex(const ledger::LedgerSnapshot& snapshot, TimeMs now);

}  // namespace qm::cli
