#include "ledger/LedgerCodec.h"

#include <QSet>
#include <algorithm>
#include <iterator>

#include "core/UsageFigures.h"
#include "ledger/ByteCodec.h"

namespace qm::ledger {
namespace {

constexpr std::string_view kMagic = "QMUSAGE\n";
// magic, version, the heads' hash, the heads' length, the length of each region of parts
constexpr std::size_t kHeaderBytes = 8 + 4 + 8 + 8 + 3 * 8;
constexpr std::string_view kJournalMagic = "QMJOURN\n";
constexpr std::size_t kJournalHeaderBytes = 8 + 4 + 8;  // magic, version, the index's hash
constexpr std::size_t kRecordHeaderBytes = 4 + 8;       // payload length, payload hash
enum RecordKind : std::uint8_t { kEntry = 1, kRemoval = 2, kWalk = 3 };

void putCounts(ByteWriter& w, const Counts& c) {
    for (std::int64_t v : {c.input, c.cachedInput, c.cacheWrite, c.cacheWrite1h, c.output,
                           c.reasoning, c.prompts, c.calls, c.costNanos}) {
        w.put(v);
    }
}

bool getCounts(ByteReader& r, Counts& c) {
    for (std::int64_t* v : {&c.input, &c.cachedInput, &c.cacheWrite, &c.cacheWrite1h, &c.output,
                            &c.reasoning, &c.prompts, &c.calls, &c.costNanos}) {
        if (!r.get(*v)) return false;
    }
    return countsInRange(c);
}

void putItem(ByteWriter& w, const QString& model) {
    w.putText(model);
}
void putItem(ByteWriter& w, const HourRow& row) {
    w.put(row.hour);
    w.put(row.model);
    w.put(row.flags);
    putCounts(w, row.counts);
}
void putItem(ByteWriter& w, const KeyedCall& call) {
    w.put(call.key);
    w.put(call.hour);
    w.put(call.model);
    w.put(call.flags);
    putCounts(w, call.counts);
}
void putItem(ByteWriter& w, std::uint64_t key) {
    w.put(key);
}
void putItem(ByteWriter& w, const RecentRecord& record) {
    w.put(record.at);
    w.put(record.kind);
    w.put(record.value);
    w.putBytes(record.detail);
}

// Items from `from` on, after their count.
template <typename T>
void putList(ByteWriter& w, const std::vector<T>& items, std::size_t from = 0) {
    w.put(std::uint32_t(items.size() - from));
    for (std::size_t i = from; i < items.size(); ++i) putItem(w, items[i]);
}

// What an entry holds besides its parts.
void putHead(ByteWriter& w, const FileEntry& f) {
    w.putText(f.path);
    w.put(std::uint8_t(f.tool));
    w.put(f.identity.device);
    w.put(f.identity.inode);
    w.put(f.identity.size);
    w.put(f.identity.modifiedNs);
    w.put(f.headLength);
    w.put(f.headHash);
    w.put(f.offset);
    w.putBytes(f.state);
    w.putText(f.session);
    w.putText(f.project);
    w.put(std::uint8_t(f.subordinate));
    w.put(f.skippedLines);
    w.put(f.firstHour);
    w.put(f.lastActiveAt);
}

// One part's bytes: as stored when it was never decoded, else encoded afresh.
std::string partBytes(const FileEntry& f, EntryPart part) {
    if (!f.isLoaded(part)) return std::string(f.storedPart(part));
    ByteWriter w;
    switch (part) {
        case kRowsPart:
            putList(w, f.models);
            putList(w, f.rows);
            break;
        case kRecentPart:
            w.putBytes(f.facts);
            putList(w, f.recent);
            break;
        case kKeysPart:
            putList(w, f.keys);
            putList(w, f.skipped);
            putList(w, f.open);
            break;
        case kAllParts:
            break;
    }
    return std::move(w.bytes());
}

constexpr EntryPart kParts[] = {kRowsPart, kRecentPart, kKeysPart};

// A count read from the file is believed only as far as the bytes left could hold.
bool getCount(ByteReader& r, std::uint32_t& n, std::size_t minBytesEach) {
    return r.get(n) && std::size_t(n) * minBytesEach <= r.remaining();
}

bool getItem(ByteReader& r, QString& model) {
    return r.getText(model);
}
bool getItem(ByteReader& r, HourRow& row) {
    r.get(row.hour);
    r.get(row.model);
    r.get(row.flags);
    return getCounts(r, row.counts);
}
bool getItem(ByteReader& r, KeyedCall& call) {
    r.get(call.key);
    r.get(call.hour);
    r.get(call.model);
    r.get(call.flags);
    return getCounts(r, call.counts);
}
bool getItem(ByteReader& r, std::uint64_t& key) {
    return r.get(key);
}
bool getItem(ByteReader& r, RecentRecord& record) {
    r.get(record.at);
    r.get(record.kind);
    r.get(record.value);
    // A record's value is one turn's tokens or a count of one.
    return r.getBytes(record.detail) && UsageFigures::isTokenCount(record.value);
}

constexpr std::size_t minBytes(const QString*) {
    return 4;
}
constexpr std::size_t minBytes(const HourRow*) {
    return 7 + 72;
}
constexpr std::size_t minBytes(const KeyedCall*) {
    return 15 + 72;
}
constexpr std::size_t minBytes(const std::uint64_t*) {
    return 8;
}
constexpr std::size_t minBytes(const RecentRecord*) {
    return 8 + 1 + 8 + 4;
}

template <typename T>
bool getList(ByteReader& r, std::vector<T>& items) {
    std::uint32_t n = 0;
    if (!getCount(r, n, minBytes(static_cast<const T*>(nullptr)))) return false;
    items.resize(n);
    for (T& item : items) {
        if (!getItem(r, item)) return false;
    }
    return true;
}

bool getHead(ByteReader& r, FileEntry& f) {
    std::uint8_t tool = 0;
    std::uint8_t subordinate = 0;
    r.getText(f.path);
    r.get(tool);
    r.get(f.identity.device);
    r.get(f.identity.inode);
    r.get(f.identity.size);
    r.get(f.identity.modifiedNs);
    r.get(f.headLength);
    r.get(f.headHash);
    r.get(f.offset);
    r.getBytes(f.state);
    r.getText(f.session);
    r.getText(f.project);
    r.get(subordinate);
    r.get(f.skippedLines);
    r.get(f.firstHour);
    r.get(f.lastActiveAt);
    f.subordinate = subordinate != 0;
    f.tool = ProviderKind(tool);
    return r.ok() && f.skippedLines >= 0 && tool <= std::uint8_t(ProviderKind::qwenCode);
}

// Whether every item names one of the entry's models (a prompt may come before any model is
// known, so a row of prompts alone may name none while there are none).
bool modelsKnown(const FileEntry& f) {
    const std::size_t n = f.models.size();
    return std::all_of(f.rows.begin(), f.rows.end(),
                       [n](const HourRow& row) {
                           return row.model < n || (n == 0 && row.counts.calls == 0);
                       }) &&
           std::all_of(f.open.begin(), f.open.end(),
                       [n](const KeyedCall& call) { return call.model < n; });
}

// An entry with its parts inline, as a journal record holds it.
void putWholeEntry(ByteWriter& w, const FileEntry& f) {
    putHead(w, f);
    for (const EntryPart part : kParts) {
        const std::string bytes = partBytes(f, part);
        w.put(std::uint32_t(bytes.size()));
        w.bytes().append(bytes);
    }
}

bool getWholeEntry(ByteReader& r, std::string_view all, std::size_t& at, FileEntry& f) {
    if (!getHead(r, f)) return false;
    for (const EntryPart part : kParts) {
        std::uint32_t length = 0;
        if (!getCount(r, length, 1)) return false;
        const std::size_t from = all.size() - r.remaining();
        if (!decodePart(part, all.substr(from, length), f)) return false;
        r.skip(length);
    }
    at = all.size() - r.remaining();
    return r.ok();
}

std::string record(std::string_view payload) {
    ByteWriter out;
    out.put(std::uint32_t(payload.size()));
    out.put(hash64(payload));
    out.bytes().append(payload);
    return std::move(out.bytes());
}

enum class Applied { yes, malformed };

// The entries a journal replays over, found by path; entries it removes are left with an empty
// path until the replay ends.
class EntriesByPath {
public:
    explicit EntriesByPath(std::vector<FileEntry>& files) : files_(files) {}
    FileEntry* find(const QString& path) {
        if (index_.empty()) {
            for (std::size_t i = 0; i < files_.size(); ++i) index_.emplace(files_[i].path, i);
        }
        const auto it = index_.find(path);
        return it == index_.end() || files_[it->second].path.isEmpty() ? nullptr
                                                                       : &files_[it->second];
    }
    void put(FileEntry entry) {
        if (FileEntry* held = find(entry.path)) {
            *held = std::move(entry);
            return;
        }
        index_.insert_or_assign(entry.path, files_.size());
        files_.push_back(std::move(entry));
    }
    void remove(const QString& path) {
        if (FileEntry* held = find(path)) held->path.clear();
    }
    void finish() {
        std::erase_if(files_, [](const FileEntry& f) { return f.path.isEmpty(); });
    }

private:
    std::vector<FileEntry>& files_;
    std::unordered_map<QString, std::size_t> index_;
};

// One record's payload applied to `files`.
Applied applyRecord(std::string_view payload, EntriesByPath& files, TimeMs& lastWalkAt) {
    ByteReader r(payload);
    std::uint8_t kind = 0;
    if (!r.get(kind)) return Applied::malformed;
    if (kind == kRemoval) {
        QString path;
        if (!r.getText(path) || !r.atEnd()) return Applied::malformed;
        files.remove(path);
        return Applied::yes;
    }
    if (kind == kWalk) {
        TimeMs at = 0;
        if (!r.get(at) || !r.atEnd()) return Applied::malformed;
        lastWalkAt = std::max(lastWalkAt, at);
        return Applied::yes;
    }
    FileEntry entry;
    std::size_t at = 0;
    if (kind != kEntry || !getWholeEntry(r, payload, at, entry) || !r.atEnd() ||
        entry.path.isEmpty())
        return Applied::malformed;
    files.put(std::move(entry));
    return Applied::yes;
}

}  // namespace

bool decodePart(EntryPart part, std::string_view bytes, FileEntry& f) {
    ByteReader r(bytes);
    switch (part) {
        case kRowsPart:
            return getList(r, f.models) && getList(r, f.rows) && r.atEnd() && modelsKnown(f);
        case kRecentPart:
            return r.getBytes(f.facts) && getList(r, f.recent) && r.atEnd();
        case kKeysPart:
            return getList(r, f.keys) && getList(r, f.skipped) && getList(r, f.open) && r.atEnd() &&
                   std::is_sorted(f.keys.begin(), f.keys.end()) &&
                   std::is_sorted(f.skipped.begin(), f.skipped.end());
        case kAllParts:
            break;
    }
    return false;
}

// The head of every entry, then the parts, each kind of part together (every entry's rows, then
// every entry's recent records, then every entry's keys): a call that needs only the heads never
// touches the pages of the rest, and one that sums the rows touches only theirs. The heads carry
// each part's length and hash, so a part is checked when it is decoded, and the heads as a whole
// when the index is read.
EncodedIndex encodeIndexParts(const std::vector<FileEntry>& files, TimeMs lastWalkAt) {
    EncodedIndex encoded;
    ByteWriter heads;
    heads.put(lastWalkAt);
    heads.put(std::uint32_t(files.size()));
    for (const FileEntry& file : files) {
        putHead(heads, file);
        for (std::size_t p = 0; p < 3; ++p) {
            const std::string bytes = partBytes(file, kParts[p]);
            heads.put(std::uint32_t(bytes.size()));
            heads.put(hash64(bytes));
            encoded.regions[p] += bytes;
        }
    }
    encoded.heads = std::move(heads.bytes());
    ByteWriter header;
    header.bytes().append(kMagic);
    header.put(kIndexVersion);
    header.put(hash64(encoded.heads));
    header.put(std::uint64_t(encoded.heads.size()));
    for (const std::string& region : encoded.regions) header.put(std::uint64_t(region.size()));
    encoded.header = std::move(header.bytes());
    return encoded;
}

std::vector<std::string_view> EncodedIndex::pieces() const {
    return {header, heads, regions[0], regions[1], regions[2]};
}

std::string encodeIndex(const std::vector<FileEntry>& files, TimeMs lastWalkAt) {
    const EncodedIndex encoded = encodeIndexParts(files, lastWalkAt);
    std::string bytes;
    for (const std::string_view piece : encoded.pieces()) bytes += piece;
    return bytes;
}

std::optional<DecodedIndex> decodeIndex(std::string_view bytes,
                                        const std::shared_ptr<const void>& owner,
                                        const QString& path) {
    if (bytes.size() < kHeaderBytes || !bytes.starts_with(kMagic)) return std::nullopt;
    ByteReader header(bytes.substr(kMagic.size(), kHeaderBytes - kMagic.size()));
    std::uint32_t version = 0;
    std::uint64_t headsHash = 0;
    std::uint64_t headsLength = 0;
    std::uint64_t regionLength[3] = {};
    header.get(version);
    header.get(headsHash);
    header.get(headsLength);
    for (std::uint64_t& length : regionLength) header.get(length);
    std::string_view rest = bytes.substr(kHeaderBytes);
    if (version != kIndexVersion || headsLength > rest.size()) return std::nullopt;
    const std::string_view heads = rest.substr(0, headsLength);
    rest.remove_prefix(headsLength);
    std::string_view regions[3];
    for (std::size_t p = 0; p < 3; ++p) {
        if (regionLength[p] > rest.size()) return std::nullopt;
        regions[p] = rest.substr(0, regionLength[p]);
        rest.remove_prefix(regionLength[p]);
    }
    if (!rest.empty() || headsHash != hash64(heads)) return std::nullopt;
    ByteReader r(heads);
    DecodedIndex index;
    std::uint32_t count = 0;
    if (!r.get(index.lastWalkAt) || !getCount(r, count, 64)) return std::nullopt;
    index.files.resize(count);
    std::size_t at[3] = {};
    // Many files name the same project, and a session's sub-agents its session: one copy each.
    QSet<QString> names;
    const auto shared = [&names](QString& name) {
        const auto known = names.constFind(name);
        if (known != names.constEnd())
            name = *known;
        else
            names.insert(name);
    };
    for (FileEntry& file : index.files) {
        if (!getHead(r, file)) return std::nullopt;
        shared(file.project);
        shared(file.session);
        StoredParts stored{owner, {}, {}, path};
        for (std::size_t p = 0; p < 3; ++p) {
            std::uint32_t length = 0;
            if (!r.get(length) || !r.get(stored.hashes[p]) || length > regions[p].size() - at[p])
                return std::nullopt;
            stored.bytes[p] = regions[p].substr(at[p], length);
            at[p] += length;
        }
        file.setStored(std::move(stored));
    }
    for (std::size_t p = 0; p < 3; ++p) {
        if (at[p] != regions[p].size()) return std::nullopt;
    }
    if (!r.atEnd()) return std::nullopt;
    return index;
}

std::optional<std::uint64_t> indexHash(std::string_view bytes) {
    if (bytes.size() < kHeaderBytes || !bytes.starts_with(kMagic)) return std::nullopt;
    ByteReader header(bytes.substr(kMagic.size() + 4, 8));
    std::uint64_t heads = 0;
    header.get(heads);
    return heads;
}

std::string encodeJournalStart(std::uint64_t indexHash) {
    ByteWriter out;
    out.bytes().append(kJournalMagic);
    out.put(kIndexVersion);
    out.put(indexHash);
    return std::move(out.bytes());
}

std::string encodeJournalEntry(const FileEntry& entry) {
    ByteWriter payload;
    payload.put(std::uint8_t(kEntry));
    putWholeEntry(payload, entry);
    return record(payload.bytes());
}

std::string encodeJournalRemoval(const QString& path) {
    ByteWriter payload;
    payload.put(std::uint8_t(kRemoval));
    payload.putText(path);
    return record(payload.bytes());
}

std::string encodeJournalWalk(TimeMs at) {
    ByteWriter payload;
    payload.put(std::uint8_t(kWalk));
    payload.put(at);
    return record(payload.bytes());
}

JournalReplay replayJournal(std::string_view bytes, std::uint64_t indexHash,
                            std::vector<FileEntry>& files, TimeMs& lastWalkAt) {
    JournalReplay replay;
    if (bytes.size() < kJournalHeaderBytes || !bytes.starts_with(kJournalMagic)) return replay;
    ByteReader header(
        bytes.substr(kJournalMagic.size(), kJournalHeaderBytes - kJournalMagic.size()));
    std::uint32_t version = 0;
    std::uint64_t follows = 0;
    header.get(version);
    header.get(follows);
    if (version != kIndexVersion || follows != indexHash) return replay;
    replay.applies = true;
    EntriesByPath entries(files);
    std::string_view rest = bytes.substr(kJournalHeaderBytes);
    while (rest.size() >= kRecordHeaderBytes) {
        ByteReader head(rest.substr(0, kRecordHeaderBytes));
        std::uint32_t length = 0;
        std::uint64_t hash = 0;
        head.get(length);
        head.get(hash);
        if (length > rest.size() - kRecordHeaderBytes) break;
        const std::string_view payload = rest.substr(kRecordHeaderBytes, length);
        if (hash64(payload) != hash) break;
        if (applyRecord(payload, entries, lastWalkAt) != Applied::yes) break;
        rest.remove_prefix(kRecordHeaderBytes + length);
    }
    entries.finish();
    replay.intact = rest.empty();
    return replay;
}

}  // namespace qm::ledger
