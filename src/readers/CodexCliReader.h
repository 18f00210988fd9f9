#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "core/UsageModels.h"

namespace qm {

// Reads the Codex CLI's rollout logs (one JSON object per line, "rollout-*.jsonl" anywhere
// under the sessions directory) into the Codex summary. Only reads; built afresh per refresh.
class CodexCliReader {
public:
    static constexpr std::uint64_t kMaxFileBytes = 50'000'000;

    CodexCliReader(QString sessionsDirectory, QString authFile);

    // Files last modified before `since` are skipped without being opened; the summary's
    // recent-window figures count from `since`. Never fails: problems become warnings.
    ProviderUsage readUsageSync(TimeMs since) const;

    // What one rollout file holds, as the scan uses it.
    struct ParseResult {
        bool hasTotalUsage = false;
        QString model;
        std::int64_t inputTokens = 0;
        std::int64_t outputTokens = 0;
        std::int64_t cachedTokens = 0;
        QString project;
        QString task;
        std::int64_t prompts = 0;
        std::int64_t recentPrompts = 0;
        std::optional<TimeMs> startedAt;
        std::optional<TimeMs> endedAt;

        bool operator==(const ParseResult&) const = default;
    };
    static ParseResult parseFile(const QString& path, TimeMs recentWindowStart);

    QStringList enumerateSessionFiles() const;

private:
    QString sessionsDirectory_;
    QString authFile_;
};

}  // namespace qm
