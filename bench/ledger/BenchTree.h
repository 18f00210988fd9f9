#pragma once

// The tree bench_ledger measures: generated once in one of two shapes, kept between runs on
// request, with what the generator wrote saved beside it.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::bench {

enum class Shape {
    sessions,  // few, large sessions
    requests,  // many requests in sessions of a few MB, and many files
};

// What the generator wrote; the counts are 0 for a tree kept from before they were saved.
struct TreeFacts {
    std::int64_t claudeRequests = 0;  // distinct
    std::int64_t copiedRequests = 0;  // again in resumed sessions' files
    std::int64_t claudeSessions = 0;
    std::int64_t subagentFiles = 0;
    std::int64_t resumedSessions = 0;
    std::int64_t codexRollouts = 0;
};

// Generates the tree in `dir`/home unless a tree of this shape and size is there already (one
// of another shape or size is replaced; one without saved facts is used as it is).
TreeFacts prepareTree(Shape shape, std::uint64_t sizeMb, const std::string& dir);

// Prints the tree's files, bytes and what was generated; returns the bytes.
std::uint64_t printTree(const std::string& home, const TreeFacts& facts);

// The Claude Code session (no sub-agent's file) written to last.
std::string recentTranscript(const std::string& home);

// The files the bench appends to, cut back to their size and time when it is done.
class GrowingFiles {
public:
    void remember(const std::string& path);
    void restore() const;

private:
    struct File {
        std::string path;
        std::uintmax_t size = 0;
        std::filesystem::file_time_type modified;
    };
    std::vector<File> files_;
};

}  // namespace qm::bench
