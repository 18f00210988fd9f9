// The usage index over a generated tree in the tools' real formats (Claude Code transcripts,
// Codex rollouts, some Gemini recordings and Grok sessions), activity spread over 90 days. Two
// shapes of tree:
//
//   sessions (the default): 1 GB in few, large sessions, one of them very long;
//   requests: 3 GB in about 8 000 files, about 300 000 Claude Code requests in sessions of a
//   few MB (sub-agent files, resumed sessions that copy earlier requests), the rest rollouts.
//
// Figures, every time as min / median / max of the runs:
//
//   cold: `report daily` with no index, with 1 and 2 threads, and its peak memory;
//   warm: the same with the index current, beside a bare stat of every file in the tree;
//   append: after 1 MB is appended to one rollout, beside a bare parse of that 1 MB; and after
//   1 MB is appended to the longest Claude Code session, with what the index wrote for it;
//   the index's size against the logs';
//   the command-line program (quotameter-cli) as a child process in a home of its own:
//   statusline, title --json, limits, usage and report daily, warm and after appends;
//   with --app, the tray application's memory after its first index build and its idle
//   processor time.
//
//   bench_ledger [--shape sessions|requests] [--size-mb N] [--runs N] [--dir PATH] [--keep]
//                [--peer PROGRAM] [--app PROGRAM]
//
// With --peer, PROGRAM (the peer reporting tool, e.g. node_modules/.bin/ccusage) runs
// `daily --offline --json` over the same home between the cold runs, for a side-by-side time.
// With --keep the tree stays in --dir and is used again by the next run of the same shape and
// size; the files the bench appended to are cut back to what they were.
//
// Each cold run is a fresh child process, so its peak memory is its own.

#include <simdjson.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QDate>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "ledger/BenchFigures.h"
#include "ledger/BenchTree.h"
#include "ledger/ChildProcess.h"
#include "ledger/CliFigures.h"
#include "ledger/TrayAppFigures.h"
#include "ledger/UsageLedger.h"
#include "ledger/UsageReport.h"

namespace {

namespace fs = std::filesystem;
using qm::bench::Clock;
using qm::bench::printStats;
using qm::bench::secondsSince;
using qm::bench::Shape;

struct Options {
    Shape shape = Shape::sessions;
    std::uint64_t sizeMb = 0;  // 0: the shape's own
    int runs = 5;
    std::string dir;
    bool keep = false;
    std::string peer;
    std::string app;
};

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

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--shape" && hasValue)
            o.shape = std::string(argv[++i]) == "requests" ? Shape::requests : Shape::sessions;
        else if (arg == "--size-mb" && hasValue)
            o.sizeMb = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--runs" && hasValue)
            o.runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--dir" && hasValue)
            o.dir = argv[++i];
        else if (arg == "--keep")
            o.keep = true;
        else if (arg == "--peer" && hasValue)
            o.peer = argv[++i];
        else if (arg == "--app" && hasValue)
            o.app = argv[++i];
    }
    const bool requests = o.shape == Shape::requests;
    if (o.sizeMb == 0) o.sizeMb = requests ? 3000 : 1000;
    if (o.dir.empty()) {
        o.dir = (fs::temp_directory_path() /
                 (requests ? "qm-ledger-bench-requests" : "qm-ledger-bench"))
                    .string();
    }
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

void coldFigures(const Options& o, const std::string& home, const std::string& cache) {
    std::vector<double> cold1, cold2, memory, cpu, peer, peerMemory;
    std::vector<std::string> peerEnv;
    if (!o.peer.empty()) peerEnv = qm::bench::isolatedEnvironment(home, o.dir + "/peer-xdg");
    std::string peerFailure;
    for (int i = 0; i < o.runs; ++i) {
        const ColdFigures one = coldRun(home, cache, 1);
        cold1.push_back(one.seconds);
        memory.push_back(one.peakMb);
        cpu.push_back(one.cpuSeconds);
        cold2.push_back(coldRun(home, cache, 2).seconds);
        if (o.peer.empty() || !peerFailure.empty()) continue;
        // The peer's cold daily report over the same home: its wall time and peak memory.
        const qm::bench::ChildRun run = qm::bench::runChild(
            {o.peer, "daily", "--offline", "--json"}, peerEnv, {}, o.dir + "/peer-runs");
        if (!run.ok) {
            peerFailure = run.failure;
            continue;
        }
        peer.push_back(run.seconds);
        peerMemory.push_back(run.peakMb);
    }
    fs::remove_all(o.dir + "/peer-runs");
    fs::remove_all(o.dir + "/peer-xdg");
    if (!peerFailure.empty()) {
        std::printf("peer_daily_report: failed (%s)\n",
                    peerFailure.substr(0, peerFailure.find('\n')).c_str());
        std::fprintf(stderr, "peer failed: %s\n", peerFailure.c_str());
    } else if (!peer.empty()) {
        printStats("peer_daily_report", peer, "ms", 1000);
        printStats("peer_peak_memory", peerMemory, "MB", 1);
    }
    printStats("cold_report_1_thread", cold1, "ms", 1000);
    printStats("cold_report_2_threads", cold2, "ms", 1000);
    printStats("cold_peak_memory_1_thread", memory, "MB", 1);
    printStats("cold_cpu_time_1_thread", cpu, "ms", 1000);
    std::printf("cold_speedup_2_threads: %.2f x (medians)\n",
                qm::bench::median(cold1) / qm::bench::median(cold2));
    if (peerFailure.empty() && !peer.empty()) {
        std::printf("cold_2_threads_of_peer: %.3f (medians)\n",
                    qm::bench::median(cold2) / qm::bench::median(peer));
    }

    std::vector<double> bare;
    for (int i = 0; i < o.runs; ++i) bare.push_back(bareRead(home, 2));
    printStats("bare_read_of_tree_2_threads", bare, "ms", 1000);
}

// The index must count every request once, the copies resumed sessions start with included.
void checkClaudeRequests(const qm::ledger::UsageLedger& ledger, const qm::bench::TreeFacts& facts) {
    if (facts.claudeRequests <= 0) return;  // a tree kept from before its facts were written
    const qm::ledger::ReportFigures figures = qm::ledger::figuresBetween(
        ledger.update(0).slices(), std::numeric_limits<qm::TimeMs>::min(),
        std::numeric_limits<qm::TimeMs>::max(), qm::ProviderKind::claudeCode);
    std::printf("index_claude_requests: %lld count (%lld generated)\n",
                (long long)figures.counts.calls, (long long)facts.claudeRequests);
    if (figures.counts.calls != facts.claudeRequests)
        std::fprintf(stderr,
                     "bench_ledger: the index counts other Claude Code requests than the "
                     "generator wrote\n");
}

void warmFigures(const Options& o, const std::string& home, const qm::ledger::UsageLedger& ledger,
                 const qm::bench::TreeFacts& facts) {
    reportDaily(ledger, 0);
    std::vector<double> warm, statted;
    for (int i = 0; i < o.runs; ++i) {
        const auto start = Clock::now();
        reportDaily(ledger, 0);
        warm.push_back(secondsSince(start));
        statted.push_back(qm::bench::bareStatOfTree(home));
    }
    printStats("warm_report", warm, "ms", 1000);
    printStats("bare_stat_of_tree", statted, "ms", 1000);
    checkClaudeRequests(ledger, facts);
}

void rolloutAppendFigures(const Options& o, const qm::ledger::UsageLedger& ledger,
                          const std::string& target, const std::string& lines) {
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
}

// The same for a long Claude Code session, and the bytes the index wrote each time (its
// journal's growth, or the whole index when the journal was folded into it).
void claudeAppendFigures(const Options& o, const qm::ledger::UsageLedger& ledger,
                         const std::string& session, const std::string& transcript) {
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
}

}  // namespace

int main(int argc, char** argv) {
    // Each figure is out as soon as it is known, even when the output is a pipe or a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options o = parse(argc, argv);
    const std::string home = o.dir + "/home";
    const std::string cache = o.dir + "/cache";
    const qm::bench::TreeFacts facts = qm::bench::prepareTree(o.shape, o.sizeMb, o.dir);
    const std::uint64_t logBytes = qm::bench::printTree(home, facts);
    // Chosen before anything grows, so a kept tree gives the same one every time.
    const std::string recent = qm::bench::recentTranscript(home);
    qm::bench::GrowingFiles growing;

    coldFigures(o, home, cache);
    const auto ledger = ledgerOver(home, cache);
    warmFigures(o, home, ledger, facts);
    std::string rollout;
    const std::string rolloutLines = oneMegabyteOfLines(home, rollout);
    growing.remember(rollout);
    rolloutAppendFigures(o, ledger, rollout, rolloutLines);
    std::string session;
    const std::string transcript = claudeLines(home, session);
    growing.remember(session);
    claudeAppendFigures(o, ledger, session, transcript);
    const auto index = fs::file_size(ledger.indexPath().toStdString());
    std::printf("index_size: %.1f MB (%.2f%% of the logs)\n", double(index) / 1e6,
                100.0 * double(index) / double(logBytes));

    qm::bench::CliSetup cli;
    cli.program = QM_CLI_PATH;
    cli.home = home;
    cli.work = o.dir;
    cli.transcript = recent;
    cli.rollout = rollout;
    cli.rolloutLines = rolloutLines;
    cli.runs = o.runs;
    cli.beforeGrowing = [&growing](const std::string& path) { growing.remember(path); };
    qm::bench::measureCli(cli);
    if (!o.app.empty()) qm::bench::measureTrayApp(o.app, home, o.dir);

    if (o.keep) {
        // The tree as it was; the index over it is rebuilt by the next run's first cold report.
        growing.restore();
        fs::remove_all(cache);
    } else {
        fs::remove_all(o.dir);
    }
    return 0;
}
