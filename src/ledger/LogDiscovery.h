#pragma once

#include <sys/stat.h>

#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "ledger/LedgerRecords.h"
#include "ledger/UsageLedger.h"

namespace qm::ledger {

struct FoundLog {
    std::string path;  // in the file system's encoding
    ProviderKind tool = ProviderKind::codex;
    FileIdentity identity;
};

// A file as the index identifies it: device, inode, size and time of last change.
FileIdentity identityOf(const struct stat& st);

// The folders of `directories` that exist, each once: two configured folders may be one folder
// under two names.
QStringList distinctFolders(const QStringList& directories);

// What the index holds for a path, if anything (the walk needs it for folders of many small
// files, which it lists again only when they changed).
using KnownEntry = std::function<const FileEntry*(const std::string& path)>;

// Every log file of the tools, sorted by path. Costs one directory read per folder and one stat
// per file; no file is opened. Links are not followed. With `parallel`, Claude Code's folders
// (most of the files) are walked beside the others. OpenCode's databases are found as files;
// the index lists their sessions (UsageLedger).
std::vector<FoundLog> discoverLogs(const LedgerSources& sources, bool parallel = false,
                                   const KnownEntry& known = {});

}  // namespace qm::ledger
