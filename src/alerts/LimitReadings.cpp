#include "alerts/LimitReadings.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cmath>

#include "alerts/LimitForecast.h"
#include "core/Iso8601.h"

namespace qm {

namespace {

std::optional<TimeMs> resetTime(const std::optional<QString>& text) {
    if (!text) return std::nullopt;
    return Iso8601::parse(text->trimmed());
}

// The history's readings of one limit, and the current one when the history does not have it
// yet (the store may publish before the snapshot is recorded).
template <typename Percent>
std::vector<LimitSample> claudeSamples(const std::vector<ClaudeUsageSnapshot>& history,
                                       Percent percent, TimeMs readAt, double current) {
    std::vector<LimitSample> samples;
    for (const ClaudeUsageSnapshot& snapshot : history) {
        if (const std::optional<double> value = percent(snapshot))
            samples.push_back({snapshot.timestampMs, *value});
    }
    constexpr TimeMs kSameReadingMs = 60'000;
    if (readAt > 0 && (samples.empty() || samples.back().at < readAt - kSameReadingMs))
        samples.push_back({readAt, current});
    return samples;
}

}  // namespace

std::vector<LimitReading> claudeLimitReadings(const LatestClaudeUsage& usage, TimeMs readAt,
                                              const std::vector<ClaudeUsageSnapshot>& history,
                                              TimeMs now) {
    const auto reading = [&](const QString& window, const QString& label, double percent,
                             const std::optional<QString>& resetText, TimeMs windowMs,
                             const std::vector<LimitSample>& samples) {
        const std::optional<TimeMs> resetsAt = resetTime(resetText);
        return LimitReading{QStringLiteral("claude.") + window,
                            label,
                            percent,
                            resetsAt,
                            readAt,
                            LimitForecast::projectedFullAt(samples, resetsAt, windowMs, now),
                            std::nullopt,
                            LimitSource::claudeWeb};
    };
    std::vector<LimitReading> readings{
        reading(QStringLiteral("fiveHour"), QStringLiteral("Claude five-hour limit"),
                usage.sessionPct, usage.sessionResetAt, kFiveHourWindowMs,
                claudeSamples(
                    history, [](const auto& s) { return std::optional(s.sessionPct); }, readAt,
                    usage.sessionPct)),
        reading(QStringLiteral("weekly"), QStringLiteral("Claude weekly limit"), usage.weekPct,
                usage.weekResetAt, kWeekWindowMs,
                claudeSamples(
                    history, [](const auto& s) { return std::optional(s.weekPct); }, readAt,
                    usage.weekPct)),
    };
    if (!usage.subModelName.isEmpty()) {
        // Only the snapshots of the same model's limit count towards its pace.
        const QString model = usage.subModelName;
        readings.push_back(
            reading(QStringLiteral("weekly") + model,
                    QStringLiteral("Claude weekly ") + model + QStringLiteral(" limit"),
                    usage.subPct, usage.subResetAt, kWeekWindowMs,
                    claudeSamples(
                        history,
                        [&](const auto& s) {
                            return s.subModelName == model ? std::optional(s.subPct) : std::nullopt;
                        },
                        readAt, usage.subPct)));
    }
    return readings;
}

std::vector<LimitReading> codexLimitReadings(const CodexPlanLimits& limits,
                                             const std::vector<CodexPlanLimits>& readings,
                                             TimeMs now) {
    const auto reading = [&](const QString& window, const QString& label, const PlanWindow& plan,
                             std::optional<PlanWindow> CodexPlanLimits::*member) {
        std::vector<LimitSample> samples;
        for (const CodexPlanLimits& earlier : readings) {
            if (const auto& part = earlier.*member)
                samples.push_back({earlier.observedAt, part->usedPercent});
        }
        const TimeMs windowMs = plan.windowMinutes * 60'000;
        return LimitReading{QStringLiteral("codex.") + window,
                            label,
                            plan.usedPercent,
                            plan.resetsAt,
                            limits.observedAt,
                            LimitForecast::projectedFullAt(samples, plan.resetsAt, windowMs, now),
                            std::nullopt,
                            LimitSource::codexLogs};
    };
    std::vector<LimitReading> result;
    if (limits.fiveHour) {
        result.push_back(reading(QStringLiteral("fiveHour"),
                                 QStringLiteral("Codex five-hour limit"), *limits.fiveHour,
                                 &CodexPlanLimits::fiveHour));
    }
    if (limits.weekly) {
        result.push_back(reading(QStringLiteral("weekly"), QStringLiteral("Codex weekly limit"),
                                 *limits.weekly, &CodexPlanLimits::weekly));
    }
    return result;
}

bool hasReset(const LimitReading& reading, TimeMs now) {
    return reading.freshSince || (reading.resetsAt && *reading.resetsAt <= now);
}

LimitReading currentWindow(const LimitReading& reading, TimeMs now) {
    if (reading.freshSince || !hasReset(reading, now)) return reading;
    LimitReading fresh = reading;
    fresh.percent = 0;
    fresh.freshSince = reading.resetsAt;
    fresh.resetsAt.reset();
    fresh.projectedFullAt.reset();
    return fresh;
}

std::vector<LimitReading> currentWindows(const std::vector<LimitReading>& readings, TimeMs now) {
    std::vector<LimitReading> current;
    current.reserve(readings.size());
    for (const LimitReading& reading : readings) current.push_back(currentWindow(reading, now));
    return current;
}

LatestClaudeUsage currentClaudeUsage(LatestClaudeUsage usage, TimeMs now) {
    const auto passed = [now](const std::optional<QString>& resetText) {
        LimitReading reading;
        reading.resetsAt = resetTime(resetText);
        return hasReset(reading, now);
    };
    if (passed(usage.sessionResetAt)) usage.sessionPct = 0;
    if (passed(usage.weekResetAt)) usage.weekPct = 0;
    if (passed(usage.subResetAt)) usage.subPct = 0;
    if (passed(usage.designResetAt)) usage.designPct = 0;
    if (passed(usage.routineResetAt)) usage.routineUsed = 0;
    return usage;
}

QString limitTimeText(TimeMs at, TimeMs now) {
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(at);
    const bool today = when.date() == QDateTime::fromMSecsSinceEpoch(now).date();
    return when.toString(today ? QStringLiteral("HH:mm") : QStringLiteral("MM/dd HH:mm"));
}

QString resetPassedText(TimeMs resetAt, TimeMs now) {
    return QCoreApplication::translate("LimitReadings", "reset at %1")
        .arg(limitTimeText(resetAt, now));
}

std::optional<UsageStatusLevel> limitsLevel(const std::vector<LimitReading>& readings, TimeMs now) {
    std::optional<double> highest;
    for (const LimitReading& reading : readings) {
        if (std::isnan(reading.percent) || hasReset(reading, now)) continue;
        if (!highest || reading.percent > *highest) highest = reading.percent;
    }
    // Limits known but none readable now (each past its reset): grey, not absent.
    if (!highest) return readings.empty() ? std::nullopt : std::optional(UsageStatusLevel::unknown);
    return limitLevel(*highest);
}

QString codexLimitsLine(const std::vector<LimitReading>& readings, TimeMs now) {
    QStringList parts;
    TimeMs readAt = now;
    for (const LimitReading& reading : currentWindows(readings, now)) {
        const double percent = std::isfinite(reading.percent) ? reading.percent : 0;
        QString part = (reading.window() == QLatin1String("fiveHour") ? QStringLiteral("5-hour ")
                                                                      : QStringLiteral("weekly ")) +
                       QString::number(std::lround(std::clamp(percent, 0.0, 999.0))) +
                       QLatin1Char('%');
        if (reading.freshSince)
            part += QStringLiteral(" (") + resetPassedText(*reading.freshSince, now) + ')';
        else if (reading.resetsAt)
            part += QStringLiteral(" (resets ") + limitTimeText(*reading.resetsAt, now) + ')';
        parts << part;
        readAt = std::min(readAt, reading.readAt);
    }
    if (parts.isEmpty()) return {};
    QString line = QStringLiteral("Codex limits: ") + parts.join(QStringLiteral(", "));
    if (now - readAt > kStaleReadingMs)
        line += QStringLiteral(", read ") + limitTimeText(readAt, now);
    return line;
}

}  // namespace qm
