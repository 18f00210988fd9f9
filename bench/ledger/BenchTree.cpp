#include "ledger/BenchTree.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <utility>

#include "ledger/BenchFigures.h"
#include "scan/ClaudeCodeGenerator.h"
#include "scan/ScanGenerator.h"

namespace qm::bench {

namespace {

namespace fs = std::filesystem;
using scangen::Ms;

constexpr Ms kDayMs = 24ll * 3600'000;
constexpr const char* kGenerating = "generating";

struct Window {
    Ms now = 0;
    Ms since = 0;
};

Window ninetyDays() {
    const Ms now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    return {now, now - 90 * kDayMs};
}

TreeFacts factsOf(const scangen::ClaudeTreeExpectation& claude,
                  const scangen::CodexTreeExpectation& codex) {
    return {claude.requests,      claude.copiedRequests,  claude.sessions,
            claude.subagentFiles, claude.resumedSessions, codex.sessions};
}

// Few, large sessions: half the bytes Claude Code's, one session of 40 MB, and 45% rollouts of
// up to 2 MB beside one of 50 MB.
TreeFacts generateSessions(std::uint64_t total, const std::string& home) {
    using namespace scangen;
    const Window window = ninetyDays();
    ClaudeTreeOptions claude;
    claude.projectsDir = home + "/.claude/projects";
    claude.targetBytes = total / 2;
    claude.longSessionBytes = 40'000'000;
    claude.maxSessionBytes = 600'000;  // many short sessions, as heavy users have
    claude.now = window.now;
    claude.since = window.since;
    const ClaudeTreeExpectation claudeWritten = writeClaudeTree(claude);
    CodexTreeOptions codex;
    codex.sessionsDir = home + "/.codex/sessions";
    codex.targetBytes = total * 45 / 100;
    codex.maxFileBytes = 2'000'000;
    codex.longSessionBytes = 50'000'000;
    codex.now = window.now;
    codex.since = window.since;
    codex.oldFiles = 0;
    const CodexTreeExpectation codexWritten = writeCodexTree(codex);
    writeGeminiTree(home + "/.gemini", window.now, 40, 11);
    writeGrokTree(home + "/.grok/sessions", window.now, 60, 13);
    return factsOf(claudeWritten, codexWritten);
}

// A heavy user's quarter: 72% Claude Code in sessions of 0.3 to 4 MB with small tool outputs
// (about 7 kB a request), most with several short sub-agent files, a tenth resuming an earlier
// session; 22% rollouts of up to 2.5 MB; Gemini and Grok sessions spread over the 90 days.
TreeFacts generateRequests(std::uint64_t total, const std::string& home) {
    using namespace scangen;
    const Window window = ninetyDays();
    ClaudeTreeOptions claude;
    claude.projectsDir = home + "/.claude/projects";
    claude.targetBytes = total * 72 / 100;
    claude.minSessionBytes = 300'000;
    claude.maxSessionBytes = 4'000'000;
    claude.longSessionBytes = 4'000'000;
    claude.maxToolResultBytes = 1'500;
    claude.maxToolInputBytes = 1'000;
    claude.subagentShare = 0.6;
    claude.maxSubagentFiles = 10;
    claude.maxSubagentBytes = 200'000;
    claude.resumedShare = 0.1;
    claude.now = window.now;
    claude.since = window.since;
    const ClaudeTreeExpectation claudeWritten = writeClaudeTree(claude);
    CodexTreeOptions codex;
    codex.sessionsDir = home + "/.codex/sessions";
    codex.targetBytes = total * 22 / 100;
    codex.minFileBytes = 2'000;
    codex.maxFileBytes = 2'500'000;
    codex.longSessionBytes = 0;
    codex.now = window.now;
    codex.since = window.since;
    codex.oldFiles = 0;
    const CodexTreeExpectation codexWritten = writeCodexTree(codex);
    writeGeminiTree(home + "/.gemini", window.now, 300, 11, 90 * kDayMs);
    writeGrokTree(home + "/.grok/sessions", window.now, 600, 13, 90 * kDayMs);
    return factsOf(claudeWritten, codexWritten);
}

void writeFacts(const std::string& path, const std::string& kind, const TreeFacts& f) {
    std::ofstream(path, std::ios::trunc)
        << kind << "\n"
        << f.claudeRequests << ' ' << f.copiedRequests << ' ' << f.claudeSessions << ' '
        << f.subagentFiles << ' ' << f.resumedSessions << ' ' << f.codexRollouts << "\n";
}

// The kind ("<shape> <size>") of the tree the facts describe, and the facts.
std::pair<std::string, TreeFacts> readFacts(const std::string& path) {
    std::ifstream in(path);
    std::string kind;
    std::getline(in, kind);
    TreeFacts f;
    in >> f.claudeRequests >> f.copiedRequests >> f.claudeSessions >> f.subagentFiles >>
        f.resumedSessions >> f.codexRollouts;
    return {kind, f};
}

}  // namespace

TreeFacts prepareTree(Shape shape, std::uint64_t sizeMb, const std::string& dir) {
    const std::string home = dir + "/home";
    const std::string factsPath = dir + "/tree-facts";
    const std::string kind =
        std::string(shape == Shape::requests ? "requests " : "sessions ") + std::to_string(sizeMb);
    if (fs::exists(home)) {
        if (!fs::exists(factsPath)) return {};
        const auto [found, facts] = readFacts(factsPath);
        if (found == kind) return facts;
        std::printf("# %s holds a tree of %s: generated again\n", dir.c_str(),
                    found == kGenerating ? "an interrupted generation" : found.c_str());
        fs::remove_all(home);
    }
    fs::create_directories(dir);
    writeFacts(factsPath, kGenerating, {});
    const auto start = Clock::now();
    const std::uint64_t total = sizeMb * 1'000'000;
    const TreeFacts facts =
        shape == Shape::requests ? generateRequests(total, home) : generateSessions(total, home);
    std::printf("generate: %.1f s\n", secondsSince(start));
    writeFacts(factsPath, kind, facts);
    return facts;
}

std::uint64_t printTree(const std::string& home, const TreeFacts& facts) {
    std::uint64_t bytes = 0;
    std::uint64_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        if (!entry.is_regular_file()) continue;
        bytes += entry.file_size();
        ++files;
    }
    std::printf("tree: %.0f MB in %llu files\n", double(bytes) / 1e6, (unsigned long long)files);
    if (facts.claudeRequests > 0) {
        std::printf(
            "tree_claude_requests: %lld count (%lld more copied into %lld resumed "
            "sessions)\n",
            (long long)facts.claudeRequests, (long long)facts.copiedRequests,
            (long long)facts.resumedSessions);
        std::printf("tree_claude_files: %lld sessions and %lld sub-agent files\n",
                    (long long)facts.claudeSessions, (long long)facts.subagentFiles);
        std::printf("tree_codex_rollouts: %lld files\n", (long long)facts.codexRollouts);
    }
    return bytes;
}

std::string recentTranscript(const std::string& home) {
    std::string recent;
    fs::file_time_type latest = fs::file_time_type::min();
    for (const auto& entry : fs::recursive_directory_iterator(home + "/.claude/projects")) {
        if (!entry.is_regular_file() || entry.path().extension() != ".jsonl") continue;
        if (entry.path().parent_path().filename() == "subagents") continue;
        if (entry.last_write_time() > latest) {
            latest = entry.last_write_time();
            recent = entry.path().string();
        }
    }
    return recent;
}

void GrowingFiles::remember(const std::string& path) {
    for (const File& file : files_) {
        if (file.path == path) return;
    }
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (!error) files_.push_back({path, size, fs::last_write_time(path, error)});
}

void GrowingFiles::restore() const {
    for (const File& file : files_) {
        fs::resize_file(file.path, file.size);
        fs::last_write_time(file.path, file.modified);
    }
}

}  // namespace qm::bench
