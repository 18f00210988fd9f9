#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "core/AtomicFile.h"
#include "core/LimitSource.h"
#include "core/SharedFile.h"
#include "core/UsageModels.h"

namespace qm {

// The two windows of every Claude plan, spelled as the limits' keys spell them ("fiveHour",
// "weekly"; Claude Code calls the second "seven_day").
enum class ClaudeLimitWindow { fiveHour, weekly };
QString rawValue(ClaudeLimitWindow window);
std::optional<ClaudeLimitWindow> claudeLimitWindowFromRaw(const QString& raw);

// One official reading of a Claude limit window: how much of it was used at `readAt`, in
// percent (0 to 100), and when the window starts afresh when that was said.
struct ClaudeLimitReading {
    ClaudeLimitWindow window = ClaudeLimitWindow::fiveHour;
    double percent = 0;
    std::optional<TimeMs> resetsAt;
    TimeMs readAt = 0;
    LimitSource source = LimitSource::claudeCode;
    bool operator==(const ClaudeLimitReading&) const = default;
};

// The readings of the last eight days, kept in "claude-limit-readings.json" in the data folder:
// what every Claude Code status line was told (and whatever else the application adds), one
// series per window for the projections. Several processes add to it at once: each change is
// made under the lock beside the file after reading it afresh, and replaces it atomically.
// A reading is kept at most once a minute per window and source unless its percentage or its
// reset time changed; as the readings age they are thinned: those older than ten minutes to
// the newest of each minute, those older than two hours to the newest of each quarter hour.
//
// The file: {"version": 1, "readings": [[window, percent, resetsAt, readAt, source], ...]},
// one reading a line, ascending by time: "fiveHour" or "weekly", 0 to 100, milliseconds since
// the epoch (resetsAt null when not known), "claudeCode" or "claudeWeb". Arrays rather than
// objects: a status line reads the whole file on every update.
namespace ClaudeLimitReadingsFile {

inline constexpr TimeMs kKeptMs = 8LL * 24 * 3'600'000;
inline constexpr TimeMs kRepeatMs = 60'000;
// A status line is cancelled when Claude Code's next update comes: a reading the lock keeps
// out longer than this is dropped, not waited for.
inline constexpr int kLockWaitMs = 50;

QString pathIn(const QString& dataDirectory);  // <dir>/claude-limit-readings.json

// What the file held when it was read.
struct Contents {
    // Ascending by time, without those older than kKeptMs or more than an hour ahead of `now`.
    // A missing, unreadable or damaged file, or a damaged entry, gives nothing; a mistyped reset
    // time leaves only the reset out.
    std::vector<ClaudeLimitReading> readings;
    FileStamp stamp;                      // the file as it was read
    std::optional<FileError> unreadable;  // there, but it could not be read
};

Contents read(const QString& path, TimeMs now);
// read(path, now).readings.
std::vector<ClaudeLimitReading> load(const QString& path, TimeMs now);

// The readings of `fresh` that add to `kept` by the rule above (each compared with the newest
// of its window and source in `kept`, or in `fresh` before it).
std::vector<ClaudeLimitReading> worthKeeping(const std::vector<ClaudeLimitReading>& kept,
                                             const std::vector<ClaudeLimitReading>& fresh);

enum class RecordOutcome {
    stored,     // the file holds the readings worth keeping
    unchanged,  // none was worth keeping
    busy,       // another process held the lock past the wait: dropped
    failed      // the file could not be read or written: dropped
};

struct RecordResult {
    RecordOutcome outcome = RecordOutcome::unchanged;
    std::optional<FileError> error;  // why, when busy or failed
    // The series as known after the call, ascending: the file's, with `fresh` added even when
    // they could not be stored.
    std::vector<ClaudeLimitReading> readings;
};

// Adds `fresh` to the file by the rules above, waiting at most `lockWaitMs` for the lock. A
// damaged file is started afresh; one that cannot be read is left alone. `known`, what the
// caller read of the file just before, spares reading it again when no one replaced it since.
RecordResult record(const QString& path, const std::vector<ClaudeLimitReading>& fresh, TimeMs now,
                    int lockWaitMs = kLockWaitMs, const Contents* known = nullptr);

}  // namespace ClaudeLimitReadingsFile
}  // namespace qm
