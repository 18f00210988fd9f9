#include "alerts/ClaudeLimits.h"

#include <QCoreApplication>
#include <algorithm>

namespace qm {

namespace {

constexpr TimeMs kSameReadingMs = 60'000;

struct WindowTraits {
    ClaudeLimitWindow window;
    const char* label;
    TimeMs lengthMs;
    double ClaudeUsageSnapshot::*percent;
};

constexpr WindowTraits kWindows[] = {
    {ClaudeLimitWindow::fiveHour, "Claude five-hour limit", kFiveHourWindowMs,
     &ClaudeUsageSnapshot::sessionPct},
    {ClaudeLimitWindow::weekly, "Claude weekly limit", kWeekWindowMs,
     &ClaudeUsageSnapshot::weekPct},
};

QString keyOf(ClaudeLimitWindow window) {
    return QStringLiteral("claude.") + rawValue(window);
}

// The newest reading of the window read at `since` or later.
std::optional<LimitReading> newestRecorded(const WindowTraits& traits,
                                           const std::vector<ClaudeLimitReading>& readings,
                                           TimeMs since) {
    const auto newest = std::find_if(readings.rbegin(), readings.rend(), [&](const auto& r) {
        return r.window == traits.window && r.readAt >= since;
    });
    if (newest == readings.rend()) return std::nullopt;
    LimitReading reading;
    reading.key = keyOf(traits.window);
    reading.label = QString::fromLatin1(traits.label);
    reading.percent = newest->percent;
    reading.resetsAt = newest->resetsAt;
    reading.readAt = newest->readAt;
    reading.source = newest->source;
    return reading;
}

// The reset that ends the window `reading` was read in, as a reading after it or one of the
// same window read earlier saw it.
std::optional<TimeMs> borrowedReset(const LimitReading& reading, const WindowTraits& traits,
                                    const std::vector<const LimitReading*>& others,
                                    const std::vector<ClaudeLimitReading>& readings) {
    std::optional<TimeMs> found;
    const auto consider = [&](std::optional<TimeMs> resetsAt) {
        if (resetsAt && *resetsAt > reading.readAt &&
            *resetsAt - traits.lengthMs <= reading.readAt && (!found || *resetsAt < *found))
            found = resetsAt;
    };
    for (const LimitReading* other : others) consider(other->resetsAt);
    for (const ClaudeLimitReading& r : readings)
        if (r.window == traits.window) consider(r.resetsAt);
    return found;
}

std::optional<LimitReading> mergedWindow(const WindowTraits& traits,
                                         const std::vector<LimitReading>& site,
                                         const std::vector<ClaudeUsageSnapshot>& history,
                                         const std::vector<ClaudeLimitReading>& readings,
                                         TimeMs now, TimeMs readSince) {
    const auto fromSite = std::ranges::find(site, keyOf(traits.window), &LimitReading::key);
    const std::optional<LimitReading> recorded = newestRecorded(traits, readings, readSince);
    std::vector<const LimitReading*> candidates;
    if (fromSite != site.end()) candidates.push_back(&*fromSite);
    if (recorded) candidates.push_back(&*recorded);
    if (candidates.empty()) return std::nullopt;
    // The freshest; on a tie the recorded one, the plan's own figure.
    LimitReading chosen = *candidates.back();
    if (recorded && fromSite != site.end() && fromSite->readAt > recorded->readAt)
        chosen = *fromSite;
    if (!chosen.resetsAt) chosen.resetsAt = borrowedReset(chosen, traits, candidates, readings);
    std::vector<LimitSample> samples = claudeWindowSamples(traits.window, history, readings);
    // The site's reading may be published before its snapshot is in the history.
    if (fromSite != site.end() && std::ranges::none_of(samples, [&](const LimitSample& s) {
            return std::llabs(s.at - fromSite->readAt) < kSameReadingMs;
        })) {
        samples.push_back({fromSite->readAt, fromSite->percent});
        std::ranges::sort(samples, {}, &LimitSample::at);
    }
    chosen.projectedFullAt =
        LimitForecast::projectedFullAt(samples, chosen.resetsAt, traits.lengthMs, now);
    chosen.freshSince.reset();
    return chosen;
}

}  // namespace

std::vector<LimitSample> claudeWindowSamples(ClaudeLimitWindow window,
                                             const std::vector<ClaudeUsageSnapshot>& history,
                                             const std::vector<ClaudeLimitReading>& readings) {
    const WindowTraits& traits = kWindows[window == ClaudeLimitWindow::fiveHour ? 0 : 1];
    std::vector<LimitSample> samples;
    samples.reserve(history.size() + readings.size());
    for (const ClaudeUsageSnapshot& snapshot : history)
        samples.push_back({snapshot.timestampMs, snapshot.*traits.percent});
    for (const ClaudeLimitReading& reading : readings)
        if (reading.window == window) samples.push_back({reading.readAt, reading.percent});
    std::ranges::stable_sort(samples, {}, &LimitSample::at);
    return samples;
}

std::vector<LimitReading> mergedClaudeLimits(const std::vector<LimitReading>& site,
                                             const std::vector<ClaudeUsageSnapshot>& history,
                                             const std::vector<ClaudeLimitReading>& readings,
                                             TimeMs now, TimeMs readSince) {
    std::vector<LimitReading> merged;
    for (const WindowTraits& traits : kWindows) {
        if (std::optional<LimitReading> reading =
                mergedWindow(traits, site, history, readings, now, readSince))
            merged.push_back(std::move(*reading));
    }
    for (const LimitReading& reading : site) {
        if (!std::ranges::any_of(kWindows, [&](const WindowTraits& traits) {
                return reading.key == keyOf(traits.window);
            }))
            merged.push_back(reading);
    }
    return merged;
}

QString limitSourceText(const LimitReading& reading, TimeMs now) {
    if (!reading.source) return {};
    const QString name = limitSourceName(*reading.source);
    // Claude Code reads on every answer: how long ago says more than the hour.
    if (*reading.source == LimitSource::claudeCode) {
        const TimeMs minutes = std::max<TimeMs>(0, now - reading.readAt) / 60'000;
        if (minutes < 1)
            return QCoreApplication::translate("ClaudeLimits", "from %1, just now").arg(name);
        if (minutes < 60) {
            return QCoreApplication::translate("ClaudeLimits", "from %1, %2 min ago")
                .arg(name)
                .arg(minutes);
        }
    }
    return QCoreApplication::translate("ClaudeLimits", "from %1, %2")
        .arg(name, limitTimeText(reading.readAt, now));
}

}  // namespace qm
