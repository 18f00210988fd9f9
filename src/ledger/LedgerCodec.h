#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ledger/LedgerRecords.h"

namespace qm::ledger {

// The index file's format. A change to it changes kIndexVersion, and an index of another
// version is rebuilt, not read.
inline constexpr std::uint32_t kIndexVersion = 2;

std::string encodeIndex(const std::vector<FileEntry>& files);
// None when the bytes are not a whole, intact index of this version.
std::optional<std::vector<FileEntry>> decodeIndex(std::string_view bytes);
// The hash an index's header carries over its payload: what a journal names its base by.
std::optional<std::uint64_t> indexHash(std::string_view bytes);

// The journal beside the index: what changed since the index was written, one record per
// file read or dropped, appended without rewriting the index. It names the index it follows
// by that index's hash, and is read only over that index. Every record carries its own hash,
// so a record cut short by a crash ends the journal there: each record holds a file's whole
// entry, so whatever prefix survives is a consistent state to read on from.
std::string encodeJournalStart(std::uint64_t indexHash);
std::string encodeJournalEntry(const FileEntry& entry);
std::string encodeJournalRemoval(const QString& path);

struct JournalReplay {
    bool applies = false;  // the journal follows this index
    bool intact = false;   // every byte of it was a whole record
};
// Applies the journal's records to `files`, keyed by path, in order.
JournalReplay replayJournal(std::string_view bytes, std::uint64_t indexHash,
                            std::unordered_map<QString, FileEntry>& files);

}  // namespace qm::ledger
