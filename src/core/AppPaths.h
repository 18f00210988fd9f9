#pragma once

#include <QString>

namespace qm::AppPaths {

// ~/.local/share/Quotameter (or <home>/Quotameter when the system names no data location),
// created if needed. The first time it is created, an earlier installation's
// "ClaudeQuotameter" folder beside it is copied in; that folder is never changed.
QString ensureRoot();

// The same, under an explicit parent folder: what ensureRoot() does, for tests and tools.
QString ensureRootIn(const QString& base);
// Makes the data folder 0700 and its regular files 0600 (ensureRootIn does this on start).
void tightenPermissions(const QString& root);

// The local socket name of the running application, one per user; the command-line tool
// uses it to tell whether the application (which owns the history file) is running.
QString instanceName();

// Copies a folder tree without overwriting files already at the destination; symbolic links
// are copied as links. An entry that fails is skipped and the rest is still copied.
// Returns the text of the first failure, empty on success.
QString copyDirectory(const QString& from, const QString& to);

}  // namespace qm::AppPaths
