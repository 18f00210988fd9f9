#include "cli/LimitSources.h"

#include <QDir>

#include "core/ClaudeResetTimes.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/UsageAggregator.h"
#include "readers/CodexCliReader.h"

namespace qm::cli {

namespace {
constexpr TimeMs kFreshMs = 30 * 60 * 1000;
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

std::vector<LimitReading> claudeLimits(const std::vector<ClaudeUsageSnapshot>& snapshots,
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

std::vector<LimitReading> codexLimits(const std::optional<ProviderUsage>& codex, TimeMs now) {
    if (!codex || !codex->planLimits) return {};
    return codexLimitReadings(*codex->planLimits, codex->planReadings, now);
}

ProviderUsage scanCodex(const ledger::LedgerSnapshot& snapshot, TimeMs now) {
    return ledger::codexUsage(snapshot.files, CodexCliReader::homeFor(QDir::homePath()),
                              now - TimeMs(UsageAggregator::kLookbackSeconds * 1000));
}

}  // namespace qm::cli
