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

// The local socket of the running application, one per user: in $XDG_RUNTIME_DIR when that
// is a private folder of this user's, otherwise in a 0700 folder of the user's own under the
// temporary folder (never a name in the shared /tmp, which anyone could take first). Empty
// when no such place can be had.
QString instanceName();
// True when `path` is a socket owned by this user: only such a socket may be a running
// instance of this program; one owned by someone else is never talked to.
bool isOwnSocket(const QString& path);

// Copies a folder tree without overwriting files already at the destination; symbolic links
// are copied as links. An entry that fails is skipped and the rest is still copied.
// Returns the text of the first failure, empty on success.
QString copyDirectory(const QString& from, const QString& to);

}  // namespace qm::AppPaths
