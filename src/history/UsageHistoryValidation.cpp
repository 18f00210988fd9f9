#include "history/UsageHistoryValidation.h"

#include <initializer_list>
#include <vector>

#include "core/UsageFigures.h"

namespace qm::UsageHistoryValidation {
namespace {

std::optional<QString> firstOf(std::initializer_list<std::optional<QString>> checks) {
    for (const std::optional<QString>& check : checks)
        if (check) return check;
    return std::nullopt;
}

template <typename Record>
std::size_t dropFrom(std::vector<Record>& records, std::int64_t nowMs) {
    return std::erase_if(records, [nowMs](const Record& r) { return problem(r, nowMs); });
}

}  // namespace

std::optional<QString> problem(const GeminiUsageRecord& r, std::int64_t nowMs) {
    using namespace UsageFigures;
    if (r.timestampMs < 1) return QStringLiteral("no time");
    if (r.accountId.isEmpty()) return QStringLiteral("no account");
    if (r.source != QLatin1String("relay") && r.source != QLatin1String("playground"))
        return QStringLiteral("unknown source");
    if (r.latencyMs < 0) return QStringLiteral("negative latency");
    return firstOf({checkTokens(r.inputTokens), checkTokens(r.outputTokens),
                    checkTokens(r.cacheTokens), checkTokens(r.thinkingTokens),
                    checkTokens(r.toolTokens), checkCost(r.costUsd),
                    checkTimestamp(r.timestampMs, nowMs)});
}

std::optional<QString> problem(const ApiUsageRecord& r, std::int64_t nowMs) {
    using namespace UsageFigures;
    if (r.timestampMs < 1) return QStringLiteral("no time");
    if (r.provider != QLatin1String("anthropic") && r.provider != QLatin1String("openai"))
        return QStringLiteral("unknown provider");
    if (r.accountId.isEmpty()) return QStringLiteral("no account");
    return firstOf({checkTokens(r.inputTokens, kMaxApiRecordTokens),
                    checkTokens(r.outputTokens, kMaxApiRecordTokens),
                    checkTokens(r.cacheTokens, kMaxApiRecordTokens),
                    checkCost(r.costUsd, kMaxApiRecordCostUsd),
                    checkTimestamp(r.timestampMs, nowMs)});
}

std::optional<QString> problem(const ClaudeUsageSnapshot& s, std::int64_t nowMs) {
    using namespace UsageFigures;
    return firstOf({checkPercent(s.sessionPct), checkPercent(s.weekPct), checkPercent(s.subPct),
                    checkTimestamp(s.timestampMs, nowMs)});
}

std::size_t dropInvalid(UsageHistoryData& data, std::int64_t nowMs) {
    return dropFrom(data.claudeSnapshots, nowMs) + dropFrom(data.geminiRecords, nowMs) +
           dropFrom(data.apiRecords, nowMs);
}

}  // namespace qm::UsageHistoryValidation
