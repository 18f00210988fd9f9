#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ledger/LedgerRecords.h"

namespace qm::ledger {

// The index file's format. A change to it changes kIndexVersion, and an index of another
// version is rebuilt, not read.
inline constexpr std::uint32_t kIndexVersion = 6;

struct DecodedIndex {
    std::vector<FileEntry> files;
    TimeMs lastWalkAt = 0;  // when some process last looked at every log file
};

// Every entry's head, then their parts: see FileEntry::need(). In pieces, written one after
// another, so that the whole is never copied once more.
struct EncodedIndex {
    std::string header;
    std::string heads;
    std::string regions[3];
    std::vector<std::string_view> pieces() const;
};
EncodedIndex encodeIndexParts(const std::vector<FileEntry>& files, TimeMs lastWalkAt);
std::string encodeIndex(const std::vector<FileEntry>& files, TimeMs lastWalkAt);
// None when the bytes are not a whole, intact index of this version. The heads are decoded; the
// parts stay in `bytes`, which `owner` keeps alive, until an entry needs them. A count that
// breaks the rule for figures from outside (countsInRange) fails the part it is in: a file
// anyone can write is read back like a log.
std::optional<DecodedIndex> decodeIndex(std::string_view bytes,
                                        const std::shared_ptr<const void>& owner,
                                        const QString& path = {});
// Decodes one part of an entry into it; false when the bytes are not such a part.
bool decodePart(EntryPart part, std::string_view bytes, FileEntry& entry);
// What a journal names the index it follows by.
std::optional<std::uint64_t> indexHash(std::string_view bytes);

// The journal beside the index: what changed since the index was written, one record per file
// read or dropped, appended without rewriting the index. It names the index it follows by that
// index's hash, and is read only over that index. Every record carries its own hash, so a record
// cut short by a crash ends the journal there: each record leaves whole entries behind, so
// whatever prefix survives is a consistent state to read on from. A record holds the whole
// entry: the index keeps aggregates, so even a long session's entry is small.
std::string encodeJournalStart(std::uint64_t indexHash);
std::string encodeJournalEntry(const FileEntry& entry);
std::string encodeJournalRemoval(const QString& path);
// A walk over every log file at `at` (see LedgerSnapshot::lastWalkAt).
std::string encodeJournalWalk(TimeMs at);

struct JournalReplay {
    bool applies = false;  // the journal follows this index
    bool intact = false;   // every byte of it was a whole record
};
// Applies the journal's records to `files` in order: an entry replaces the one of its path or
// is added at the end, a removal drops the entry of its path.
JournalReplay replayJournal(std::string_view bytes, std::uint64_t indexHash,
                            std::vector<FileEntry>& files, TimeMs& lastWalkAt);

}  // namespace qm::ledger
