#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "core/UsageModels.h"
#include "ledger/LedgerRecords.h"
#include "readers/CodexCliReader.h"

// The five-hour summaries composed from the usage index rather than by reading the logs again:
// the same figures the summary readers report for the same logs and the same window start.
// The index keeps what a window needs for a day back (kRecentSpan), so `since` is at most that
// far before the index was last updated.
namespace qm::ledger {

// What one rollout's entry adds to the Codex summary for a window that starts at `since`.
CodexCliReader::ParseResult codexResult(const FileEntry& entry, TimeMs since);

// The Codex summary for the Codex home `codexHome` from the index's entries `files` (entries
// of other tools are passed over).
ProviderUsage codexUsage(const std::vector<FileEntry>& files, const QString& codexHome,
                         TimeMs since);

// The Grok summary for the sessions folder `sessionsDirectory` from the index's entries: each
// session folder's small files and its turns, or its estimated call when it logged no usage.
ProviderUsage grokUsage(const std::vector<FileEntry>& files, const QString& sessionsDirectory,
                        const QString& authFile, TimeMs since);

// The Claude Code summary for the transcripts under `projectDirectories`, as
// ClaudeCodeReader(projectDirectories, credentialsFile).readUsageSync(since).
ProviderUsage claudeCodeUsage(const std::vector<FileEntry>& files,
                              const QStringList& projectDirectories, const QString& credentialsFile,
                              TimeMs since);

// The Gemini summary for the folder `geminiDirectory`: its chat recordings, logs.json prompt
// logs and older usage logs as the index holds them (a credential file is looked for by name).
ProviderUsage geminiUsage(const std::vector<FileEntry>& files, const QString& geminiDirectory,
                          TimeMs since);

// The summary of an agent whose readers keep AgentFacts (OpenCode, Qwen Code): its sessions
// active since the window start, each with its whole figures, and the window's own; `source`
// and `folders` say where they come from.
ProviderUsage agentUsage(const std::vector<FileEntry>& files, ProviderKind tool,
                         const QString& source, const QStringList& folders, TimeMs since);

// The summaries the index serves for the tools under `homeDirectory` (where their own
// variables, such as CODEX_HOME, do not point elsewhere): every tool's, in the order of
// kAllProviderKinds.
std::vector<ProviderUsage> indexedSummaries(const std::vector<FileEntry>& files,
                                            const QString& homeDirectory, TimeMs since);

}  // namespace qm::ledger
