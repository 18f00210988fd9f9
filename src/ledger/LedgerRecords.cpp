#include "ledger/LedgerRecords.h"

#include <QDateTime>
#include <QFile>
#include <algorithm>
#include <atomic>
#include <tuple>

#include "core/Clock.h"
#include "core/UsageFigures.h"
#include "ledger/ByteCodec.h"
#include "ledger/LedgerCodec.h"
#include "readers/CliLogParsing.h"

namespace qm::ledger {

Counts& Counts::operator+=(const Counts& o) {
    using CliLogParsing::addCounts;
    input = addCounts(input, o.input);
    cachedInput = addCounts(cachedInput, o.cachedInput);
    cacheWrite = addCounts(cacheWrite, o.cacheWrite);
    cacheWrite1h = addCounts(cacheWrite1h, o.cacheWrite1h);
    output = addCounts(output, o.output);
    reasoning = addCounts(reasoning, o.reasoning);
    prompts = addCounts(prompts, o.prompts);
    calls = addCounts(calls, o.calls);
    costNanos = addCounts(costNanos, o.costNanos);
    return *this;
}

namespace {
std::array<std::atomic<std::int64_t>, 3> g_decoded{};

int slotOf(EntryPart part) {
    return part == kRowsPart ? 0 : part == kRecentPart ? 1 : 2;
}
}  // namespace

std::array<std::int64_t, 3> decodedParts() {
    return {g_decoded[0].load(), g_decoded[1].load(), g_decoded[2].load()};
}

void FileEntry::need(std::uint8_t parts) const {
    for (const EntryPart part : {kRowsPart, kRecentPart, kKeysPart}) {
        if (!(parts & part) || (loaded_ & part)) continue;
        loaded_ |= part;
        ++g_decoded[slotOf(part)];
        const std::string_view bytes = stored_.bytes[slotOf(part)];
        stored_.bytes[slotOf(part)] = {};
        if (hash64(bytes) == stored_.hashes[slotOf(part)] &&
            decodePart(part, bytes, const_cast<FileEntry&>(*this)))
            continue;
        // Bytes that changed since they were written, or that were written to fit their hash
        // but do not decode: nothing of the index is trusted. Removed without its lock: at
        // worst a good index written meanwhile is built again.
        if (!stored_.index.isEmpty()) {
            QFile::remove(stored_.index + QStringLiteral(".journal"));
            QFile::remove(stored_.index);
        }
        FileEntry& self = const_cast<FileEntry&>(*this);
        loaded_ = kAllParts;
        stored_ = {};
        self.restart();
        self.identity = {};
        return;
    }
    if (loaded_ == kAllParts) stored_.owner.reset();
}

std::string_view FileEntry::storedPart(EntryPart part) const {
    return (loaded_ & part) ? std::string_view() : stored_.bytes[slotOf(part)];
}

void FileEntry::clearParts() {
    models.clear();
    rows.clear();
    facts.clear();
    recent.clear();
    keys.clear();
    skipped.clear();
    open.clear();
}

void FileEntry::setStored(StoredParts stored) {
    stored_ = std::move(stored);
    loaded_ = 0;
    clearParts();
}

bool FileEntry::operator==(const FileEntry& o) const {
    need(kAllParts);
    o.need(kAllParts);
    return std::tie(path, tool, identity, headLength, headHash, offset, state, session, project,
                    subordinate, skippedLines, firstHour, lastActiveAt, models, rows, facts, recent,
                    keys, skipped, open) ==
           std::tie(o.path, o.tool, o.identity, o.headLength, o.headHash, o.offset, o.state,
                    o.session, o.project, o.subordinate, o.skippedLines, o.firstHour,
                    o.lastActiveAt, o.models, o.rows, o.facts, o.recent, o.keys, o.skipped, o.open);
}

bool FileEntry::isSkipped(std::uint64_t key) const {
    return std::binary_search(skipped.begin(), skipped.end(), key);
}

void FileEntry::restart() {
    loaded_ = kAllParts;
    stored_ = {};
    offset = 0;
    state.clear();
    session.clear();
    project.clear();
    subordinate = false;
    clearParts();
    pendingCalls.clear();
    pendingPrompts.clear();
    skippedLines = 0;
    firstHour = kNoHour;
    lastActiveAt = 0;
}

void FileEntry::compact() {
    models.shrink_to_fit();
    rows.shrink_to_fit();
    recent.shrink_to_fit();
    keys.shrink_to_fit();
    skipped.shrink_to_fit();
    open.shrink_to_fit();
    if (pendingCalls.empty()) std::vector<PendingCall>().swap(pendingCalls);
    if (pendingPrompts.empty()) std::vector<PendingPrompt>().swap(pendingPrompts);
    facts.squeeze();
    state.squeeze();
}

bool FileEntry::pruneRecent(TimeMs horizon) {
    return std::erase_if(recent, [horizon](const RecentRecord& r) { return r.at < horizon; }) > 0;
}

std::uint16_t FileEntry::modelIndex(const QString& model) {
    const QString name = model.isEmpty() ? QStringLiteral("unknown") : model;
    const auto found = std::find(models.begin(), models.end(), name);
    if (found != models.end()) return std::uint16_t(found - models.begin());
    // A file naming more models than this is not a real log; the rest share the last name.
    if (models.size() >= 0xFFFF) return 0xFFFE;
    models.push_back(name);
    return std::uint16_t(models.size() - 1);
}

bool countsInRange(const Counts& c) {
    for (const std::int64_t n : {c.input, c.cachedInput, c.cacheWrite, c.cacheWrite1h, c.output,
                                 c.reasoning, c.prompts, c.calls, c.costNanos}) {
        if (!UsageFigures::isTokenCount(n)) return false;
    }
    return true;
}

bool plausibleCall(Hour hour, const Counts& c) {
    return countsInRange(c) && !UsageFigures::checkTimestamp(startOf(hour), systemNow());
}

void FileEntry::add(Hour hour, const QString& model, std::uint8_t flags, const Counts& counts) {
    if (!plausibleCall(hour, counts)) return;
    const std::uint16_t index = modelIndex(model);
    firstHour = std::min(firstHour, hour);
    // Rows arrive in time order, so the row to add to is nearly always among the last few.
    for (auto it = rows.rbegin(); it != rows.rend() && it - rows.rbegin() < 8; ++it) {
        if (it->hour == hour && it->model == index && it->flags == flags) {
            Counts sum = it->counts;
            sum += counts;
            // A row whose sum would pass the rule is left as it is and another one begun:
            // the readers add up rows of the same hour and model anyway.
            if (!countsInRange(sum)) break;
            it->counts = sum;
            return;
        }
    }
    rows.push_back({hour, index, flags, counts});
}

void FileEntry::remove(Hour hour, std::uint16_t model, std::uint8_t flags, const Counts& c) {
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        Counts& r = it->counts;
        if (it->hour != hour || it->model != model || it->flags != flags || r.calls < c.calls ||
            r.input < c.input || r.output < c.output)
            continue;
        r.input -= c.input;
        r.cachedInput -= std::min(r.cachedInput, c.cachedInput);
        r.cacheWrite -= std::min(r.cacheWrite, c.cacheWrite);
        r.cacheWrite1h -= std::min(r.cacheWrite1h, c.cacheWrite1h);
        r.output -= c.output;
        r.reasoning -= std::min(r.reasoning, c.reasoning);
        r.prompts -= std::min(r.prompts, c.prompts);
        r.calls -= c.calls;
        r.costNanos -= std::min(r.costNanos, c.costNanos);
        if (r == Counts{}) rows.erase(std::next(it).base());
        return;
    }
}

std::int64_t skippedLines(const std::vector<FileEntry>& files,
                          const std::vector<ProviderKind>& tools) {
    std::int64_t skipped = 0;
    for (const FileEntry& file : files) {
        if (tools.empty() || std::find(tools.begin(), tools.end(), file.tool) != tools.end())
            skipped = CliLogParsing::addCounts(skipped, file.skippedLines);
    }
    return skipped;
}

}  // namespace qm::ledger
