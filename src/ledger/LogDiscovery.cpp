#include "ledger/LogDiscovery.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <map>
#include <optional>
#include <string_view>
#include <thread>

#include "ledger/OpenCodeDatabase.h"
#include "ledger/OpenCodeRecords.h"
#include "ledger/OpenCodeStorage.h"
#include "ledger/QwenLogs.h"
#include "readers/FileWalk.h"

namespace qm::ledger {

FileIdentity identityOf(const struct stat& st) {
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), std::int64_t(st.st_size),
            std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

QStringList distinctFolders(const QStringList& directories) {
    QStringList distinct;
    QStringList canonical;
    for (const QString& directory : directories) {
        const QFileInfo info(directory);
        if (!info.isDir() || canonical.contains(info.canonicalFilePath())) continue;
        canonical.append(info.canonicalFilePath());
        distinct.append(directory);
    }
    return distinct;
}

namespace {

template <typename Accept>
void collect(const QString& root, ProviderKind tool, Accept accept, std::vector<FoundLog>& out) {
    readers::walkRegularFiles(
        root, 10, [&](const std::string& file, std::string_view name, const struct stat& st) {
            if (accept(std::string_view(file), name)) out.push_back({file, tool, identityOf(st)});
        });
}

// By the name as text, whatever its case: only names are looked at.
bool looksLikeCredential(std::string_view name) {
    const QString lower =
        QFile::decodeName(QByteArray(name.data(), qsizetype(name.size()))).toLower();
    for (const char* marker : {"auth", "credential", "token", "secret"}) {
        if (lower.contains(QLatin1String(marker))) return true;
    }
    return false;
}

std::string asciiLower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return lower;
}

// Gemini's logs: JSON, JSON lines and .log files in log-like folders, the folders judged by the
// path inside the Gemini folder (`inside`, from its leading slash), so that a home under a
// "tmp" or "logs" folder does not make every file a log. Never a /chat save checkpoint (turns
// already recorded) nor a file named like a credential.
bool isGeminiLog(std::string_view inside, std::string_view name) {
    const std::size_t dot = name.rfind('.');
    const std::string suffix =
        asciiLower(dot == std::string_view::npos ? "" : name.substr(dot + 1));
    if (suffix != "jsonl" && suffix != "json" && suffix != "log") return false;
    if (name.starts_with("checkpoint-") && name.ends_with(".json")) return false;
    const std::string folders = asciiLower(inside);
    bool logLike = false;
    for (std::string_view folder : {"/logs/", "/tmp/", "/history", "/antigravity-cli/"}) {
        logLike = logLike || folders.find(folder) != std::string::npos;
    }
    return logLike && !looksLikeCredential(name);
}

std::vector<FoundLog> discoverClaudeLogs(const QStringList& directories) {
    std::vector<FoundLog> found;
    for (const QString& directory : distinctFolders(directories)) {
        collect(
            directory, ProviderKind::claudeCode,
            [](std::string_view, std::string_view name) { return name.ends_with(".jsonl"); },
            found);
    }
    return found;
}

// Grok keeps a session in a folder. updates.jsonl, appended to and possibly large, is an entry
// of its own. The small files that describe the session are one entry, found under the name of
// whichever of them was written last: a change to any of them makes that one the newest (or
// changes it), so the entry is read again. chat_history.jsonl counts only when there is no
// signals.json, and nothing counts without summary.json.
void discoverGrokLogs(const QString& root, std::vector<FoundLog>& found) {
    struct Folder {
        std::optional<FoundLog> summary, signals, history;
    };
    std::map<std::string, Folder> folders;
    readers::walkRegularFiles(
        root, 10, [&](const std::string& file, std::string_view name, const struct stat& st) {
            if (name == "updates.jsonl") {
                found.push_back({file, ProviderKind::grok, identityOf(st)});
                return;
            }
            std::optional<FoundLog> Folder::*slot = nullptr;
            if (name == "summary.json") slot = &Folder::summary;
            if (name == "signals.json") slot = &Folder::signals;
            if (name == "chat_history.jsonl") slot = &Folder::history;
            if (slot) {
                folders[file.substr(0, file.size() - name.size())].*slot =
                    FoundLog{file, ProviderKind::grok, identityOf(st)};
            }
        });
    for (auto& named : folders) {
        Folder& folder = named.second;
        if (!folder.summary) continue;
        FoundLog* newest = &*folder.summary;
        const auto consider = [&newest](std::optional<FoundLog>& other) {
            if (other && other->identity.modifiedNs > newest->identity.modifiedNs) newest = &*other;
        };
        consider(folder.signals);
        if (!folder.signals) consider(folder.history);
        found.push_back(std::move(*newest));
    }
}

// OpenCode: its databases, or where it has none (releases before 1.2.0 wrote no database; a
// later one imports the JSON storage into its first database and leaves the folder behind)
// the sessions of its JSON storage.
void discoverOpenCode(const QString& data, const KnownEntry& known, std::vector<FoundLog>& found) {
    if (data.isEmpty()) return;
    bool anyDatabase = false;
    for (const QString& database : opencode::databases(data)) {
        const std::string path = QFile::encodeName(database).toStdString();
        if (const std::optional<FileIdentity> identity = opencode::databaseIdentity(path)) {
            found.push_back({path, ProviderKind::openCode, *identity});
            anyDatabase = true;
        }
    }
    if (!anyDatabase)
        discoverOpenCodeStorage(
            QDir(data).filePath(QStringLiteral("storage")),
            known ? known : [](const std::string&) -> const FileEntry* { return nullptr; }, found);
}

void discoverOtherLogs(const LedgerSources& sources, const KnownEntry& known,
                       std::vector<FoundLog>& found) {
    discoverOpenCode(sources.openCodeDataDirectory, known, found);
    discoverQwenLogs(sources.qwenDirectories, found);
    for (const QString& directory : sources.codexDirectories) {
        collect(
            directory, ProviderKind::codex,
            [](std::string_view, std::string_view name) {
                return name.starts_with("rollout-") && name.ends_with(".jsonl");
            },
            found);
    }
    const std::size_t geminiRoot = std::size_t(QFile::encodeName(sources.geminiDirectory).size());
    collect(
        sources.geminiDirectory, ProviderKind::gemini,
        [geminiRoot](std::string_view path, std::string_view name) {
            return isGeminiLog(path.substr(geminiRoot), name);
        },
        found);
    discoverGrokLogs(sources.grokSessionsDirectory, found);
}

}  // namespace

std::vector<FoundLog> discoverLogs(const LedgerSources& sources, bool parallel,
                                   const KnownEntry& known) {
    std::vector<FoundLog> found;
    std::vector<FoundLog> claude;
    if (parallel) {
        std::thread walker([&] { claude = discoverClaudeLogs(sources.claudeProjectDirectories); });
        discoverOtherLogs(sources, known, found);
        walker.join();
    } else {
        claude = discoverClaudeLogs(sources.claudeProjectDirectories);
        discoverOtherLogs(sources, known, found);
    }
    found.insert(found.end(), std::make_move_iterator(claude.begin()),
                 std::make_move_iterator(claude.end()));
    std::sort(found.begin(), found.end(),
              [](const FoundLog& a, const FoundLog& b) { return a.path < b.path; });
    return found;
}

}  // namespace qm::ledger
