#pragma once

#include <QString>
#include <cstdint>

namespace qm {

// Usage of one model over a fetched range, as the Anthropic and OpenAI clients report it.
// Lives in core because the history store takes it as input without depending on providers.
struct UsageBucket {
    QString model;                 // as the provider reports it, or "unknown"
    std::int64_t inputTokens = 0;  // not served from cache
    std::int64_t outputTokens = 0;
    std::int64_t cacheCreationTokens = 0;  // Anthropic
    std::int64_t cacheReadTokens = 0;      // Anthropic
    std::int64_t cachedInputTokens = 0;    // OpenAI
    double costUsd = 0;
    bool operator==(const UsageBucket&) const = default;
};

}  // namespace qm
