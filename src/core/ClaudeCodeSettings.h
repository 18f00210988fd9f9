#pragma once

#include <QString>

// Claude Code's user settings (settings.json in its configuration folder) as far as the
// program changes them: the statusLine entry that makes Claude Code run `quotameter-cli
// statusline`. The command line's `statusline install` / `uninstall` and the application's
// switch call the same functions; they print nothing and return what happened.
//
// The file is changed only where the entry is: every other key, the order of the keys, the
// indentation and the line ends stay as they were. A file that is not valid JSON, or whose
// top level is not an object, is never rewritten. Before a change the old file is copied
// beside it ("settings.json.<yyyyMMdd-HHmmss>.bak"). A link is followed: the file it points to
// is changed, the link stays.
namespace qm::ClaudeCodeSettings {

// $CLAUDE_CONFIG_DIR/settings.json when that variable is set, else ~/.claude/settings.json.
QString settingsPath();

// "<cli> statusline", the path quoted for the shell Claude Code runs it with when it needs it.
QString statusLineCommand(const QString& cliPath);

enum class StatusLineState {
    absent,      // no statusLine entry (or no file)
    ours,        // it runs `quotameter-cli statusline` (this program or one elsewhere)
    other,       // it runs something else
    unreadable,  // the file cannot be read, or is not a JSON object
};

struct StatusLineInfo {
    StatusLineState state = StatusLineState::absent;
    QString command;       // what the entry runs (ours, other); for an entry without a command,
                           // its JSON text
    bool current = false;  // ours, and running exactly statusLineCommand(cliPath)
    QString problem;       // unreadable: why, one line
    bool operator==(const StatusLineInfo&) const = default;
};

StatusLineInfo statusLine(const QString& settingsPath, const QString& cliPath);

enum class EditOutcome {
    changed,       // the file was written (and the old one backed up when there was one)
    unchanged,     // already so: installed and current, or nothing of ours to remove
    otherCommand,  // another status line is set: left alone (install without replace,
                   // uninstall)
    failed,        // nothing was changed: see `problem`
};

struct EditResult {
    EditOutcome outcome = EditOutcome::unchanged;
    QString command;     // changed by install: the command set; otherCommand: the other one
    QString replaced;    // changed: the command the entry ran before, if any
    QString backupPath;  // changed: the copy of the old file, when there was a file
    QString problem;     // failed: why, one line
    bool operator==(const EditResult&) const = default;
};

// Sets the statusLine entry to run statusLineCommand(cliPath). Another program's status line
// is replaced only with `replaceOther`. A missing folder is created.
EditResult installStatusLine(const QString& settingsPath, const QString& cliPath,
                             bool replaceOther = false);
// Removes the statusLine entry when it is ours (a `quotameter-cli statusline`, wherever it is).
EditResult uninstallStatusLine(const QString& settingsPath);

}  // namespace qm::ClaudeCodeSettings
