#pragma once

// Writes realistic Codex rollout, Gemini and Grok trees for the scan benchmark and for tests
// that check the readers at scale. Standard library only; deterministic for a given seed.
// It also returns what a correct Codex scan must report for the tree it wrote.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qm::scangen {

using Ms = std::int64_t;

class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    // Uniform in [lo, hi].
    std::int64_t range(std::int64_t lo, std::int64_t hi) {
        return lo + std::int64_t(next() % std::uint64_t(hi - lo + 1));
    }
    double unit() { return double(next() >> 11) / double(1ull << 53); }
    bool chance(double p) { return unit() < p; }

private:
    std::uint64_t state_;
};

inline std::string isoTime(Ms ms) {
    const std::int64_t seconds = ms / 1000;
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    // Civil from days (1970-01-01 based).
    days += 719468;
    const std::int64_t era = days / 146097;
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t year = yoe + era * 400;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    if (month <= 2) ++year;
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
                  (long long)year, (long long)month, (long long)day, (long long)(rest / 3600),
                  (long long)(rest / 60 % 60), (long long)(rest % 60), (long long)(ms % 1000));
    return buffer;
}

// JSON string body (without quotes). Like common writers, U+2028/U+2029 stay raw.
inline std::string escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out += char(c);
                }
        }
    }
    return out;
}

inline const char* const kWords[] = {"parser",
                                     "fix",
                                     "test",
                                     "the",
                                     "function",
                                     "returns",
                                     "error",
                                     "when",
                                     "config",
                                     "value",
                                     "é",
                                     "naïve",
                                     "build",
                                     "cache",
                                     "async",
                                     "request",
                                     "handler",
                                     "timeout",
                                     "\xF0\x9F\x9A\x80",
                                     "refactor",
                                     "module",
                                     "index",
                                     "buffer",
                                     "rust"};

inline std::string words(Rng& rng, std::size_t bytes) {
    std::string out;
    while (out.size() < bytes) {
        if (!out.empty()) out += rng.chance(0.08) ? "\n" : " ";
        out += kWords[rng.range(0, std::int64_t(std::size(kWords)) - 1)];
    }
    return out;
}

// Source-like text with quotes and backslashes, the bulk of tool output.
inline std::string codeText(Rng& rng, std::size_t bytes) {
    static const char* const kLines[] = {
        "    let value = map.get(\"key\").unwrap_or(&default);",
        "fn parse(input: &str) -> Result<Token, Error> {",
        "    return Err(Error::new(\"unexpected \\\"{\\\"\"));",
        "src/parser.rs:120:    if path.ends_with(\"\\\\\") { continue; }",
        "  \"dependencies\": { \"serde\": \"1.0\", \"tokio\": \"1.37\" },",
        "test result: ok. 48 passed; 0 failed; 0 ignored; finished in 0.42s",
        "\tprintf(\"%s\\n\", buffer);  // tab-indented C",
        "}"};
    std::string out;
    while (out.size() < bytes) {
        out += kLines[rng.range(0, std::int64_t(std::size(kLines)) - 1)];
        out += '\n';
    }
    return out;
}

inline std::string base64ish(Rng& rng, std::size_t bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out(bytes, 'A');
    for (char& c : out) c = kAlphabet[rng.next() % 64];
    return out;
}

struct CodexTreeOptions {
    std::string sessionsDir;  // .../.codex/sessions
    std::uint64_t targetBytes = 500'000'000;
    std::uint64_t minFileBytes = 10'000;
    std::uint64_t maxFileBytes = 20'000'000;
    std::uint64_t longSessionBytes = 45'000'000;  // one long session, the largest file
    Ms now = 0;
    Ms since = 0;  // start of the recent window
    std::uint64_t seed = 1;
    int oldFiles = 3;              // modified before the window: must not be read
    double perLineUsageShare = 0;  // files in an early format without token_count events
};

// What a correct Codex scan reports for the files inside the window.
struct CodexTreeExpectation {
    std::int64_t sessions = 0;
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;
    std::int64_t cachedTokens = 0;
    std::int64_t recentPrompts = 0;
    std::int64_t recentSessions = 0;
    std::uint64_t bytesInWindow = 0;
    std::uint64_t largestFileBytes = 0;
    std::vector<std::string> oldFilePaths;
    std::vector<std::string> filePaths;  // in the window
};

inline void setModified(const std::string& path, Ms ms) {
    namespace fs = std::filesystem;
    const auto sys = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
    fs::last_write_time(path, std::chrono::file_clock::from_sys(sys));
}

namespace detail {

struct FileTotals {
    std::int64_t input = 0, output = 0, cached = 0, prompts = 0, recentPrompts = 0;
};

inline std::string tokenCountLine(Ms at, const FileTotals& t, Rng& rng) {
    const std::int64_t lastIn = rng.range(1000, 30000);
    return "{\"timestamp\":\"" + isoTime(at) +
           "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"token_count\",\"info\":{"
           "\"total_token_usage\":{\"input_tokens\":" +
           std::to_string(t.input) + ",\"cached_input_tokens\":" + std::to_string(t.cached) +
           ",\"output_tokens\":" + std::to_string(t.output) +
           ",\"reasoning_output_tokens\":" + std::to_string(t.output / 3) +
           ",\"total_tokens\":" + std::to_string(t.input + t.output) +
           "},\"last_token_usage\":{\"input_tokens\":" + std::to_string(lastIn) +
           ",\"cached_input_tokens\":" + std::to_string(lastIn / 2) +
           ",\"output_tokens\":512,\"reasoning_output_tokens\":128,\"total_tokens\":" +
           std::to_string(lastIn + 512) +
           "},\"model_context_window\":272000},\"rate_limits\":{\"primary\":{\"used_percent\":" +
           std::to_string(rng.range(0, 100)) +
           ".0,\"window_minutes\":300,\"resets_in_seconds\":9000},\"secondary\":{"
           "\"used_percent\":12.0,\"window_minutes\":10080,\"resets_in_seconds\":400000}}}}";
}

inline std::string messageLine(Ms at, const char* role, const char* itemType,
                               const std::string& text) {
    return "{\"timestamp\":\"" + isoTime(at) +
           "\",\"type\":\"response_item\",\"payload\":{\"type\":\"message\",\"role\":\"" + role +
           "\",\"content\":[{\"type\":\"" + itemType + "\",\"text\":\"" + escaped(text) + "\"}]}}";
}

}  // namespace detail

// Writes one rollout file of about `bytes` bytes, its lines spread from `start` to `end`.
inline detail::FileTotals writeRollout(const std::string& path, std::uint64_t bytes, Ms start,
                                       Ms end, Ms since, bool perLineUsage, Rng& rng) {
    using detail::messageLine;
    detail::FileTotals totals;
    std::string out;
    out.reserve(bytes + 64 * 1024);
    const std::string cwd = "/home/dev/work/project-" + std::to_string(rng.range(1, 40));
    static const char* const kModels[] = {"gpt-5-codex", "gpt-5", "gpt-5-mini", "o4-mini",
                                          "gpt-4.1"};
    const std::string model = kModels[rng.range(0, 4)];
    // Time advances with the bytes written, so line times follow file order.
    const auto at = [&](std::size_t written) {
        return start + Ms(double(end - start) * std::min(1.0, double(written) / double(bytes)));
    };
    out += "{\"timestamp\":\"" + isoTime(start) +
           "\",\"type\":\"session_meta\",\"payload\":{\"id\":\"0199a1b2-" +
           std::to_string(rng.range(100000, 999999)) + "\",\"timestamp\":\"" + isoTime(start) +
           "\",\"cwd\":\"" + cwd +
           "\",\"originator\":\"codex_cli_rs\",\"cli_version\":\"0.46.0\",\"instructions\":\"" +
           escaped(words(rng, std::size_t(rng.range(2000, 12000)))) +
           "\",\"git\":{\"commit_hash\":\"" + base64ish(rng, 40) +
           "\",\"branch\":\"main\",\"repository_url\":\"git@example.com:dev/app.git\"}}}\n";
    out += messageLine(at(out.size()), "user", "input_text",
                       "<environment_context>\n  <cwd>" + cwd +
                           "</cwd>\n  <approval_policy>on-request</approval_policy>\n"
                           "</environment_context>") +
           "\n";
    out += "{\"timestamp\":\"" + isoTime(at(out.size())) +
           "\",\"type\":\"turn_context\",\"payload\":{\"cwd\":\"" + cwd +
           "\",\"approval_policy\":\"on-request\",\"sandbox_policy\":{\"mode\":\"workspace-write\""
           "},\"model\":\"" +
           model + "\",\"effort\":\"medium\",\"summary\":\"auto\"}}\n";
    do {
        // One turn: a prompt, some reasoning and tool calls, an answer, a token count.
        const Ms promptAt = at(out.size());
        std::string prompt = words(rng, std::size_t(rng.range(20, 1500)));
        if (rng.chance(0.1)) prompt += " \xE2\x80\xA8 see the line separator";  // raw U+2028
        out += messageLine(promptAt, "user", "input_text", prompt) + "\n";
        ++totals.prompts;
        if (promptAt >= since) ++totals.recentPrompts;
        out += "{\"timestamp\":\"" + isoTime(promptAt) +
               "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"user_message\",\"message\":\"" +
               escaped(prompt) + "\",\"kind\":\"plain\"}}\n";
        const int calls = int(rng.range(1, 6));
        for (int call = 0; call < calls && out.size() < bytes; ++call) {
            out += "{\"timestamp\":\"" + isoTime(at(out.size())) +
                   "\",\"type\":\"response_item\",\"payload\":{\"type\":\"reasoning\",\"summary\":"
                   "[{\"type\":\"summary_text\",\"text\":\"" +
                   escaped(words(rng, 200)) +
                   "\"}],\"content\":null,\"encrypted_content\":\"gAAAAA" +
                   base64ish(rng, std::size_t(rng.range(500, 4000))) + "\"}}\n";
            const std::string callId = "call_" + base64ish(rng, 24);
            out += "{\"timestamp\":\"" + isoTime(at(out.size())) +
                   "\",\"type\":\"response_item\",\"payload\":{\"type\":\"function_call\","
                   "\"name\":\"shell\",\"arguments\":\"" +
                   escaped(
                       "{\"command\":[\"bash\",\"-lc\",\"rg -n \\\"fn parse\\\" src\"],"
                       "\"workdir\":\"" +
                       cwd + "\"}") +
                   "\",\"call_id\":\"" + callId + "\"}}\n";
            // Tool output is a JSON document inside a string: escaped twice.
            const std::string output =
                "{\"output\":\"" +
                escaped(codeText(
                    rng, std::size_t(std::exp(rng.unit() * std::log(50000.0 / 300)) * 300))) +
                "\",\"metadata\":{\"exit_code\":0,\"duration_seconds\":0.2}}";
            out += "{\"timestamp\":\"" + isoTime(at(out.size())) +
                   "\",\"type\":\"response_item\",\"payload\":{\"type\":\"function_call_output\","
                   "\"call_id\":\"" +
                   callId + "\",\"output\":\"" + escaped(output) + "\"}}\n";
        }
        out += messageLine(at(out.size()), "assistant", "output_text",
                           words(rng, std::size_t(rng.range(100, 4000)))) +
               "\n";
        const std::int64_t in = rng.range(2000, 40000);
        totals.input += in;
        totals.cached += in * rng.range(0, 9) / 10;
        totals.output += rng.range(50, 3000);
        if (perLineUsage) {
            out += "{\"timestamp\":\"" + isoTime(at(out.size())) +
                   "\",\"type\":\"usage\",\"usage\":{\"input_tokens\":" + std::to_string(in) +
                   ",\"output_tokens\":0}}\n";
        } else {
            out += detail::tokenCountLine(at(out.size()), totals, rng) + "\n";
        }
    } while (out.size() < bytes);
    if (perLineUsage) {
        // The per-line records above carry only input; outputs and cache are not reported.
        totals.output = 0;
        totals.cached = 0;
    }
    std::ofstream(path, std::ios::binary).write(out.data(), std::streamsize(out.size()));
    setModified(path, end);
    return totals;
}

inline CodexTreeExpectation writeCodexTree(const CodexTreeOptions& options) {
    namespace fs = std::filesystem;
    Rng rng(options.seed);
    CodexTreeExpectation expect;
    std::uint64_t written = 0;
    int index = 0;
    const auto pathFor = [&](int day) {
        const std::string dir =
            options.sessionsDir + "/2025/06/" + (day < 10 ? "0" : "") + std::to_string(day);
        fs::create_directories(dir);
        char name[96];
        std::snprintf(name, sizeof name, "/rollout-2025-06-%02d-%06d.jsonl", day, index++);
        return dir + name;
    };
    while (written < options.targetBytes) {
        std::uint64_t size;
        if (index == 0 && options.longSessionBytes > 0) {
            size = options.longSessionBytes;
        } else {
            const double lo = std::log(double(options.minFileBytes));
            const double hi = std::log(double(options.maxFileBytes));
            size = std::uint64_t(std::exp(lo + rng.unit() * (hi - lo)));
        }
        size = std::min<std::uint64_t>(size, options.targetBytes - written + options.minFileBytes);
        // Written to in the window; some started well before it.
        const Ms end = options.now - rng.range(0, (options.now - options.since) * 9 / 10);
        const Ms start = end - rng.range(60'000, 8 * 3600'000);
        const bool perLine = rng.chance(options.perLineUsageShare);
        const std::string path = pathFor(int(rng.range(1, 28)));
        const auto totals = writeRollout(path, size, start, end, options.since, perLine, rng);
        const std::uint64_t bytes = fs::file_size(path);
        written += bytes;
        expect.bytesInWindow += bytes;
        expect.largestFileBytes = std::max(expect.largestFileBytes, bytes);
        expect.filePaths.push_back(path);
        ++expect.sessions;
        ++expect.recentSessions;  // last activity lies inside the window
        expect.inputTokens += totals.input;
        expect.outputTokens += totals.output;
        expect.cachedTokens += totals.cached;
        expect.recentPrompts += totals.recentPrompts;
    }
    for (int i = 0; i < options.oldFiles; ++i) {
        const Ms end = options.since - rng.range(60'000, 24 * 3600'000);
        const std::string path = pathFor(int(rng.range(1, 28)));
        writeRollout(path, 200'000, end - 3600'000, end, options.since, false, rng);
        expect.oldFilePaths.push_back(path);
    }
    return expect;
}

// Gemini CLI project folders as the tool writes them: one chat recording per session (JSON
// lines: a metadata line, then user and model records, a model record appended again once its
// tokens are known), and logs.json with the same prompts again. Every session ends in the last
// hours, or with `spreadMs` up to that long before them (its files last written then).
inline void writeGeminiTree(const std::string& geminiDir, Ms now, int projects, std::uint64_t seed,
                            Ms spreadMs = 0) {
    namespace fs = std::filesystem;
    Rng rng(seed);
    for (int p = 0; p < projects; ++p) {
        const std::string dir = geminiDir + "/tmp/project-" + std::to_string(p);
        fs::create_directories(dir + "/chats");
        const std::string sessionId = "s" + std::to_string(p) + "-" + base64ish(rng, 8);
        const int turns = int(rng.range(5, 60));
        Ms at = now - 4 * 3600'000 + rng.range(0, 600'000);
        const Ms shift = spreadMs > 0 ? rng.range(0, spreadMs) : 0;
        at -= shift;
        std::string logs = "[";
        std::string chat = "{\"sessionId\":\"" + sessionId + "\",\"projectHash\":\"" +
                           base64ish(rng, 16) + "\",\"startTime\":\"" + isoTime(at) +
                           "\",\"lastUpdated\":\"" + isoTime(now - shift) +
                           "\",\"kind\":\"main\"}\n";
        for (int t = 0; t < turns; ++t) {
            at += rng.range(10'000, 200'000);
            const std::string prompt = escaped(words(rng, std::size_t(rng.range(20, 400))));
            const std::string id = std::to_string(t);
            if (t) logs += ",";
            logs += "{\"sessionId\":\"" + sessionId + "\",\"messageId\":" + id +
                    ",\"timestamp\":\"" + isoTime(at) + "\",\"type\":\"user\",\"message\":\"" +
                    prompt + "\"}";
            chat += "{\"id\":\"u" + id + "\",\"timestamp\":\"" + isoTime(at) +
                    "\",\"type\":\"user\",\"content\":[{\"text\":\"" + prompt + "\"}]}\n";
            const std::string reply = "{\"id\":\"g" + id + "\",\"timestamp\":\"" +
                                      isoTime(at + 2000) + "\",\"type\":\"gemini\",\"content\":\"" +
                                      escaped(words(rng, std::size_t(rng.range(100, 3000)))) +
                                      "\",\"thoughts\":[{\"subject\":\"Plan\",\"description\":\"" +
                                      escaped(words(rng, 200)) +
                                      "\"}],\"model\":\"gemini-2.5-pro\"";
            const std::int64_t input = rng.range(1000, 90000);
            chat += reply + "}\n";
            chat += reply + ",\"tokens\":{\"input\":" + std::to_string(input) +
                    ",\"output\":" + std::to_string(rng.range(10, 4000)) +
                    ",\"cached\":" + std::to_string(input / 2) +
                    ",\"thoughts\":" + std::to_string(rng.range(0, 800)) +
                    ",\"tool\":0,\"total\":0}}\n";
        }
        logs += "]";
        std::ofstream(dir + "/logs.json", std::ios::binary) << logs;
        const std::string chatPath =
            dir + "/chats/session-2026-06-01T10-00-" + base64ish(rng, 8) + ".jsonl";
        std::ofstream(chatPath, std::ios::binary) << chat;
        if (spreadMs > 0) {
            setModified(dir + "/logs.json", at);
            // The name's random part may hold a slash, and then no chat file was written.
            if (fs::exists(chatPath)) setModified(chatPath, at);
        }
    }
    std::ofstream(geminiDir + "/oauth_creds.json", std::ios::binary) << "{\"access_token\":\"x\"}";
}

// Grok session folders with summaries, signals and chat histories, last active in the last
// hours, or with `spreadMs` in that span before now (their files last written then).
inline void writeGrokTree(const std::string& sessionsDir, Ms now, int sessions, std::uint64_t seed,
                          Ms spreadMs = 0) {
    namespace fs = std::filesystem;
    Rng rng(seed);
    for (int s = 0; s < sessions; ++s) {
        const std::string id = "grok-" + std::to_string(s);
        const std::string dir = sessionsDir + "/" + id;
        fs::create_directories(dir);
        const Ms last = now - rng.range(0, spreadMs > 0 ? spreadMs : 4 * 3600'000);
        std::ofstream(dir + "/summary.json", std::ios::binary)
            << "{\"info\":{\"id\":\"" << id << "\",\"cwd\":\"/home/dev/work/app/src\"},"
            << "\"git_root_dir\":\"/home/dev/work/app\",\"session_summary\":\""
            << escaped(words(rng, 80)) << "\",\"created_at\":\"" << isoTime(last - 3600'000)
            << "\",\"last_active_at\":\"" << isoTime(last)
            << "\",\"current_model_id\":\"grok-build\"}";
        std::string history;
        for (int line = 0; line < 40; ++line) {
            history += line % 4 == 0 ? "{\"type\":\"user\",\"content\":\"<user_query>" +
                                           escaped(words(rng, 200)) + "</user_query>\"}\n"
                                     : "{\"type\":\"assistant\",\"content\":\"" +
                                           escaped(codeText(rng, 2000)) + "\"}\n";
        }
        std::ofstream(dir + "/chat_history.jsonl", std::ios::binary) << history;
        // The tool's turn log: streamed chunks, and the billed usage of every finished turn.
        std::string updates;
        for (int turn = 0; turn < 10; ++turn) {
            for (int chunk = 0; chunk < 20; ++chunk) {
                updates +=
                    "{\"jsonrpc\":\"2.0\",\"method\":\"_x.ai/session/update\",\"params\":{"
                    "\"sessionId\":\"" +
                    id +
                    "\",\"update\":{\"sessionUpdate\":\"agent_message_chunk\",\"content\":{"
                    "\"type\":\"text\",\"text\":\"" +
                    escaped(words(rng, 300)) + "\"}}}}\n";
            }
            const std::int64_t input = rng.range(2000, 80000);
            updates +=
                "{\"jsonrpc\":\"2.0\",\"method\":\"_x.ai/session/update\",\"params\":{"
                "\"sessionId\":\"" +
                id +
                "\",\"update\":{\"sessionUpdate\":\"turn_completed\",\"usage\":{"
                "\"inputTokens\":" +
                std::to_string(input) + ",\"outputTokens\":" + std::to_string(rng.range(50, 3000)) +
                ",\"cachedReadTokens\":" + std::to_string(input * 3 / 4) +
                ",\"reasoningTokens\":10,\"modelCalls\":2,"
                "\"costUsdTicks\":" +
                std::to_string(rng.range(1'000'000, 90'000'000)) + "}}}}\n";
        }
        std::ofstream(dir + "/updates.jsonl", std::ios::binary) << updates;
        if (s % 2 == 0) {
            std::ofstream(dir + "/signals.json", std::ios::binary)
                << "{\"contextTokensUsed\":" << rng.range(1000, 200000)
                << ",\"userMessageCount\":" << rng.range(1, 20) << ",\"turnCount\":12}";
        }
        if (spreadMs > 0) {
            for (const auto& file : fs::directory_iterator(dir))
                setModified(file.path().string(), last);
        }
    }
}

}  // namespace qm::scangen
