#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

namespace qm {

// One observation of the Claude subscription limits; percentages 0..100.
struct ClaudeUsageSnapshot {
    std::int64_t timestampMs = 0;
    double sessionPct = 0;
    double weekPct = 0;
    double subPct = 0;
    QString subModelName;
    bool operator==(const ClaudeUsageSnapshot&) const = default;
};

// One metered Gemini relay request.
struct GeminiUsageRecord {
    std::int64_t timestampMs = 0;
    QString accountId;
    QString model;  // "unknown" when the path names none
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;
    std::int64_t cacheTokens = 0;
    std::int64_t thinkingTokens = 0;
    std::int64_t toolTokens = 0;
    double costUsd = 0;
    std::int64_t latencyMs = 0;
    QString source;  // "relay" or "playground"
    std::optional<QString> clientUserAgent;
    bool operator==(const GeminiUsageRecord&) const = default;
};

// Usage of one model for one API account from an administrative usage report.
struct ApiUsageRecord {
    std::int64_t timestampMs = 0;
    QString provider;  // "anthropic" or "openai"
    QString accountId;
    QString model;
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;
    std::int64_t cacheTokens = 0;
    double costUsd = 0;
    bool operator==(const ApiUsageRecord&) const = default;
};

// The root of usage-history.json; every series ascending by timestampMs.
struct UsageHistoryData {
    std::vector<ClaudeUsageSnapshot> claudeSnapshots;
    std::vector<GeminiUsageRecord> geminiRecords;
    std::vector<ApiUsageRecord> apiRecords;
    bool operator==(const UsageHistoryData&) const = default;
};

}  // namespace qm
