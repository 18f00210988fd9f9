#include "ledger/LedgerCodec.h"

#include "ledger/ByteCodec.h"

namespace qm::ledger {
namespace {

constexpr std::string_view kMagic = "QMUSAGE\n";
constexpr std::size_t kHeaderBytes = 8 + 4 + 8;  // magic, version, payload hash
constexpr std::string_view kJournalMagic = "QMJOURN\n";
constexpr std::size_t kJournalHeaderBytes = 8 + 4 + 8;  // magic, version, the index's hash
constexpr std::size_t kRecordHeaderBytes = 4 + 8;       // payload length, payload hash
enum RecordKind : std::uint8_t { kEntry = 1, kRemoval = 2 };

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
    return true;
}

// What the five-hour summaries need beyond the hourly rows.
void putSummaryFacts(ByteWriter& w, const FileEntry& f) {
    w.putBytes(f.facts);
    w.put(std::uint32_t(f.recent.size()));
    for (const RecentRecord& record : f.recent) {
        w.put(record.at);
        w.put(record.kind);
        w.put(record.value);
        w.putBytes(record.detail);
    }
}

bool getSummaryFacts(ByteReader& r, FileEntry& f) {
    std::uint32_t n = 0;
    r.getBytes(f.facts);
    if (!r.get(n) || std::size_t(n) * (8 + 1 + 8 + 4) > r.remaining()) return false;
    f.recent.resize(n);
    for (RecentRecord& record : f.recent) {
        r.get(record.at);
        r.get(record.kind);
        r.get(record.value);
        r.getBytes(record.detail);
    }
    return r.ok();
}

void putEntry(ByteWriter& w, const FileEntry& f) {
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
    w.put(std::uint32_t(f.models.size()));
    for (const QString& model : f.models) w.putText(model);
    w.put(std::uint32_t(f.rows.size()));
    for (const HourRow& row : f.rows) {
        w.put(row.hour);
        w.put(row.model);
        w.put(row.flags);
        putCounts(w, row.counts);
    }
    w.put(std::uint32_t(f.calls.size()));
    for (const KeyedCall& call : f.calls) {
        w.put(call.key);
        w.put(call.hour);
        w.put(call.model);
        w.put(call.flags);
        putCounts(w, call.counts);
    }
    w.put(std::uint32_t(f.prompts.size()));
    for (const KeyedPrompt& prompt : f.prompts) {
        w.put(prompt.key);
        w.put(prompt.hour);
        w.put(prompt.model);
    }
    putSummaryFacts(w, f);
}

// A count read from the file is believed only as far as the bytes left could hold.
bool getCount(ByteReader& r, std::uint32_t& n, std::size_t minBytesEach) {
    return r.get(n) && std::size_t(n) * minBytesEach <= r.remaining();
}

bool getEntry(ByteReader& r, FileEntry& f) {
    std::uint8_t tool = 0;
    std::uint8_t subordinate = 0;
    std::uint32_t n = 0;
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
    if (!r.ok() || tool > std::uint8_t(ProviderKind::claudeCode)) return false;
    f.tool = ProviderKind(tool);
    f.subordinate = subordinate != 0;
    if (!getCount(r, n, 4)) return false;
    f.models.resize(n);
    for (QString& model : f.models) r.getText(model);
    if (!getCount(r, n, 7 + 64)) return false;
    f.rows.resize(n);
    for (HourRow& row : f.rows) {
        r.get(row.hour);
        r.get(row.model);
        r.get(row.flags);
        if (!getCounts(r, row.counts) || row.model >= f.models.size()) return false;
    }
    if (!getCount(r, n, 15 + 64)) return false;
    f.calls.resize(n);
    for (KeyedCall& call : f.calls) {
        r.get(call.key);
        r.get(call.hour);
        r.get(call.model);
        r.get(call.flags);
        if (!getCounts(r, call.counts) || call.model >= f.models.size()) return false;
    }
    if (!getCount(r, n, 14)) return false;
    f.prompts.resize(n);
    for (KeyedPrompt& prompt : f.prompts) {
        r.get(prompt.key);
        r.get(prompt.hour);
        r.get(prompt.model);
        if (r.ok() && prompt.model >= f.models.size() && !f.models.empty()) return false;
    }
    return r.ok() && getSummaryFacts(r, f);
}

std::string record(std::string_view payload) {
    ByteWriter out;
    out.put(std::uint32_t(payload.size()));
    out.put(hash64(payload));
    out.bytes().append(payload);
    return std::move(out.bytes());
}

// One record's payload applied to `files`; false when it is not a record this version writes.
bool applyRecord(std::string_view payload, std::unordered_map<QString, FileEntry>& files) {
    ByteReader r(payload);
    std::uint8_t kind = 0;
    if (!r.get(kind)) return false;
    if (kind == kRemoval) {
        QString path;
        if (!r.getText(path) || !r.atEnd()) return false;
        files.erase(path);
        return true;
    }
    FileEntry entry;
    if (kind != kEntry || !getEntry(r, entry) || !r.atEnd()) return false;
    QString path = entry.path;
    files.insert_or_assign(std::move(path), std::move(entry));
    return true;
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
        if (hash64(payload) != hash || !applyRecord(payload, files)) return replay;
        rest.remove_prefix(kRecordHeaderBytes + length);
    }
    replay.intact = rest.empty();
    return replay;
}

}  // namespace qm::ledger
