#pragma once

#include <QString>
#include <QStringList>

namespace qm {

// Where Claude Code keeps its transcripts ("<project folder>/<session>.jsonl", and a spawned
// agent's "<project folder>/<session>/subagents/agent-<id>.jsonl") and its sign-in. The
// transcripts themselves are read into the usage index (ledger/), which composes the summary.
class ClaudeCodeReader {
public:
    // The folders the tool writes to: $CLAUDE_CONFIG_DIR/projects when that variable is set and
    // not empty, else ~/.claude/projects and ~/.config/claude/projects.
    static QStringList projectDirectoriesFor(const QString& homeDirectory);
    // The tool's sign-in file, in the same configuration folder.
    static QString credentialsFileFor(const QString& homeDirectory);
};

}  // namespace qm
