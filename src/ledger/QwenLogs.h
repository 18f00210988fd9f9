#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "ledger/LedgerParsers.h"
#include "ledger/LogDiscovery.h"

// Qwen Code's logs: the chat transcripts (one JSON line per record, appended), the sub-agents'
// transcripts, the monthly usage ledger, and the whole-document sessions of its first releases.
namespace qm::ledger {

// The Qwen folders under `home`: QWEN_HOME, else ~/.qwen; and QWEN_RUNTIME_DIR when set and
// elsewhere. Environment variables count only when `home` is the user's real home
// (QDir::homePath()): a test's temporary home never reads the machine's own logs.
QStringList qwenDirectories(const QString& home);
// Every Qwen log under those folders, appended to `found` (order does not matter; links are not
// followed): projects/<slug>/chats/<id>.jsonl and chats/archive/<id>.jsonl (never
// *.ledger.jsonl or other sidecars), projects/<slug>/subagents/<id>/agent-<agent>.jsonl, and
// usage/token-usage-YYYY-MM.jsonl; and the earliest releases' tmp/<hash>/chats/session-*.json.
void discoverQwenLogs(const QStringList& directories, std::vector<FoundLog>& found);
// Reads the bytes of one Qwen log from entry.offset on (see OpenLog/ParseScratch in
// LedgerParsers.h), as the other readers do; a whole-document file (pre-0.4.0) is read whole.
void readQwen(FileEntry& entry, const OpenLog& log, ParseScratch& scratch);
// Whether readQwen may go on from entry.offset (false for whole-document files).
bool qwenResumable(const QString& path);

}  // namespace qm::ledger
