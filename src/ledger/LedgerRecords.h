#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "core/UsageModels.h"

// What the usage index keeps: per log file its identity, how far it was read, the state needed
// to read on from there, and token counts per UTC hour and model. Tokens only: costs are
// priced when shown, so a price correction applies to the past as well.
namespace qm::ledger {

// Hours since the Unix epoch, UTC.
using Hour = std::int32_t;

inline Hour hourOf(TimeMs at) {
    return Hour(at >= 0 ? at / 3'600'000 : (at - 3'599'999) / 3'600'000);
}
inline TimeMs startOf(Hour hour) {
    return TimeMs(hour) * 3'600'000;
}

// Calls whose input side exceeds this many tokens are kept apart, so prices that change
// above it can be applied to them alone.
inline constexpr std::int64_t kLargeCallInput = 200'000;

struct Counts {
    std::int64_t input = 0;  // every input token: fresh input, cache reads, cache writes
    std::int64_t cachedInput = 0;
    std::int64_t cacheWrite = 0;    // part of `input`
    std::int64_t cacheWrite1h = 0;  // part of `cacheWrite` (Anthropic's one-hour writes)
    std::int64_t output = 0;        // includes `reasoning`
    std::int64_t reasoning = 0;
    std::int64_t prompts = 0;
    std::int64_t calls = 0;
    // What the tool itself recorded the calls cost, in billionths of a dollar (rows with
    // kRecordedCost only): shown instead of a price-list estimate.
    std::int64_t costNanos = 0;

    Counts& operator+=(const Counts& other);
    bool operator==(const Counts&) const = default;
};

enum RowFlag : std::uint8_t {
    kLargeCalls = 1,    // the counts of calls above kLargeCallInput
    kEstimated = 2,     // not logged by the tool but estimated (a Grok session's context fill)
    kRecordedCost = 4,  // the tool logged what the calls cost (Counts::costNanos)
};

struct HourRow {
    Hour hour = 0;
    std::uint16_t model = 0;  // index into FileEntry::models
    std::uint8_t flags = 0;
    Counts counts;
    bool operator==(const HourRow&) const = default;
};

// A Claude Code request as one file holds it: the 64-bit hash of its request and message ids
// (the same request in another file has the same key) and its figures, its repeated lines merged.
struct KeyedCall {
    std::uint64_t key = 0;
    Hour hour = 0;
    std::uint16_t model = 0;
    std::uint8_t flags = 0;
    Counts counts;
    bool operator==(const KeyedCall&) const = default;
};

// What a read found that another file may hold too (a resumed session's file copies the
// conversation it goes on from): kept aside by the reader until the update has settled which
// file counts each key, then counted or passed over. Never stored.
struct PendingCall {
    KeyedCall call;
    TimeMs at = 0;
};
struct PendingPrompt {
    std::uint64_t key = 0;  // salted apart from request keys (see promptKey)
    TimeMs at = 0;
    QString model;  // the model of the session at the time
    QString task;   // what the prompt would make the session's task
};
// Prompt keys share one list with request keys: salted so the two never meet.
inline std::uint64_t promptKey(std::uint64_t idHash) {
    return idHash ^ 0x5bd1e9955bd1e995ull;
}

// Something a five-hour summary counts only when it falls inside the window, kept with the
// millisecond it happened at. Kept while it can still fall in a window (see kRecentSpan).
struct RecentRecord {
    TimeMs at = 0;
    std::uint8_t kind = 0;  // the tool's own kinds
    std::int64_t value = 0;
    QByteArray detail;  // what a kind needs beyond one number, in the tool's encoding
    bool operator==(const RecentRecord&) const = default;
};

// How far back recent records are kept: the summaries look back five hours, a day leaves room
// for a clock that is off or a summary asked for a longer window.
inline constexpr TimeMs kRecentSpan = 24 * 3'600'000;

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Whether one call's counts, in `hour`, are usage rather than a fault or a forgery: every count
// a token count by the rule for figures from outside (UsageFigures::isTokenCount), and no hour
// more than a day ahead. What a log says past that is left out of every sum.
bool plausibleCall(Hour hour, const Counts& counts);
// Whether every count is a token count by that rule: what each count the index keeps holds to
// (an hour's row is split before a sum would pass it), and what reading the index back checks.
bool countsInRange(const Counts& counts);

// An entry's parts beyond its head, each decoded only when first asked for (see need()): a
// call that finds a file unchanged and sums its rows never decodes the rest.
enum EntryPart : std::uint8_t {
    kRowsPart = 1,    // models, rows
    kRecentPart = 2,  // facts, recent
    kKeysPart = 4,    // keys, skipped, open
    kAllParts = 7,
};

// The stored bytes of parts not decoded yet, and what keeps them mapped.
struct StoredParts {
    std::shared_ptr<const void> owner;
    std::string_view bytes[3];  // rows, recent, keys
    std::uint64_t hashes[3];    // of each, as the index's heads give them
    QString index;              // the file they were read from
};

inline constexpr Hour kNoHour = std::numeric_limits<Hour>::max();

struct FileEntry {
    QString path;
    ProviderKind tool = ProviderKind::codex;
    FileIdentity identity;
    std::uint32_t headLength = 0;  // how many leading bytes `headHash` covers
    std::uint64_t headHash = 0;
    std::int64_t offset = 0;  // bytes read: always just after a line break
    QByteArray state;         // the tool's reader state at `offset`
    QString session;
    QString project;
    bool subordinate = false;  // a sub-agent's file: it adds usage to `session`, no prompts
    // Lines read whose figures break the rule for figures from outside: left out of every sum,
    // and counted so that a report can say so however long ago they were read.
    std::int64_t skippedLines = 0;
    // The earliest hour of anything read, counted or not: which of several files holding the
    // same request counts it (see claimsBefore).
    Hour firstHour = kNoHour;
    // When the newest call or prompt read happened (the newer agents' readers keep it): which
    // sessions a five-hour summary lists, without decoding any entry's parts.
    TimeMs lastActiveAt = 0;

    // Part kRowsPart: what this file counts, per hour, model and kind of call. A request or
    // prompt that an earlier file holds too is counted there, not here.
    mutable std::vector<QString> models;
    mutable std::vector<HourRow> rows;
    // Part kRecentPart: the session as a five-hour summary lists it, in the tool's encoding
    // (see SessionFacts.h), and what it counts only inside the window.
    mutable QByteArray facts;
    mutable std::vector<RecentRecord> recent;
    // Part kKeysPart (Claude Code): every request and prompt key the file holds, sorted; those
    // of them counted by another file, sorted; and the last requests read, whose repeated
    // lines may still raise their figures.
    mutable std::vector<std::uint64_t> keys;
    mutable std::vector<std::uint64_t> skipped;
    mutable std::vector<KeyedCall> open;

    // What the last read found that other files may hold (see PendingCall); never stored.
    std::vector<PendingCall> pendingCalls;
    std::vector<PendingPrompt> pendingPrompts;
    // A file read from its start counts all it holds at once, as if no other file held any of
    // it, unless told to wait for the update to settle that (it was found to share some); the
    // update reads it again when it was wrong. Never stored.
    bool settleLater = false;

    // Decodes `parts` if they are still stored. A part that passed the index's hash but does
    // not decode (a forged index) leaves the entry empty, and the index is removed so that
    // the next update builds it anew.
    void need(std::uint8_t parts) const;
    bool isLoaded(std::uint8_t parts) const { return (loaded_ & parts) == parts; }
    // The parts still stored, to be written out as they are.
    std::string_view storedPart(EntryPart part) const;
    void setStored(StoredParts stored);

    // Forgets what was read (the file is to be read again from its start).
    void restart();
    // Gives back the room its lists grew while it was read: a first build holds every file's
    // entry at once.
    void compact();
    std::uint16_t modelIndex(const QString& model);
    void add(Hour hour, const QString& model, std::uint8_t flags, const Counts& counts);
    // Takes back what add() added (a request whose repeated lines raised its figures).
    void remove(Hour hour, std::uint16_t model, std::uint8_t flags, const Counts& counts);
    // Drops the recent records from before `horizon`; true when there were any.
    bool pruneRecent(TimeMs horizon);
    bool isSkipped(std::uint64_t key) const;
    // The same entries, whatever has been decoded of each.
    bool operator==(const FileEntry& other) const;

private:
    void clearParts();

    mutable std::uint8_t loaded_ = kAllParts;
    mutable StoredParts stored_;
};

// How many parts have been decoded from stored bytes, by part (rows, recent, keys), since the
// process started: what a warm call touched.
std::array<std::int64_t, 3> decodedParts();

// The lines skipped in `files`, of the tools `tools` (every tool when empty).
std::int64_t skippedLines(const std::vector<FileEntry>& files,
                          const std::vector<ProviderKind>& tools = {});

// One aggregate as reports read it: the index flattened, duplicates removed.
struct UsageSlice {
    Hour hour = 0;
    ProviderKind tool = ProviderKind::codex;
    QString model;
    QString project;
    QString session;
    std::uint8_t flags = 0;
    Counts counts;
    bool operator==(const UsageSlice&) const = default;
};

}  // namespace qm::ledger
