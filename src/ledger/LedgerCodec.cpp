#include "ledger/LedgerCodec.h"

#include <algorithm>
#include <iterator>

#include "core/UsageFigures.h"
#include "ledger/ByteCodec.h"

namespace qm::ledger {
namespace {

constexpr std::string_view kMagic = "QMUSAGE\n";
constexpr std::size_t kHeaderBytes = 8 + 4 + 8;  // magic, version, payload hash
constexpr std::string_view kJournalMagic = "QMJOURN\n";
constexpr std::size_t kJournalHeaderBytes = 8 + 4 + 8;  // magic, version, the index's hash
constexpr std::size_t kRecordHeaderBytes = 4 + 8;       // payload length, payload hash
enum RecordKind : std::uint8_t { kEntry = 1, kRemoval = 2, kDelta = 3 };

void putCounts(ByteWriter& w, const Counts& c) {
    for (std::int64_t v : {c.input, c.cachedInput, c.cacheWrite, c.cacheWrite1h, c.output,
                           c.reasoning, c.prompts, c.calls}) {
        w.put(v);
    }
}

bool getCounts(ByteReader& r, Counts& c) {
    for (std::int64_t* v : {&c.input, &c.cachedInput, &c.cacheWrite, &c.cacheWrite1h, &c.output,
                            &c.reasoning, &c.prompts, &c.calls}) {
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
void putItem(ByteWriter& w, const KeyedPrompt& prompt) {
    w.put(prompt.key);
    w.put(prompt.hour);
    w.put(prompt.model);
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

// What an entry holds besides its lists.
void putScalars(ByteWriter& w, const FileEntry& f) {
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
}

void putEntry(ByteWriter& w, const FileEntry& f) {
    w.putText(f.path);
    w.put(std::uint8_t(f.tool));
    putScalars(w, f);
    putList(w, f.models);
    putList(w, f.rows);
    putList(w, f.calls);
    putList(w, f.prompts);
    // What the five-hour summaries need beyond the hourly rows.
    w.putBytes(f.facts);
    putList(w, f.recent);
}

// A count read from the file is believed only as far as the bytes left could hold.
bool getCount(ByteReader& r, std::uint32_t& n, std::size_t minBytesEach) {
    return r.get(n) && std::size_t(n) * minBytesEach <= r.remaining();
}

// Each item's model is checked against the models the entry ends up with, by the caller.
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
bool getItem(ByteReader& r, KeyedPrompt& prompt) {
    r.get(prompt.key);
    r.get(prompt.hour);
    return r.get(prompt.model);
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
    return 7 + 64;
}
constexpr std::size_t minBytes(const KeyedCall*) {
    return 15 + 64;
}
constexpr std::size_t minBytes(const KeyedPrompt*) {
    return 14;
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

bool getScalars(ByteReader& r, FileEntry& f) {
    std::uint8_t subordinate = 0;
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
    f.subordinate = subordinate != 0;
    return r.ok() && f.skippedLines >= 0;
}

// Whether every item names one of `models` (a prompt may come before any model is known).
bool modelsKnown(const FileEntry& f, std::size_t rowsFrom, std::size_t callsFrom,
                 std::size_t promptsFrom) {
    const std::size_t n = f.models.size();
    const auto known = [n](const auto& items, std::size_t from, bool emptyAllowed) {
        return std::all_of(
            items.begin() + std::ptrdiff_t(from), items.end(),
            [&](const auto& item) { return item.model < n || (emptyAllowed && !n); });
    };
    return known(f.rows, rowsFrom, false) && known(f.calls, callsFrom, false) &&
           known(f.prompts, promptsFrom, true);
}

bool getEntry(ByteReader& r, FileEntry& f) {
    std::uint8_t tool = 0;
    r.getText(f.path);
    r.get(tool);
    if (!getScalars(r, f) || tool > std::uint8_t(ProviderKind::claudeCode)) return false;
    f.tool = ProviderKind(tool);
    return getList(r, f.models) && getList(r, f.rows) && getList(r, f.calls) &&
           getList(r, f.prompts) && modelsKnown(f, 0, 0, 0) && r.getBytes(f.facts) &&
           getList(r, f.recent);
}

// Hashes of items, kDeltaBlock at a time, over their fields (never padding bytes).
struct ItemHash {
    std::uint64_t h = 0x243F6A8885A308D3ull;
    void add(std::uint64_t v) {
        h = (h ^ (v * 0x9E3779B97F4A7C15ull)) * 0xFF51AFD7ED558CCDull;
        h = (h << 31) | (h >> 33);
    }
    void add(const Counts& c) {
        for (std::int64_t v : {c.input, c.cachedInput, c.cacheWrite, c.cacheWrite1h, c.output,
                               c.reasoning, c.prompts, c.calls}) {
            add(std::uint64_t(v));
        }
    }
    void add(const HourRow& row) {
        add(std::uint64_t(std::uint32_t(row.hour)) << 24 | std::uint64_t(row.model) << 8 |
            row.flags);
        add(row.counts);
    }
    void add(const KeyedCall& call) {
        add(call.key);
        add(std::uint64_t(std::uint32_t(call.hour)) << 24 | std::uint64_t(call.model) << 8 |
            call.flags);
        add(call.counts);
    }
    void add(const KeyedPrompt& prompt) {
        add(prompt.key);
        add(std::uint64_t(std::uint32_t(prompt.hour)) << 16 | prompt.model);
    }
    void add(const RecentRecord& record) {
        add(std::uint64_t(record.at));
        add(std::uint64_t(record.value) ^ std::uint64_t(record.kind) << 56);
        add(std::uint64_t(record.detail.size()));
        for (const char c : record.detail) add(std::uint64_t(std::uint8_t(c)));
    }
};

// The hash of block `block` of the first `length` items.
template <typename T>
std::uint64_t blockHash(const std::vector<T>& items, std::size_t length, std::size_t block) {
    ItemHash hash;
    const std::size_t end = std::min(length, (block + 1) * kDeltaBlock);
    for (std::size_t i = block * kDeltaBlock; i < end; ++i) hash.add(items[i]);
    return hash.h;
}

template <typename T>
std::vector<std::uint64_t> blockHashes(const std::vector<T>& items) {
    std::vector<std::uint64_t> blocks((items.size() + kDeltaBlock - 1) / kDeltaBlock);
    for (std::size_t b = 0; b < blocks.size(); ++b) blocks[b] = blockHash(items, items.size(), b);
    return blocks;
}

// How many leading items of the `length` the base had are still as they were: the blocks
// before the first whose hash changed.
template <typename T>
std::size_t keptItems(const std::vector<std::uint64_t>& blocks, std::size_t length,
                      const std::vector<T>& items) {
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        if (std::min(length, (b + 1) * kDeltaBlock) > items.size() ||
            blockHash(items, length, b) != blocks[b]) {
            return b * kDeltaBlock;
        }
    }
    return length;
}

std::uint64_t modelsHash(const std::vector<QString>& models, std::size_t count) {
    std::string names;
    for (std::size_t i = 0; i < count && i < models.size(); ++i) {
        names += models[i].toStdString();
        names.push_back('\n');
    }
    return hash64(names);
}

std::string record(std::string_view payload) {
    ByteWriter out;
    out.put(std::uint32_t(payload.size()));
    out.put(hash64(payload));
    out.bytes().append(payload);
    return std::move(out.bytes());
}

enum class Applied { yes, malformed, refused };

// A delta as read: the entry's new scalars and the lists' new tails, each with how many
// leading items of the base it keeps.
struct Delta {
    EntryBase base;
    FileEntry tail;
    std::uint32_t keptModels = 0;
    std::uint32_t keptRows = 0;
    std::uint32_t keptCalls = 0;
    std::uint32_t keptPrompts = 0;
    std::uint32_t keptRecent = 0;
    std::uint32_t baseFacts = 0;
    std::uint32_t keptFacts = 0;
};

bool getDelta(ByteReader& r, Delta& d) {
    r.getText(d.tail.path);
    r.get(d.base.offset);
    r.get(d.base.models);
    r.get(d.base.rows);
    r.get(d.base.calls);
    r.get(d.base.prompts);
    r.get(d.base.recent);
    if (!getScalars(r, d.tail)) return false;
    return r.get(d.keptModels) && getList(r, d.tail.models) && r.get(d.keptRows) &&
           getList(r, d.tail.rows) && r.get(d.keptCalls) && getList(r, d.tail.calls) &&
           r.get(d.keptPrompts) && getList(r, d.tail.prompts) && r.get(d.baseFacts) &&
           r.get(d.keptFacts) && r.getBytes(d.tail.facts) && r.get(d.keptRecent) &&
           getList(r, d.tail.recent) && r.atEnd();
}

template <typename T>
void splice(std::vector<T>& items, std::uint32_t kept, std::vector<T>& tail) {
    items.resize(kept);
    items.insert(items.end(), std::make_move_iterator(tail.begin()),
                 std::make_move_iterator(tail.end()));
}

// Applied only to the entry the delta was written over: its offset and list lengths must be
// the base's, or the journal does not describe these entries.
Applied applyDelta(ByteReader& r, std::unordered_map<QString, FileEntry>& files) {
    Delta d;
    if (!getDelta(r, d)) return Applied::malformed;
    const auto it = files.find(d.tail.path);
    if (it == files.end()) return Applied::refused;
    FileEntry& f = it->second;
    const EntryBase& base = d.base;
    if (f.offset != base.offset || f.models.size() != base.models || f.rows.size() != base.rows ||
        f.calls.size() != base.calls || f.prompts.size() != base.prompts ||
        f.recent.size() != base.recent || std::size_t(f.facts.size()) != d.baseFacts ||
        d.keptFacts > d.baseFacts || d.keptModels > base.models || d.keptRows > base.rows ||
        d.keptCalls > base.calls || d.keptPrompts > base.prompts || d.keptRecent > base.recent) {
        return Applied::refused;
    }
    FileEntry next = std::move(f);
    d.tail.path = std::move(next.path);
    d.tail.tool = next.tool;
    splice(next.models, d.keptModels, d.tail.models);
    splice(next.rows, d.keptRows, d.tail.rows);
    splice(next.calls, d.keptCalls, d.tail.calls);
    splice(next.prompts, d.keptPrompts, d.tail.prompts);
    splice(next.recent, d.keptRecent, d.tail.recent);
    d.tail.facts.prepend(next.facts.left(qsizetype(d.keptFacts)));
    d.tail.models = std::move(next.models);
    d.tail.rows = std::move(next.rows);
    d.tail.calls = std::move(next.calls);
    d.tail.prompts = std::move(next.prompts);
    d.tail.recent = std::move(next.recent);
    // Kept items name models the base had; while those stay, only the new items need a look.
    const bool modelsKept = d.keptModels == base.models;
    const bool known = modelsKept ? modelsKnown(d.tail, d.keptRows, d.keptCalls, d.keptPrompts)
                                  : modelsKnown(d.tail, 0, 0, 0);
    f = std::move(d.tail);
    return known ? Applied::yes : Applied::refused;
}

// One record's payload applied to `files`.
Applied applyRecord(std::string_view payload, std::unordered_map<QString, FileEntry>& files) {
    ByteReader r(payload);
    std::uint8_t kind = 0;
    if (!r.get(kind)) return Applied::malformed;
    if (kind == kDelta) return applyDelta(r, files);
    if (kind == kRemoval) {
        QString path;
        if (!r.getText(path) || !r.atEnd()) return Applied::malformed;
        files.erase(path);
        return Applied::yes;
    }
    FileEntry entry;
    if (kind != kEntry || !getEntry(r, entry) || !r.atEnd()) return Applied::malformed;
    QString path = entry.path;
    files.insert_or_assign(std::move(path), std::move(entry));
    return Applied::yes;
}

}  // namespace

std::string encodeIndex(const std::vector<FileEntry>& files) {
    ByteWriter payload;
    payload.put(std::uint32_t(files.size()));
    for (const FileEntry& file : files) putEntry(payload, file);
    ByteWriter out;
    out.bytes().append(kMagic);
    out.put(kIndexVersion);
    out.put(hash64(payload.bytes()));
    out.bytes().append(payload.bytes());
    return std::move(out.bytes());
}

std::optional<std::vector<FileEntry>> decodeIndex(std::string_view bytes) {
    if (bytes.size() < kHeaderBytes || !bytes.starts_with(kMagic)) return std::nullopt;
    ByteReader header(bytes.substr(kMagic.size(), kHeaderBytes - kMagic.size()));
    std::uint32_t version = 0;
    std::uint64_t hash = 0;
    header.get(version);
    header.get(hash);
    const std::string_view payload = bytes.substr(kHeaderBytes);
    if (version != kIndexVersion || hash != hash64(payload)) return std::nullopt;
    ByteReader r(payload);
    std::uint32_t count = 0;
    if (!getCount(r, count, 64)) return std::nullopt;
    std::vector<FileEntry> files(count);
    for (FileEntry& file : files) {
        if (!getEntry(r, file)) return std::nullopt;
    }
    if (!r.atEnd()) return std::nullopt;
    return files;
}

std::optional<std::uint64_t> indexHash(std::string_view bytes) {
    if (bytes.size() < kHeaderBytes || !bytes.starts_with(kMagic)) return std::nullopt;
    ByteReader header(bytes.substr(kMagic.size() + 4, 8));
    std::uint64_t hash = 0;
    header.get(hash);
    return hash;
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
    putEntry(payload, entry);
    return record(payload.bytes());
}

EntryBase entryBase(const FileEntry& entry) {
    EntryBase base;
    base.offset = entry.offset;
    base.models = std::uint32_t(entry.models.size());
    base.rows = std::uint32_t(entry.rows.size());
    base.calls = std::uint32_t(entry.calls.size());
    base.prompts = std::uint32_t(entry.prompts.size());
    base.modelsHash = modelsHash(entry.models, entry.models.size());
    base.rowBlocks = blockHashes(entry.rows);
    base.callBlocks = blockHashes(entry.calls);
    base.promptBlocks = blockHashes(entry.prompts);
    base.facts = entry.facts;  // shared, not copied: a read replaces the entry's bytes whole
    base.recent = std::uint32_t(entry.recent.size());
    base.recentBlocks = blockHashes(entry.recent);
    return base;
}

std::string encodeJournalDelta(const EntryBase& base, const FileEntry& entry) {
    const std::size_t keptModels = entry.models.size() >= base.models &&
                                           modelsHash(entry.models, base.models) == base.modelsHash
                                       ? base.models
                                       : 0;
    const std::size_t keptRows = keptItems(base.rowBlocks, base.rows, entry.rows);
    const std::size_t keptCalls = keptItems(base.callBlocks, base.calls, entry.calls);
    const std::size_t keptPrompts = keptItems(base.promptBlocks, base.prompts, entry.prompts);
    const std::size_t keptRecent = keptItems(base.recentBlocks, base.recent, entry.recent);
    const auto sharedFacts =
        std::mismatch(base.facts.begin(), base.facts.end(), entry.facts.begin(), entry.facts.end());
    const auto keptFacts = std::uint32_t(sharedFacts.first - base.facts.begin());
    ByteWriter payload;
    payload.put(std::uint8_t(kDelta));
    payload.putText(entry.path);
    payload.put(base.offset);
    payload.put(base.models);
    payload.put(base.rows);
    payload.put(base.calls);
    payload.put(base.prompts);
    payload.put(base.recent);
    putScalars(payload, entry);
    payload.put(std::uint32_t(keptModels));
    putList(payload, entry.models, keptModels);
    payload.put(std::uint32_t(keptRows));
    putList(payload, entry.rows, keptRows);
    payload.put(std::uint32_t(keptCalls));
    putList(payload, entry.calls, keptCalls);
    payload.put(std::uint32_t(keptPrompts));
    putList(payload, entry.prompts, keptPrompts);
    // The facts as bytes: what the base's leave as they were, then the rest.
    payload.put(std::uint32_t(base.facts.size()));
    payload.put(keptFacts);
    payload.putBytes(entry.facts.mid(qsizetype(keptFacts)));
    payload.put(std::uint32_t(keptRecent));
    putList(payload, entry.recent, keptRecent);
    return record(payload.bytes());
}

std::string encodeJournalRemoval(const QString& path) {
    ByteWriter payload;
    payload.put(std::uint8_t(kRemoval));
    payload.putText(path);
    return record(payload.bytes());
}

JournalReplay replayJournal(std::string_view bytes, std::uint64_t indexHash,
                            std::unordered_map<QString, FileEntry>& files) {
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
    std::string_view rest = bytes.substr(kJournalHeaderBytes);
    while (rest.size() >= kRecordHeaderBytes) {
        ByteReader head(rest.substr(0, kRecordHeaderBytes));
        std::uint32_t length = 0;
        std::uint64_t hash = 0;
        head.get(length);
        head.get(hash);
        if (length > rest.size() - kRecordHeaderBytes) return replay;
        const std::string_view payload = rest.substr(kRecordHeaderBytes, length);
        if (hash64(payload) != hash) return replay;
        const Applied applied = applyRecord(payload, files);
        replay.refused = applied == Applied::refused;
        if (applied != Applied::yes) return replay;
        rest.remove_prefix(kRecordHeaderBytes + length);
    }
    replay.intact = rest.empty();
    return replay;
}

}  // namespace qm::ledger
