#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
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

    Counts& operator+=(const Counts& other);
    bool operator==(const Counts&) const = default;
};

enum RowFlag : std::uint8_t {
    kLargeCalls = 1,  // the counts of calls above kLargeCallInput
};

struct HourRow {
    Hour hour = 0;
    std::uint16_t model = 0;  // index into FileEntry::models
    std::uint8_t flags = 0;
    Counts counts;
    bool operator==(const HourRow&) const = default;
};

// A Claude Code request or prompt that a resumed session's file may repeat: kept with the
// 64-bit hash of its key so the same request counts once across files.
struct KeyedCall {
    std::uint64_t key = 0;
    Hour hour = 0;
    std::uint16_t model = 0;
    std::uint8_t flags = 0;
    Counts counts;
    bool operator==(const KeyedCall&) const = default;
};

struct KeyedPrompt {
    std::uint64_t key = 0;
    Hour hour = 0;
    std::uint16_t model = 0;  // the model of the session at the time
    bool operator==(const KeyedPrompt&) const = default;
};

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
    std::vector<QString> models;
    std::vector<HourRow> rows;
    std::vector<KeyedCall> calls;
    std::vector<KeyedPrompt> prompts;
    // The session as a five-hour summary lists it, in the tool's encoding (see SessionFacts.h),
    // and what it counts only inside the window.
    QByteArray facts;
    std::vector<RecentRecord> recent;
    // Lines read whose figures break the rule for figures from outside: left out of every sum,
    // and counted so that a report can say so however long ago they were read.
    std::int64_t skippedLines = 0;

    // Forgets what was read (the file is to be read again from its start).
    void restart();
    std::uint16_t modelIndex(const QString& model);
    void add(Hour hour, const QString& model, std::uint8_t flags, const Counts& counts);
    // Drops the recent records from before `horizon`; true when there were any.
    bool pruneRecent(TimeMs horizon);
    bool operator==(const FileEntry&) const = default;
};

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
