#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/UsageModels.h"

namespace qm {

// The Codex summary: the Codex CLI's rollout logs ("rollout-*.jsonl" anywhere under "sessions"
// and "archived_sessions" of the Codex home), as the usage index read them (ledger/), composed
// into the sessions, models and window figures the cards and `usage` show.
class CodexCliReader {
public:
    // Where the tool keeps its files: $CODEX_HOME when set and not empty, else ~/.codex.
    static QString homeFor(const QString& homeDirectory);

    struct Tokens {
        std::int64_t input = 0;  // includes `cached`
        std::int64_t cached = 0;
        std::int64_t output = 0;
        bool operator==(const Tokens&) const = default;
    };
    struct ModelTokens {
        QString model;
        Tokens tokens;
        bool operator==(const ModelTokens&) const = default;
    };

    // What one rollout adds to the summary. Only the session's own part counts: lines a fork
    // copied from its parent and the history a sub-agent replays are passed over.
    struct ParseResult {
        bool hasTotalUsage = false;
        QString model;                     // the model of the last turn
        Tokens tokens;                     // the whole session
        std::vector<ModelTokens> byModel;  // in order of first use
        std::int64_t windowTokens = 0;     // input + output of model calls since the window start
        QString project;
        QString task;
        std::int64_t prompts = 0;
        std::int64_t recentPrompts = 0;
        bool isSubagent = false;
        std::optional<TimeMs> startedAt;
        std::optional<TimeMs> endedAt;
        std::optional<CodexPlanLimits> planLimits;  // from the newest event that has them
        // Every report of the session's own lines stamped inside the recent window, in order.
        std::vector<CodexPlanLimits> limitReadings;

        bool operator==(const ParseResult&) const = default;
    };

    // Builds the summary one rollout at a time, in the order of the paths' bytes.
    class Summary {
    public:
        // `hasFiles`: whether any rollout file was found at all; `since`: where the recent
        // window starts, as the results were parsed for.
        Summary(const QString& codexHome, bool hasFiles, TimeMs since);
        // The sessions directories are missing: the summary says so and takes no file.
        bool isMissing() const { return missing_; }
        void add(const QString& path, TimeMs modifiedAt, ParseResult result);
        ProviderUsage finish();

    private:
        struct Models;
        ProviderUsage usage_;
        TimeMs since_ = 0;
        bool missing_ = false;
        std::vector<SessionUsage> sessions_;
        std::optional<TimeMs> latestTaskAt_;
        std::shared_ptr<Models> models_;
    };
};

}  // namespace qm
