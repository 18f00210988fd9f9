#pragma once

#include <QString>
#include <optional>

#include "core/AtomicFile.h"
#include "core/UsageModels.h"

namespace qm {

// When the Claude limits last read reset, as the site wrote the times. The usage history keeps
// only the percentages of each snapshot; the application also keeps these beside it, so that
// the status-bar title can say when the limits it shows reset.
struct ClaudeResetTimes {
    TimeMs snapshotAt = 0;  // the time stamp of the history snapshot read with them
    std::optional<QString> session;
    std::optional<QString> week;
    std::optional<QString> perModel;
    bool operator==(const ClaudeResetTimes&) const = default;
};

namespace ClaudeResetTimesFile {

QString pathIn(const QString& dataDirectory);  // <dir>/claude-resets.json
// Replaces the file atomically.
std::optional<FileError> save(const QString& path, const ClaudeResetTimes& times);
// Nothing when the file is missing or is not such a record.
std::optional<ClaudeResetTimes> load(const QString& path);

}  // namespace ClaudeResetTimesFile
}  // namespace qm
