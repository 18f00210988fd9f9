#pragma once

#include <simdjson.h>

#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

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
    // Read-only connections to the databases some agents keep, by path: opened once a thread.
    std::map<QString, std::shared_ptr<void>> databases;
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
// Claude Code transcripts. Requests and prompts with ids are left pending: another file may
// hold them too, and only the update sees every file.
void readClaudeCode(FileEntry& entry, const OpenLog& log, ParseScratch& scratch);
// Counts the pending requests and prompts whose keys `counted` gives to this file and passes
// over the rest, remembering which; records of what falls after `horizon` go to `recent`.
void settleClaude(FileEntry& entry, const std::function<bool(std::uint64_t)>& counted,
                  TimeMs horizon);
// Grok's session folders: updates.jsonl, the usage of every finished turn, read on from the
// entry's offset; or the session's small files (summary.json, signals.json,
// chat_history.jsonl), read whole into its facts, with an estimated call (kEstimated) from the
// context fill when the folder has no updates.jsonl.
void readGrok(FileEntry& entry, const OpenLog& log, ParseScratch& scratch);
// Gemini's logs: chat recordings (records are appended again when they change), logs.json
// prompt logs and older usage logs, each read whole each time it changes.
void readGemini(FileEntry& entry, const OpenLog& log, ParseScratch& scratch);

}  // namespace qm::ledger
