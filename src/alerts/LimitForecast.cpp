#include "alerts/LimitForecast.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qm::LimitForecast {

namespace {

constexpr double kHourMs = 3'600'000.0;

std::vector<LimitSample> inSpan(const std::vector<LimitSample>& samples, TimeMs windowStart,
                                TimeMs now) {
    const TimeMs from = std::max(windowStart, now - kPaceSpanMs);
    std::vector<LimitSample> kept;
    for (const LimitSample& sample : samples) {
        if (sample.at >= from && sample.at <= now && std::isfinite(sample.percent))
            kept.push_back(sample);
    }
    return kept;
}

std::optional<double> slope(const std::vector<LimitSample>& samples) {
    if (samples.size() < 2) return std::nullopt;
    // Hours from the first reading keep the sums small enough to stay exact.
    const TimeMs origin = samples.front().at;
    double meanX = 0;
    double meanY = 0;
    for (const LimitSample& s : samples) {
        meanX += double(s.at - origin) / kHourMs;
        meanY += s.percent;
    }
    meanX /= double(samples.size());
    meanY /= double(samples.size());
    double sxx = 0;
    double sxy = 0;
    for (const LimitSample& s : samples) {
        const double dx = double(s.at - origin) / kHourMs - meanX;
        sxx += dx * dx;
        sxy += dx * (s.percent - meanY);
    }
    if (sxx <= 0) return std::nullopt;  // every reading at the same moment
    const double result = sxy / sxx;
    if (!std::isfinite(result)) return std::nullopt;
    return result;
}

}  // namespace

std::optional<double> pacePerHour(const std::vector<LimitSample>& samples, TimeMs windowStart,
                                  TimeMs now) {
    return slope(inSpan(samples, windowStart, now));
}

std::optional<TimeMs> projectedFullAt(const std::vector<LimitSample>& samples,
                                      std::optional<TimeMs> resetsAt, TimeMs windowMs, TimeMs now) {
    if (!resetsAt || *resetsAt <= now) return std::nullopt;
    const TimeMs windowStart =
        windowMs > 0 ? *resetsAt - windowMs : std::numeric_limits<TimeMs>::min();
    const std::vector<LimitSample> kept = inSpan(samples, windowStart, now);
    const std::optional<double> pace = slope(kept);
    if (!pace || *pace <= 0) return std::nullopt;
    const LimitSample newest = *std::max_element(
        kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.at < b.at; });
    if (newest.percent >= 100) return std::nullopt;
    const double hoursLeft = (100 - newest.percent) / *pace;
    const double fullAt = double(newest.at) + hoursLeft * kHourMs;
    if (!std::isfinite(fullAt) || fullAt >= double(*resetsAt) || fullAt < double(now))
        return std::nullopt;
    return TimeMs(fullAt);
}

}  // namespace qm::LimitForecast
