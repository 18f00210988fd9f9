// The usage index over a generated tree in the tools' real formats (Claude Code transcripts,
// Codex rollouts, some Gemini recordings and Grok sessions), activity spread over 90 days:
//
//   cold: `report daily` with no index, with 1 and 2 threads, and its peak memory;
//   warm: the same with the index current, beside a bare stat of every file in the tree;
//   append: after 1 MB is appended to one rollout, beside a bare parse of that 1 MB; and after
//   1 MB is appended to the longest Claude Code session, with what the index wrote for it;
//   the index's size against the logs'.
//
//   bench_ledger [--size-mb N] [--runs N] [--dir PATH] [--keep] [--peer PROGRAM]
//
// With --peer, PROGRAM (the peer reporting tool, e.g. node_modules/.bin/ccusage) runs
// `daily --offline --json` over the same home between the cold runs, for a side-by-side time.
//
// Every time is given as min / median / max of the runs. Each cold run is a fresh child
// process, so its peak memory is its own.

#include <simdjson.h>

#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QDate>
#include <QDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ledger/UsageLedger.h"
#include "ledger/UsageReport.h"
#include "scan/ClaudeCodeGenerator.h"
#include "scan/ScanGenerator.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    std::uint64_t sizeMb = 1000;
    int runs = 5;
    std::string dir;
    bool keep = false;
    std::string peer;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void printStats(const char* name, std::vector<double> values, const char* unit, double scale) {
    std::sort(values.begin(), values.end());
    std::printf("%s: %.1f / %.1f / %.1f %s (min / median / max of %zu)\n", name,
                values.front() * scale, values[values.size() / 2] * scale, values.back() * scale,
                unit, values.size());
}

qm::ledger::UsageLedger ledgerOver(const std::string& home, const std::string& cache) {
    return qm::ledger::UsageLedger(
        QString::fromStdString(cache),
        qm::ledger::LedgerSources::forHome(QString::fromStdString(home)));
}

// What `report daily` does: bring the index up to date, then report the last 30 days.
std::int64_t reportDaily(const qm::ledger::UsageLedger& ledger, int threads) {
    const auto snapshot = ledger.update(threads);
    qm::ledger::ReportQuery query;
    query.until = QDate::currentDate();
    query.since = qm::ledger::ReportQuery::defaultSince(query.period, query.until);
    const auto report = qm::ledger::buildReport(snapshot.slices(), query);
    return report.totals.counts.input + std::int64_t(report.rows.size());
}

struct ColdFigures {
    double seconds = 0;
    double peakMb = 0;
    double cpuSeconds = 0;  // user + system: what the run costs when the machine is shared
};

// A cold report in a child process: its wall time, peak resident memory and processor time.
ColdFigures coldRun(const std::string& home, const std::string& cache, int threads) {
    fs::remove_all(cache);
    std::fflush(stdout);  // or the child writes what is buffered a second time
    const auto start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const std::int64_t answer = reportDaily(ledgerOver(home, cache), threads);
        ::_exit(answer > 0 ? 0 : 1);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "cold run failed\n");
    const auto seconds = [](const timeval& t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return {secondsSince(start), double(usage.ru_maxrss) / 1024.0,
            seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

// The peer's cold daily report over the same home: its wall time and peak memory.
std::pair<double, double> peerRun(const std::string& program, const std::string& home) {
    std::fflush(stdout);  // or the child writes what is buffered a second time
    const auto start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("CLAUDE_CONFIG_DIR");
        ::unsetenv("CODEX_HOME");
        if (!std::freopen("/dev/null", "w", stdout)) ::_exit(2);
        ::execl(program.c_str(), program.c_str(), "daily", "--offline", "--json", nullptr);
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "peer run failed\n");
    return {secondsSince(start), double(usage.ru_maxrss) / 1024.0};
}

std::uint64_t g_statted = 0;
int countEntry(const char*, const struct stat*, int, struct FTW*) {
    ++g_statted;
    return 0;
}

void generate(const Options& o, const std::string& home) {
    using namespace qm::scangen;
    const Ms now = Ms(std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count());
    const Ms since = now - 90ll * 24 * 3600'000;
    const std::uint64_t total = o.sizeMb * 1'000'000;
    ClaudeTreeOptions claude;
    claude.projectsDir = home + "/.claude/projects";
    claude.targetBytes = total / 2;
    claude.longSessionBytes = 40'000'000;
    claude.maxSessionBytes = 600'000;  // many short sessions, as heavy users have
    claude.now = now;
    claude.since = since;
    writeClaudeTree(claude);
    CodexTreeOptions codex;
    codex.sessionsDir = home + "/.codex/sessions";
    codex.targetBytes = total * 45 / 100;
    codex.maxFileBytes = 2'000'000;
    codex.longSessionBytes = 50'000'000;
    codex.now = now;
    codex.since = since;
    codex.oldFiles = 0;
    writeCodexTree(codex);
    writeGeminiTree(home + "/.gemini", now, 40, 11);
    writeGrokTree(home + "/.grok/sessions", now, 60, 13);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--size-mb" && hasValue)
            o.sizeMb = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--runs" && hasValue)
            o.runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--dir" && hasValue)
            o.dir = argv[++i];
        else if (arg == "--keep")
            o.keep = true;
        else if (arg == "--peer" && hasValue)
            o.peer = argv[++i];
    }
    if (o.dir.empty()) o.dir = (fs::temp_directory_path() / "qm-ledger-bench").string();
    return o;
}

// Every byte of the tree read into memory and dropped, files split between `threads`: the
// floor under any cold report, which has to read them all.
double bareRead(const std::string& home, int threads) {
    std::vector<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        if (entry.is_regular_file()) paths.push_back(entry.path().string());
    }
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&paths, t, threads] {
            std::vector<char> buffer(1 << 20);
            for (std::size_t i = std::size_t(t); i < paths.size(); i += std::size_t(threads)) {
                const int fd = ::open(paths[i].c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) continue;
                while (::read(fd, buffer.data(), buffer.size()) > 0) {
                }
                ::close(fd);
            }
        });
    }
    for (auto& worker : workers) worker.join();
    return secondsSince(start);
}

// The last rollout's bytes, so the appended lines are real rollout lines.
std::string oneMegabyteOfLines(const std::string& home, std::string& target) {
    std::string source;
    for (const auto& entry : fs::recursive_directory_iterator(home + "/.codex/sessions")) {
        if (!entry.is_regular_file() || entry.file_size() < 2'000'000) continue;
        if (source.empty())
            source = entry.path().string();
        else if (target.empty())
            target = entry.path().string();
    }
    // A small tree may hold one long rollout only: it grows by its own first lines.
    if (target.empty()) target = source;
    std::ifstream in(source, std::ios::binary);
    std::string bytes(1'000'000, '\0');
    in.read(bytes.data(), std::streamsize(bytes.size()));
    bytes.resize(bytes.rfind('\n') + 1);
    return bytes;
}

// A megabyte of other sessions' transcript lines, and the longest session to append them to:
// the file whose index entry is largest.
std::string claudeLines(const std::string& home, std::string& target) {
    std::string bytes;
    std::uintmax_t longest = 0;
    for (const auto& entry : fs::recursive_directory_iterator(home + "/.claude/projects")) {
        if (!entry.is_regular_file() || entry.path().extension() != ".jsonl") continue;
        if (entry.file_size() > longest) {
            longest = entry.file_size();
            target = entry.path().string();
        }
    }
    for (const auto& entry : fs::recursive_directory_iterator(home + "/.claude/projects")) {
        if (bytes.size() >= 1'000'000) break;
        if (!entry.is_regular_file() || entry.path().string() == target) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        bytes.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bytes.resize(std::min<std::size_t>(bytes.size(), 1'000'000));
    bytes.resize(bytes.rfind('\n') + 1);
    return bytes;
}

std::uintmax_t sizeOrZero(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const std::string home = o.dir + "/home";
    const std::string cache = o.dir + "/cache";
    if (!fs::exists(home)) {
        const auto start = Clock::now();
        generate(o, home);
        std::printf("generate: %.1f s\n", secondsSince(start));
    }
    std::uint64_t logBytes = 0;
    std::uint64_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        if (!entry.is_regular_file()) continue;
        logBytes += entry.file_size();
        ++files;
    }
    std::printf("tree: %.0f MB in %llu files\n", double(logBytes) / 1e6, (unsigned long long)files);

    std::vector<double> cold1, cold2, memory, cpu, peer, peerMemory;
    for (int i = 0; i < o.runs; ++i) {
        const ColdFigures one = coldRun(home, cache, 1);
        cold1.push_back(one.seconds);
        memory.push_back(one.peakMb);
        cpu.push_back(one.cpuSeconds);
        cold2.push_back(coldRun(home, cache, 2).seconds);
        if (o.peer.empty()) continue;
        const auto [seconds, peerRss] = peerRun(o.peer, home);
        peer.push_back(seconds);
        peerMemory.push_back(peerRss);
    }
    if (!peer.empty()) {
        printStats("peer_daily_report", peer, "ms", 1000);
        printStats("peer_peak_memory", peerMemory, "MB", 1);
        std::sort(peer.begin(), peer.end());
    }
    printStats("cold_report_1_thread", cold1, "ms", 1000);
    printStats("cold_report_2_threads", cold2, "ms", 1000);
    printStats("cold_peak_memory_1_thread", memory, "MB", 1);
    printStats("cold_cpu_time_1_thread", cpu, "ms", 1000);
    std::sort(cold1.begin(), cold1.end());
    std::sort(cold2.begin(), cold2.end());
    std::printf("cold_speedup_2_threads: %.2f x (medians)\n",
                cold1[cold1.size() / 2] / cold2[cold2.size() / 2]);
    if (!peer.empty()) {
        std::printf("cold_2_threads_of_peer: %.3f (medians)\n",
                    cold2[cold2.size() / 2] / peer[peer.size() / 2]);
    }

    std::vector<double> bare;
    for (int i = 0; i < o.runs; ++i) bare.push_back(bareRead(home, 2));
    printStats("bare_read_of_tree_2_threads", bare, "ms", 1000);

    const auto ledger = ledgerOver(home, cache);
    reportDaily(ledger, 0);
    std::vector<double> warm, statted;
    for (int i = 0; i < o.runs; ++i) {
        auto start = Clock::now();
        reportDaily(ledger, 0);
        warm.push_back(secondsSince(start));
        start = Clock::now();
        g_statted = 0;
        ::nftw(home.c_str(), countEntry, 64, FTW_PHYS);
        statted.push_back(secondsSince(start));
    }
    printStats("warm_report", warm, "ms", 1000);
    printStats("bare_stat_of_tree", statted, "ms", 1000);

    std::string target;
    const std::string lines = oneMegabyteOfLines(home, target);
    std::vector<double> appended, parsed;
    simdjson::dom::parser parser;
    for (int i = 0; i < o.runs; ++i) {
        std::ofstream(target, std::ios::binary | std::ios::app) << lines;
        auto start = Clock::now();
        reportDaily(ledger, 0);
        appended.push_back(secondsSince(start));
        start = Clock::now();
        const simdjson::padded_string padded(lines);
        std::size_t docs = 0;
        for (auto doc : parser.parse_many(padded)) docs += doc.error() ? 0 : 1;
        parsed.push_back(secondsSince(start));
        if (docs == 0) std::fprintf(stderr, "no lines parsed\n");
    }
    printStats("report_after_1MB_append", appended, "ms", 1000);
    printStats("bare_parse_of_1MB", parsed, "ms", 1000);

    // The same for a long Claude Code session, and the bytes the index wrote each time (its
    // journal's growth, or the whole index when the journal was folded into it).
    std::string session;
    const std::string transcript = claudeLines(home, session);
    const std::string journal = ledger.journalPath().toStdString();
    std::vector<double> sessionAppended, written;
    for (int i = 0; i < o.runs; ++i) {
        // New requests each time, as a session that goes on makes them.
        std::string lines = transcript;
        const std::string id = "\"requestId\":\"req_";
        for (std::size_t at = lines.find(id); at != std::string::npos; at = lines.find(id, at + 1))
            lines.insert(at + id.size(), std::to_string(i) + "x");
        std::ofstream(session, std::ios::binary | std::ios::app) << lines;
        const std::uintmax_t before = sizeOrZero(journal);
        const auto start = Clock::now();
        reportDaily(ledger, 0);
        sessionAppended.push_back(secondsSince(start));
        const std::uintmax_t after = sizeOrZero(journal);
        written.push_back(
            double(after > before ? after - before : sizeOrZero(ledger.indexPath().toStdString())));
    }
    printStats("report_after_1MB_claude_append", sessionAppended, "ms", 1000);
    printStats("index_bytes_written_per_claude_append", written, "KB", 1e-3);

    const auto index = fs::file_size(ledger.indexPath().toStdString());
    std::printf("index_size: %.1f MB (%.2f%% of the logs)\n", double(index) / 1e6,
                100.0 * double(index) / double(logBytes));
    if (!o.keep) fs::remove_all(o.dir);
    return 0;
}
