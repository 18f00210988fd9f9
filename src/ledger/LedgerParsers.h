#pragma once

#include <simdjson.h>

#include <cstdint>
#include <functional>

#include "ledger/LedgerRecords.h"
#include "ledger/LogTail.h"

// The index's readers: each adds to a file's entry what the bytes from the entry's offset on
// hold, and leaves the entry's state ready for the next read. They follow the summary readers'
// rules (what is a prompt, which lines a fork or a sub-agent copied, how requests repeat).
namespace qm::ledger {

// What one thread reuses from file to file.
struct ParseScratch {
    LogTail tail;
    simdjson::dom::parser dom;
    simdjson::ondemand::parser ondemand;
};

// Where the file stands: open as `fd`, `size` bytes, last modified at `modifiedAt`.
struct OpenLog {
    int fd = -1;
    std::int64_t size = 0;
    TimeMs modifiedAt = 0;
    std::function<void(std::int64_t)> progress;  // bytes read, as they are read
};

// Codex rollouts: token deltas of the cumulative totals, per turn model.
void readCodex(FileEntry& entry, const OpenLog& log, ParseScratch& scratch);
// Claude Code transcripts: keyed requests and prompts, so copies in other files drop out.
void readClaudeCode(FileEntry& entry, const OpenLog& log, ParseScratch& scratch);
// Grok's updates.jsonl: the usage of every finished turn.
void readGrok(FileEntry& entry, const OpenLog& log, ParseScratch& scratch);
// Gemini chat recordings: records are appended again when they change, so the whole file is
// read each time it changes. Returns through `entry` with the offset at the file's end.
void readGemini(FileEntry& entry, const OpenLog& log, ParseScratch& scratch);

}  // namespace qm::ledger
