#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/Pricing.h"
#include "core/UsageModels.h"

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

private:
    QStringList projectDirectories_;
    QString credentialsFile_;
};

}  // namespace qm
