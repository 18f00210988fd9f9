#pragma once

#include <QByteArray>
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
inline constexpr std::uint32_t kIndexVersion = 4;

std::string encodeIndex(const std::vector<FileEntry>& files);
// None when the bytes are not a whole, intact index of this version, or hold a count that breaks
// the rule for figures from outside (countsInRange): a file anyone can write is read back like
// a log, and such an index is rebuilt rather than trusted. A journal record of that kind ends
// the journal there, as a torn one does.
std::optional<std::vector<FileEntry>> decodeIndex(std::string_view bytes);
// The hash an index's header carries over its payload: what a journal names its base by.
std::optional<std::uint64_t> indexHash(std::string_view bytes);

// The journal beside the index: what changed since the index was written, one record per
// file read or dropped, appended without rewriting the index. It names the index it follows
// by that index's hash, and is read only over that index. Every record carries its own hash,
// so a record cut short by a crash ends the journal there: each record leaves whole entries
// behind, so whatever prefix survives is a consistent state to read on from.
//
// A file read again from its start, or new, gets a record of its whole entry. A file read on
// from where the entry stopped gets a delta: the entry's new scalars, and of each of its lists
// only the part after what stayed as it was. A long Claude Code session holds megabytes of
// keyed requests, and a refresh that read its last few lines must not write them all again.
std::string encodeJournalStart(std::uint64_t indexHash);
std::string encodeJournalEntry(const FileEntry& entry);
std::string encodeJournalRemoval(const QString& path);

// An entry as it stood before a read on from its offset: its offset, the length of each list,
// and a hash of each run of kDeltaBlock items, so the items a read changed in place (a
// request whose repeated lines raised its figures, a prompt row dropped) are found without
// keeping a copy of the lists.
inline constexpr std::size_t kDeltaBlock = 64;
struct EntryBase {
    std::int64_t offset = 0;
    std::uint32_t models = 0;
    std::uint32_t rows = 0;
    std::uint32_t calls = 0;
    std::uint32_t prompts = 0;
    std::uint32_t recent = 0;
    std::uint64_t modelsHash = 0;
    std::vector<std::uint64_t> rowBlocks;
    std::vector<std::uint64_t> callBlocks;
    std::vector<std::uint64_t> promptBlocks;
    std::vector<std::uint64_t> recentBlocks;
    QByteArray facts;
};
EntryBase entryBase(const FileEntry& entry);
// The record that turns the entry `base` was taken of into `entry`. Replay refuses it unless
// the entry it finds has the base's offset and list lengths.
std::string encodeJournalDelta(const EntryBase& base, const FileEntry& entry);

struct JournalReplay {
    bool applies = false;  // the journal follows this index
    bool intact = false;   // every byte of it was a whole record
    // A whole record that does not fit the entries it was written over: the journal and the
    // index disagree, so neither is to be trusted.
    bool refused = false;
};
// Applies the journal's records to `files`, keyed by path, in order.
JournalReplay replayJournal(std::string_view bytes, std::uint64_t indexHash,
                            std::unordered_map<QString, FileEntry>& files);

}  // namespace qm::ledger
