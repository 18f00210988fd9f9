#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/Pricing.h"
#include "core/UsageModels.h"
#include "readers/ClaudeTranscriptLine.h"

namespace qm {

// Reads Claude Code's transcripts ("<project folder>/<session>.jsonl", and a spawned agent's
// "<project folder>/<session>/subagents/agent-<id>.jsonl") into the Claude Code summary. Every
// API request is counted once however many lines repeat it, and once across files; sub-agents
// add usage to their session but no prompts or sessions of their own. Only reads; built afresh
// per refresh.
class ClaudeCodeReader {
public:
    ClaudeCodeReader(QStringList projectDirectories, QString credentialsFile);

    // The folders the tool writes to: $CLAUDE_CONFIG_DIR/projects when that variable is set and
    // not empty, else ~/.claude/projects and ~/.config/claude/projects.
    static QStringList projectDirectoriesFor(const QString& homeDirectory);
    // The tool's sign-in file, in the same configuration folder.
    static QString credentialsFileFor(const QString& homeDirectory);

    // Files last modified before `since` are skipped without being opened; the recent-window
    // figures count requests and prompts from `since`. Never fails: problems become warnings.
    ProviderUsage readUsageSync(TimeMs since) const;

    struct ModelPart {
        QString model;
        AnthropicTokens tokens;
        double cost = 0;
        std::int64_t windowTokens = 0;  // input of every kind plus output, since the window start
        double windowCost = 0;
        bool operator==(const ModelPart&) const = default;
    };

    // What one transcript adds, as the scan uses it.
    struct Transcript {
        QString model;                   // the model of the last request
        std::vector<ModelPart> byModel;  // in order of first use
        std::int64_t requests = 0;
        QString project;
        QString task;
        std::int64_t prompts = 0;
        std::int64_t recentPrompts = 0;
        std::optional<TimeMs> startedAt;
        std::optional<TimeMs> lastActiveAt;
        bool operator==(const Transcript&) const = default;
    };

    // One request as a transcript holds it, its repeated lines merged.
    struct RequestFacts {
        std::uint64_t key = 0;  // of its request and message ids
        bool keyed = false;
        QString model;
        AnthropicTokens tokens;
        std::optional<TimeMs> at;
        bool operator==(const RequestFacts&) const = default;
    };
    struct PromptFacts {
        std::uint64_t key = 0;  // of the line's own id
        bool keyed = false;
        std::optional<TimeMs> at;
        QString task;  // what the prompt would make the session's task
        bool operator==(const PromptFacts&) const = default;
    };
    // One transcript as read, before the requests and prompts that earlier files hold drop out.
    struct TranscriptFacts {
        QString model;  // of the last request line
        QString project;
        std::optional<TimeMs> startedAt;
        std::optional<TimeMs> lastActiveAt;
        std::vector<RequestFacts> requests;
        std::vector<PromptFacts> prompts;
        bool operator==(const TranscriptFacts&) const = default;
    };
    // Adds what one line holds to `facts`; `requestByKey` finds a request's earlier lines. A
    // line out of range (see LineFacts) adds nothing.
    static void addLine(TranscriptFacts& facts,
                        std::unordered_map<std::uint64_t, std::size_t>& requestByKey,
                        const ClaudeTranscript::LineFacts& line, bool subagent);

    // The summary with each transcript's facts from `factsOf(path)` rather than by reading it:
    // what readUsageSync() does with transcripts read elsewhere (the usage index). A transcript
    // it has no facts for is read here.
    using FactsSource = std::function<std::optional<TranscriptFacts>(const QString& path)>;
    ProviderUsage summarize(TimeMs since, const FactsSource& factsOf) const;

private:
    QStringList projectDirectories_;
    QString credentialsFile_;
};

}  // namespace qm
