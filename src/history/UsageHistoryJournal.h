#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/AtomicFile.h"
#include "core/HistoryRecords.h"
#include "core/SharedFile.h"

namespace qm {

// The append-only journal beside the history file ("<history>.journal"). Every accepted record
// is appended and synced as one line before it is reported, so a kill loses nothing; the
// history file is rewritten from memory now and then, after which the journal starts afresh.
//
// The first line names the history file the journal extends (its identity, size and time).
// Once a newer history file has replaced that one, the journal's records are all in it: a
// journal whose first line names another file is stale and is not replayed, so a process
// killed between rewriting the file and starting a new journal counts nothing twice.
namespace UsageHistoryJournal {

QString pathFor(const QString& historyPath);

std::string header(const FileStamp& base);
// One record as a line: a history document holding only that record, without line breaks.
std::string line(const ClaudeUsageSnapshot& snapshot);
std::string line(const GeminiUsageRecord& record);
std::string line(const ApiUsageRecord& record);

// What a read of the journal from `offset` found.
struct Read {
    FileStamp journal;              // the journal file as it was read (exists false: none)
    std::optional<FileStamp> base;  // the history file named by the first line
    UsageHistoryData records;       // from the complete lines after `offset`
    std::int64_t consumed = 0;      // offset just after the last complete line
    bool endsInLineBreak = true;    // false after a torn append: the next one starts a line
    std::optional<FileError> error;
};
// Reads the journal from `offset` (0: from its start, header included). Lines that cannot be
// decoded (the torn end of an append cut short by a kill) are skipped.
Read read(const QString& path, std::int64_t offset);

// Appends `text` (in the system's hands once this returns: a kill of the process no longer
// loses it; with `synced`, on the disk); `lineBreakFirst` ends a torn line before it. An append
// that fails leaves the journal as it was (its writers hold the history's lock, so nobody
// appends meanwhile).
std::optional<FileError> append(const QString& path, std::string_view text, bool lineBreakFirst,
                                FileStamp* after, bool synced = false);
// Syncs the journal's appended lines to the disk.
std::optional<FileError> sync(const QString& path);

}  // namespace UsageHistoryJournal
}  // namespace qm
