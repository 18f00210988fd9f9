#include "ledger/LogDiscovery.h"

#include <sys/stat.h>

#include <QFileInfo>

#include <algorithm>
#include <string_view>
#include <thread>

#include "readers/FileWalk.h"

namespace qm::ledger {
namespace {

FileIdentity identityOf(const struct stat& st) {
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), std::int64_t(st.st_size),
            std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

template <typename Accept>
void collect(const QString& root, ProviderKind tool, Accept accept, std::vector<FoundLog>& out) {
    readers::walkRegularFiles(
        root, 10, [&](const std::string& file, std::string_view name, const struct stat& st) {
            if (accept(std::string_view(file), name)) out.push_back({file, tool, identityOf(st)});
        });
}

bool looksLikeCredential(std::string_view name) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    for (std::string_view marker : {"auth", "credential", "token", "secret"}) {
        if (lower.find(marker) != std::string::npos) return true;
    }
    return false;
}

std::vector<FoundLog> discoverClaudeLogs(const QStringList& directories) {
    std::vector<FoundLog> found;
    // Two configured folders may be one folder under two names: read it once.
    QStringList seen;
    for (const QString& directory : directories) {
        const QString canonical = QFileInfo(directory).canonicalFilePath();
        if (canonical.isEmpty() || seen.contains(canonical)) continue;
        seen.append(canonical);
        collect(
            directory, ProviderKind::claudeCode,
            [](std::string_view, std::string_view name) { return name.ends_with(".jsonl"); },
            found);
    }
    return found;
}

void discoverOtherLogs(const LedgerSources& sources, std::vector<FoundLog>& found) {
    for (const QString& directory : sources.codexDirectories) {
        collect(
            directory, ProviderKind::codex,
            [](std::string_view, std::string_view name) {
                return name.starts_with("rollout-") && name.ends_with(".jsonl");
            },
            found);
    }
    collect(
        sources.geminiDirectory, ProviderKind::gemini,
        [](std::string_view path, std::string_view name) {
            return path.find("/chats/") != std::string_view::npos &&
                   (name.ends_with(".jsonl") || name.ends_with(".json")) &&
                   !name.starts_with("checkpoint-") && !looksLikeCredential(name);
        },
        found);
    collect(
        sources.grokSessionsDirectory, ProviderKind::grok,
        [](std::string_view, std::string_view name) { return name == "updates.jsonl"; }, found);
}

}  // namespace

std::vector<FoundLog> discoverLogs(const LedgerSources& sources, bool parallel) {
    std::vector<FoundLog> found;
    std::vector<FoundLog> claude;
    if (parallel) {
        std::thread walker([&] { claude = discoverClaudeLogs(sources.claudeProjectDirectories); });
        discoverOtherLogs(sources, found);
        walker.join();
    } else {
        claude = discoverClaudeLogs(sources.claudeProjectDirectories);
        discoverOtherLogs(sources, found);
    }
    found.insert(found.end(), std::make_move_iterator(claude.begin()),
                 std::make_move_iterator(claude.end()));
    std::sort(found.begin(), found.end(),
              [](const FoundLog& a, const FoundLog& b) { return a.path < b.path; });
    return found;
}

}  // namespace qm::ledger
