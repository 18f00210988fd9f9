#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/LedgerParsers.h"
#include "ledger/LogDiscovery.h"

// OpenCode's database (from release 1.2.0): one file that holds every session. The index keeps
// the database as an entry of its own, which only says how the file stood when its sessions
// were last listed, and each session as an entry named "<database>#session=<id>": a session
// is read, listed in reports and dropped when deleted just like a log file of another tool.
namespace qm::ledger::opencode {

QString sessionPath(const QString& database, const QString& session);
// What every session path of `database` starts with.
std::string sessionPrefix(const std::string& database);
// Which of OpenCode's entries `path` names: a session inside a database, a session of the JSON
// storage (its folder of messages), or else a database (asked of every entry a walk finds,
// in the file system's encoding, so it costs no conversion).
bool isDatabaseSession(const QString& path);
bool isStorageSession(const QString& path);
bool isDatabase(std::string_view path);

// The database and its write-ahead log as one identity: a commit changes the log, a checkpoint
// the database. None when there is no database file at `path`.
std::optional<FileIdentity> databaseIdentity(const std::string& path);

// Every session of the database, each with an identity that changes when a part is added to
// or removed from it. Reads the index of parts by session and each session's newest part, in
// one short transaction.
// None when the database cannot be read now (busy, locked, damaged, not OpenCode's): the
// sessions stand as the index has them and the next walk tries again.
std::optional<std::vector<FoundLog>> listSessions(const std::string& database);

// Brings a session's entry up to date: the step-finish parts added since the last read, each
// counted once even when a revert deletes it later (it was billed), and the prompts. The
// database is opened read-only and held only for the read's one transaction.
void readDatabaseSession(FileEntry& entry, ParseScratch& scratch);

}  // namespace qm::ledger::opencode
