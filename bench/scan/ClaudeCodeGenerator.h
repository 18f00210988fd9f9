#pragma once

// Writes a tree of Claude Code transcripts in the tool's own line shapes for the scan
// benchmark: hundreds of sessions, every request written as several lines that repeat its ids
// and usage, tool results of up to 50 kB unless told otherwise (kept twice on their line, as the
// tool does), API error lines, side-chain turns, sub-agent files and bookkeeping lines; on
// request, resumed sessions whose new file starts with a copy of the earlier one (the same
// message and request ids, so a correct scan counts them once). Returns what a correct scan
// must report. Standard library only; deterministic for a given seed.

#include <iterator>

#include "scan/ScanGenerator.h"

namespace qm::scangen {

struct ClaudeTreeOptions {
    std::string projectsDir;  // .../.claude/projects
    std::uint64_t targetBytes = 300'000'000;
    std::uint64_t longSessionBytes = 60'000'000;  // one long session, the largest file
    Ms now = 0;
    Ms since = 0;
    std::uint64_t seed = 3;
    int oldFiles = 0;  // transcripts last written before the window
    std::uint64_t minSessionBytes = 20'000;
    std::uint64_t maxSessionBytes = 3'000'000;
    // The largest tool output and tool input written in one line: they set how many requests
    // a megabyte of transcript holds.
    std::int64_t maxToolResultBytes = 50'000;
    std::int64_t maxToolInputBytes = 20'000;
    double subagentShare = 0.3;  // sessions that spawned sub-agents
    int maxSubagentFiles = 1;    // sub-agent files of such a session, 1 to this
    std::uint64_t maxSubagentBytes = 600'000;
    // Sessions that resume an earlier one of their project: their file begins with a copy of
    // the earlier file's lines.
    double resumedShare = 0;
};

struct ClaudeTreeExpectation {
    std::int64_t sessions = 0;
    std::int64_t subagentFiles = 0;
    std::int64_t resumedSessions = 0;
    std::int64_t requests = 0;        // distinct API requests
    std::int64_t copiedRequests = 0;  // requests again in the copy a resumed session starts with
    std::int64_t inputTokens = 0;     // every kind of input: fresh, cache reads, cache writes
    std::int64_t outputTokens = 0;
    std::int64_t cacheReadTokens = 0;
    std::int64_t cacheWriteTokens = 0;
    std::int64_t recentPrompts = 0;
    std::int64_t windowTokens = 0;
    std::uint64_t bytesInWindow = 0;
    std::uint64_t largestFileBytes = 0;
    std::vector<std::string> filePaths;  // in the window
};

namespace claude_detail {

inline const char* const kModels[] = {"claude-sonnet-4-5-20250929", "claude-opus-4-5-20251101",
                                      "claude-haiku-4-5-20251001"};

struct Writer {
    std::ofstream out;
    std::string sessionId;
    std::string cwd;
    Ms since = 0;
    bool subagentFile = false;
    std::uint64_t bytes = 0;
    std::uint64_t counter = 0;
    std::int64_t maxToolResult = 50'000;
    std::int64_t maxToolInput = 20'000;
    ClaudeTreeExpectation* expect = nullptr;
    Rng* rng = nullptr;

    void put(const std::string& line) {
        out << line << '\n';
        bytes += line.size() + 1;
    }
    std::string uuid() {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%08llx-0000-4000-8000-%012llx",
                      (unsigned long long)(rng->next() & 0xffffffff),
                      (unsigned long long)++counter);
        return buffer;
    }
    std::string head(bool sidechain) {
        return "{\"parentUuid\":\"" + uuid() +
               "\",\"isSidechain\":" + (sidechain ? "true" : "false") +
               ",\"userType\":\"external\",\"cwd\":\"" + cwd + "\",\"sessionId\":\"" + sessionId +
               "\",\"version\":\"2.0.37\",\"gitBranch\":\"main\",";
    }
    std::string tail(Ms at) {
        return ",\"uuid\":\"" + uuid() + "\",\"timestamp\":\"" + isoTime(at) + "\"}";
    }

    void prompt(Ms at, bool sidechain) {
        put(head(sidechain) + "\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":\"" +
            escaped(words(*rng, std::size_t(rng->range(20, 600)))) + "\"}" + tail(at));
        if (!sidechain && !subagentFile && at >= since) ++expect->recentPrompts;
    }

    void wrapper(Ms at) {
        put(head(false) +
            "\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":\"<command-name>/"
            "model</command-name>\\n<command-message>model</command-message>\\n<command-args>"
            "</command-args>\"}" +
            tail(at));
    }

    void toolResult(Ms at, bool sidechain) {
        const std::string output =
            escaped(codeText(*rng, std::size_t(rng->range(200, maxToolResult))));
        std::string end = tail(at);
        end.pop_back();  // the tool keeps the result a second time, after the time stamp
        put(head(sidechain) +
            "\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":[{\"tool_use_id\":"
            "\"toolu_01" +
            uuid().substr(0, 8) + "\",\"type\":\"tool_result\",\"content\":\"" + output +
            "\",\"is_error\":false}]}" + end + ",\"toolUseResult\":{\"stdout\":\"" + output +
            "\",\"stderr\":\"\",\"interrupted\":false,\"isImage\":false}}");
    }

    void apiError(Ms at) {
        put(head(false) + "\"message\":{\"id\":\"" + uuid() +
            "\",\"model\":\"<synthetic>\",\"role\":\"assistant\",\"stop_reason\":\"stop_"
            "sequence\",\"stop_sequence\":\"\",\"type\":\"message\",\"usage\":{\"input_tokens\":"
            "0,\"output_tokens\":0,\"cache_creation_input_tokens\":0,\"cache_read_input_tokens\":"
            "0},\"content\":[{\"type\":\"text\",\"text\":\"API Error: 529 overloaded\"}]},"
            "\"type\":\"assistant\",\"isApiErrorMessage\":true" +
            tail(at));
    }

    // One request: a text block, then tool calls, each its own line with the same usage.
    void request(Ms at, const char* model, bool sidechain) {
        const std::int64_t input = rng->range(3, 400);
        const std::int64_t output = rng->range(20, 4'000);
        const std::int64_t read = rng->range(10'000, 180'000);
        const std::int64_t write5m = rng->chance(0.5) ? rng->range(100, 8'000) : 0;
        const std::int64_t write1h = rng->chance(0.2) ? rng->range(100, 8'000) : 0;
        const std::string usage =
            "{\"input_tokens\":" + std::to_string(input) +
            ",\"cache_creation_input_tokens\":" + std::to_string(write5m + write1h) +
            ",\"cache_read_input_tokens\":" + std::to_string(read) +
            ",\"cache_creation\":{\"ephemeral_5m_input_tokens\":" + std::to_string(write5m) +
            ",\"ephemeral_1h_input_tokens\":" + std::to_string(write1h) +
            "},\"output_tokens\":" + std::to_string(output) + ",\"service_tier\":\"standard\"}";
        const std::string messageId = "msg_01" + uuid().substr(0, 8) + std::to_string(counter);
        const std::string requestId = "req_011C" + uuid().substr(0, 8) + std::to_string(counter);
        const int blocks = int(rng->range(1, 4));
        for (int block = 0; block < blocks; ++block) {
            std::string content;
            if (block == 0) {
                content = "[{\"type\":\"text\",\"text\":\"" +
                          escaped(words(*rng, std::size_t(rng->range(50, 1'500)))) + "\"}]";
            } else {
                content = "[{\"type\":\"tool_use\",\"id\":\"toolu_01" + uuid().substr(0, 8) +
                          "\",\"name\":\"Write\",\"input\":{\"file_path\":\"" + cwd +
                          "/src/parser.rs\",\"content\":\"" +
                          escaped(codeText(*rng, std::size_t(rng->range(100, maxToolInput)))) +
                          "\"}}]";
            }
            put(head(sidechain) + "\"message\":{\"id\":\"" + messageId +
                "\",\"type\":\"message\",\"role\":\"assistant\",\"model\":\"" + model +
                "\",\"content\":" + content +
                ",\"stop_reason\":null,\"stop_sequence\":null,\"usage\":" + usage +
                "},\"requestId\":\"" + requestId + "\",\"type\":\"assistant\"" + tail(at));
        }
        const std::int64_t all = input + read + write5m + write1h;
        ++expect->requests;
        expect->inputTokens += all;
        expect->outputTokens += output;
        expect->cacheReadTokens += read;
        expect->cacheWriteTokens += write5m + write1h;
        if (at >= since) expect->windowTokens += all + output;
    }

    void bookkeeping() {
        put("{\"type\":\"file-history-snapshot\",\"messageId\":\"" + uuid() +
            "\",\"snapshot\":{\"messageId\":\"" + uuid() +
            "\",\"trackedFileBackups\":{},\"timestamp\":\"2026-01-01T00:00:00.000Z\"},"
            "\"isSnapshotUpdate\":false}");
    }
};

// Writes one transcript of about `bytes` bytes with activity spread over [start, end]; a
// resumed session's file has the earlier file's lines (`copied`) right after its summary.
inline std::uint64_t writeTranscript(const std::string& path, const std::string& sessionId,
                                     const std::string& cwd, std::uint64_t bytes, Ms start, Ms end,
                                     bool subagentFile, ClaudeTreeExpectation& expect, Rng& rng,
                                     const ClaudeTreeOptions& options,
                                     const std::string& copied = {}) {
    Writer w;
    w.out.open(path, std::ios::binary);
    w.sessionId = sessionId;
    w.cwd = cwd;
    w.since = options.since;
    w.subagentFile = subagentFile;
    w.maxToolResult = options.maxToolResultBytes;
    w.maxToolInput = options.maxToolInputBytes;
    w.expect = &expect;
    w.rng = &rng;
    const char* model = kModels[rng.range(0, 2)];
    if (!subagentFile)
        w.put("{\"type\":\"summary\",\"summary\":\"Parser fixes\",\"leafUuid\":\"" + w.uuid() +
              "\"}");
    w.out << copied;
    w.bytes += copied.size();
    Ms at = start;
    // Time moves on by the bytes a turn's calls are expected to take.
    const std::uint64_t turnBytes = std::uint64_t(w.maxToolResult + w.maxToolInput / 2);
    const std::uint64_t turns = std::max<std::uint64_t>(bytes / turnBytes, 1);
    const Ms step = std::max<Ms>((end - start) / Ms(turns * 6), 1);
    while (w.bytes < bytes + copied.size()) {
        w.bookkeeping();
        w.prompt(at, subagentFile);
        if (rng.chance(0.05)) w.wrapper(at);
        if (rng.chance(0.1)) model = kModels[rng.range(0, 2)];  // /model
        const int calls = int(rng.range(1, 6));
        for (int call = 0; call < calls && w.bytes < bytes + copied.size(); ++call) {
            at = std::min(at + step, end);
            if (rng.chance(0.02)) w.apiError(at);
            const bool sidechain = subagentFile || rng.chance(0.05);
            w.request(at, model, sidechain);
            w.toolResult(at, sidechain);
        }
    }
    // The last line is the session's last activity.
    w.request(end, model, subagentFile);
    w.out.close();
    setModified(path, end);
    return w.bytes;
}

// A main transcript a later session may resume.
struct WrittenSession {
    std::string path;
    std::string id;
    Ms end = 0;
    std::int64_t requests = 0;  // in the file, copied ones included
};

// The earlier file's bytes with its session id replaced by the resuming session's.
inline std::string copiedForResume(const WrittenSession& earlier, const std::string& sessionId) {
    std::ifstream in(earlier.path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    for (std::size_t at = bytes.find(earlier.id); at != std::string::npos;
         at = bytes.find(earlier.id, at + sessionId.size()))
        bytes.replace(at, earlier.id.size(), sessionId);
    return bytes;
}

}  // namespace claude_detail

inline ClaudeTreeExpectation writeClaudeTree(const ClaudeTreeOptions& options) {
    namespace fs = std::filesystem;
    ClaudeTreeExpectation expect;
    Rng rng(options.seed);
    std::uint64_t written = 0;
    int session = 0;
    constexpr int kProjects = 40;
    std::vector<std::vector<claude_detail::WrittenSession>> earlier(kProjects);
    while (written < options.targetBytes) {
        const std::string project = "/home/dev/proj" + std::to_string(session % kProjects);
        std::string folder = project;
        std::replace(folder.begin(), folder.end(), '/', '-');
        const std::string dir = options.projectsDir + "/" + folder;
        fs::create_directories(dir);
        char id[40];
        std::snprintf(id, sizeof id, "5f0c2b1e-%04x-4000-8000-%012x", session & 0xffff, session);
        const std::uint64_t bytes =
            session == 0 ? options.longSessionBytes
                         : std::uint64_t(rng.range(std::int64_t(options.minSessionBytes),
                                                   std::int64_t(options.maxSessionBytes)));
        // Sessions that began before the window and are still going.
        Ms end = options.now - rng.range(60'000, (options.now - options.since) - 60'000);
        Ms start = end - rng.range(60'000, 4 * 3600'000);
        // A resumed session goes on some time after the one it resumes ended.
        std::string copied;
        std::int64_t copiedRequests = 0;
        std::vector<claude_detail::WrittenSession>& ownProject = earlier[session % kProjects];
        if (options.resumedShare > 0 && !ownProject.empty() && rng.chance(options.resumedShare)) {
            const claude_detail::WrittenSession& from =
                ownProject[std::size_t(rng.range(0, std::int64_t(ownProject.size()) - 1))];
            start = std::min(from.end + rng.range(60'000, 2 * 86'400'000), options.now - 120'000);
            start = std::max(start, from.end + 1'000);
            end = std::min(start + rng.range(60'000, 4 * 3600'000), options.now);
            copied = claude_detail::copiedForResume(from, id);
            copiedRequests = from.requests;
            expect.copiedRequests += copiedRequests;
            ++expect.resumedSessions;
        }
        const std::string path = dir + "/" + id + ".jsonl";
        const std::int64_t requestsBefore = expect.requests;
        const std::uint64_t size = claude_detail::writeTranscript(
            path, id, project, bytes, start, end, false, expect, rng, options, copied);
        if (options.resumedShare > 0)
            ownProject.push_back(
                {path, id, end, expect.requests - requestsBefore + copiedRequests});
        expect.filePaths.push_back(path);
        expect.bytesInWindow += size;
        expect.largestFileBytes = std::max(expect.largestFileBytes, size);
        written += size;
        ++expect.sessions;
        if (rng.chance(options.subagentShare)) {
            const std::string agentDir = dir + "/" + id + "/subagents";
            fs::create_directories(agentDir);
            const int files =
                options.maxSubagentFiles > 1 ? int(rng.range(1, options.maxSubagentFiles)) : 1;
            for (int file = 0; file < files; ++file) {
                const std::string agentPath = agentDir + "/agent-" + std::to_string(session) +
                                              (file ? "-" + std::to_string(file) : std::string()) +
                                              ".jsonl";
                const std::uint64_t agentSize = claude_detail::writeTranscript(
                    agentPath, id, project,
                    std::uint64_t(rng.range(20'000, std::int64_t(options.maxSubagentBytes))), start,
                    end, true, expect, rng, options);
                expect.filePaths.push_back(agentPath);
                expect.bytesInWindow += agentSize;
                written += agentSize;
                ++expect.subagentFiles;
            }
        }
        ++session;
    }
    // Transcripts last written before the window: small, never to be opened.
    for (int i = 0; i < options.oldFiles; ++i) {
        const std::string dir = options.projectsDir + "/-home-dev-old" + std::to_string(i % 50);
        if (i < 50) fs::create_directories(dir);
        const std::string path = dir + "/old-" + std::to_string(i) + ".jsonl";
        std::ofstream(path, std::ios::binary)
            << "{\"type\":\"summary\",\"summary\":\"old\",\"leafUuid\":\"x\"}\n";
        setModified(path, options.since - 3600'000 - i);
    }
    return expect;
}

}  // namespace qm::scangen
