#include "cli/LimitSources.h"

#include <QDir>

#include "alerts/ClaudeLimits.h"
#include "core/ClaudeResetTimes.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/UsageAggregator.h"
#include "readers/CodexCliReader.h"

namespace qm::cli {

namespace {

constexpr TimeMs kFreshMs = kClaudeReadingFreshMs;

// The limits of the fresh claude.ai snapshot, with the reset times read with it and the pace
// of the history; none without a fresh snapshot.
std::vector<LimitReading> siteLimits(const std::vector<ClaudeUsageSnapshot>& snapshots,
                                     const QString& dataDirectory, TimeMs now) {
    const std::optional<ClaudeUsageSnapshot> snapshot = freshClaudeSnapshot(snapshots, now);
    if (!snapshot) return {};
    LatestClaudeUsage usage;
    usage.sessionPct = snapshot->sessionPct;
    usage.weekPct = snapshot->weekPct;
    usage.subPct = snapshot->subPct;
    usage.subModelName = snapshot->subModelName;
    // The reset times belong to the snapshot when they were read with it or after it (the
    // history drops a repeated snapshot, the reset file is rewritten all the same).
    const std::optional<ClaudeResetTimes> resets =
        ClaudeResetTimesFile::load(ClaudeResetTimesFile::pathIn(dataDirectory));
    if (resets && resets->snapshotAt >= snapshot->timestampMs) {
        usage.sessionResetAt = resets->session;
        usage.weekResetAt = resets->week;
        usage.subResetAt = resets->perModel;
    }
    return claudeLimitReadings(usage, snapshot->timestampMs, snapshots, now);
}

}  // namespace

std::optional<ClaudeUsageSnapshot> freshClaudeSnapshot(
    const std::vector<ClaudeUsageSnapshot>& snapshots, TimeMs now) {
    if (snapshots.empty()) return std::nullopt;
    const ClaudeUsageSnapshot& newest = snapshots.back();
    if (newest.timestampMs < now - kFreshMs || newest.timestampMs > now + kFreshMs) {
        return std::nullopt;
    }
    return newest;
}

std::vector<ClaudeLimitReading> claudeCodeReadings(const QString& dataDirectory, TimeMs now) {
    return ClaudeLimitReadingsFile::load(ClaudeLimitReadingsFile::pathIn(dataDirectory), now);
}

std::vector<LimitReading> claudeLimits(const std::vector<ClaudeUsageSnapshot>& snapshots,
                                       const std::vector<ClaudeLimitReading>& readings,
                                       const QString& dataDirectory, TimeMs now) {
    return mergedClaudeLimits(siteLimits(snapshots, dataDirectory, now), snapshots, readings, now,
                              now - kFreshMs);
}

std::vector<LimitReading> claudeLimits(const std::vector<ClaudeUsageSnapshot>& snapshots,
                                       const QString& dataDirectory, TimeMs now) {
    return claudeLimits(snapshots, claudeCodeReadings(dataDirectory, now), dataDirectory, now);
}

std::vector<LimitReading> codexLimits(const std::optional<ProviderUsage>& codex, TimeMs now) {
    if (!codex || !codex->planLimits) return {};
    return codexLimitReadings(*codex->planLimits, codex->planReadings, now);
}

ProviderUsage scanCodex(const ledger::LedgerSnapshot& snapshot, TimeMs now) {
    return ledger::codexUsage(snapshot.files, CodexCliReader::homeFor(QDir::homePath()),
                              now - TimeMs(UsageAggregator::kLookbackSeconds * 1000));
}

}  // namespace qm::cli
