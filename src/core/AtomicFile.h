#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <string_view>
#include <vector>

namespace qm {

struct FileError {
    int code = 0;     // errno
    QString message;  // "<what>: <strerror>"
    bool operator==(const FileError&) const = default;
};

namespace AtomicFile {

// Writes `bytes` to a temporary file beside the target, named "<path>.tmp-<pid>-<n>" so that
// no two writers share one, syncs it, then renames it over `path`: readers see either the old
// file or the whole new one.
// `mode` is applied when the temporary file is created: the program's files are the user's
// alone unless a caller says otherwise (a desktop entry).
std::optional<FileError> write(const QString& path, const QByteArray& bytes, int mode = 0600);
// Whether the bytes must be on disk before the rename. A cache that is rebuilt when it reads
// back broken skips the sync: after a power cut it may be empty, never a mixture.
enum class Sync { beforeRename, skip };

// The same for a file made of pieces, written in order without joining them first.
std::optional<FileError> write(const QString& path, const std::vector<std::string_view>& pieces,
                               int mode = 0600, Sync sync = Sync::beforeRename);

// Removes temporary files of `path` left by writers that died before their rename (their
// process is gone), so a killed save does not leave its bytes behind for good.
void removeStaleTemporaries(const QString& path);

// Moves a file that could not be decoded out of the way ("<path>.corrupt-<UTC time>") so a
// later save cannot overwrite what the user may still want. Returns the new path.
std::optional<QString> moveAside(const QString& path, QString* error = nullptr);

}  // namespace AtomicFile
}  // namespace qm
