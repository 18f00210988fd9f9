#include "core/UsageFigures.h"

#include <cmath>

#include "core/DisplayFormat.h"

namespace qm::UsageFigures {

bool isTokenCountNumber(double tokens) {
    return std::isfinite(tokens) && tokens >= 0 && tokens <= double(kMaxTokenCount) &&
           std::trunc(tokens) == tokens;
}

bool isCallTokens(std::initializer_list<std::int64_t> counts) {
    std::int64_t sum = 0;
    for (const std::int64_t n : counts) {
        if (!isTokenCount(n)) return false;
        sum += n;  // both at most 10^15: no overflow before the check
        if (!isTokenCount(sum)) return false;
    }
    return true;
}

bool isCostUsd(double usd) {
    return std::isfinite(usd) && usd >= 0 && usd <= kMaxCostUsd;
}

std::optional<QString> checkTokens(std::int64_t tokens, std::int64_t limit) {
    if (tokens < 0) return QStringLiteral("negative token count %1").arg(tokens);
    if (tokens > limit) return QStringLiteral("token count %1 above %2").arg(tokens).arg(limit);
    return std::nullopt;
}

std::optional<QString> checkCost(double costUsd, double limitUsd) {
    if (!std::isfinite(costUsd)) return QStringLiteral("cost is not a number");
    if (costUsd < 0) return QStringLiteral("negative cost");
    if (costUsd > limitUsd)
        return QStringLiteral("cost ") + DisplayFormat::money(costUsd) +
               QStringLiteral(" above $") + QString::number(limitUsd, 'f', 0);
    return std::nullopt;
}

std::optional<QString> checkPercent(double percent) {
    if (!std::isfinite(percent) || percent < 0 || percent > kMaxPercent)
        return QStringLiteral("percentage outside 0 to 100");
    return std::nullopt;
}

std::optional<QString> checkTimestamp(std::int64_t timestampMs, std::int64_t nowMs) {
    if (timestampMs > nowMs && timestampMs - nowMs > kMaxFutureMs)
        return QStringLiteral("time more than a day in the future");
    return std::nullopt;
}

}  // namespace qm::UsageFigures
