#include "gui/claude/ClaudeLimitsNow.h"

#include <algorithm>

#include "alerts/ClaudeLimitReadingStore.h"
#include "alerts/ClaudeLimits.h"
#include "claude/ClaudeUsageStore.h"
#include "history/UsageHistoryStore.h"

namespace qm::gui {

std::vector<LimitReading> claudeLimitsNow(const ClaudeLimitSources& sources, TimeMs now) {
    static const std::vector<ClaudeUsageSnapshot> kNoSnapshots;
    static const std::vector<ClaudeLimitReading> kNoReadings;
    const std::vector<ClaudeUsageSnapshot>& snapshots =
        sources.history ? sources.history->claudeSnapshots() : kNoSnapshots;
    std::vector<LimitReading> site;
    if (sources.claude) {
        if (const std::optional<LatestClaudeUsage> latest = sources.claude->latest()) {
            site = claudeLimitReadings(*latest, sources.claude->latestAt().value_or(now), snapshots,
                                       now);
        }
    }
    return mergedClaudeLimits(site, snapshots,
                              sources.readings ? sources.readings->readings() : kNoReadings, now);
}

bool claudeCodeHoldsFiveHours(const ClaudeLimitReadingStore& readings, TimeMs now) {
    const std::optional<ClaudeLimitReading> newest = readings.newest(ClaudeLimitWindow::fiveHour);
    return newest && newest->source == LimitSource::claudeCode &&
           now - newest->readAt < kClaudeCodeHoldsMs;
}

void whenClaudeLimitSourcesChange(const ClaudeLimitSources& sources, QObject* receiver,
                                  const std::function<void()>& changed) {
    if (sources.readings)
        QObject::connect(sources.readings, &ClaudeLimitReadingStore::changed, receiver, changed);
    if (sources.history)
        QObject::connect(sources.history, &UsageHistoryStore::changed, receiver, changed);
}

std::optional<LimitReading> fiveHourOf(const std::vector<LimitReading>& limits) {
    const auto found = std::ranges::find_if(limits, [](const LimitReading& reading) {
        return reading.window() == QLatin1String("fiveHour");
    });
    if (found == limits.end()) return std::nullopt;
    return *found;
}

}  // namespace qm::gui
