#pragma once

#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "ledger/LedgerParsers.h"
#include "ledger/LogDiscovery.h"

// OpenCode's JSON storage (releases up to 1.1.x): a file per session, per message and per part,
// each written whole and rewritten in place while an answer streams.
//
//   <storage>/session/<projectID>/<sessionID>.json
//   <storage>/message/<sessionID>/<messageID>.json
//   <storage>/part/<messageID>/<partID>.json
//
// The index keeps one entry per session, named by its folder of messages. Its state says what
// the folders held when last read (message ids, each part folder's stat, the last part read in
// each) and which files were found half-written, so that a walk learns whether anything changed
// from stats alone and a read opens only the files that are new.
namespace qm::ledger {

// One entry per session, named by its folder of messages "<storage>/message/<sessionID>".
// Its identity changes when anything the reader reads changes: computed from stat of that folder,
// of the part folder of each of its messages, and of files a read found half-written. The message
// folder is listed only when its own identity changed; otherwise the message ids come from the
// entry `known` returns for that path (its `state`, which the reader writes). Directories of many
// small files are never re-listed file by file while their modification time is unchanged.
void discoverOpenCodeStorage(const QString& storageDirectory,
                             const std::function<const FileEntry*(const std::string& path)>& known,
                             std::vector<FoundLog>& found);

// Reads what changed in one session: new step-finish parts (each counted once: its partKey in
// entry.keys, kept sorted), the user messages as prompts, the session file for project and
// version. entry.state holds what the next discovery and read need (message ids, the part
// folders' stat as last read, files found half-written).
//
// It sets entry.identity to what a walk finds while nothing changes; when a folder it listed
// was modified so recently that a file could still join it under the same modification time,
// to an identity no walk finds (negative size), so the next walk reads the session again.
void readOpenCodeStorage(FileEntry& entry, ParseScratch& scratch);

}  // namespace qm::ledger
