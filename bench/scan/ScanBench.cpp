// The local scan: Codex rollout throughput over a generated tree, against a bare simdjson
// parse of the same lines; the scan's peak memory on one very large rollout; what files last
// written before the window cost beside a bare directory walk.
//
// The same for Claude Code transcripts (--claude-mb; --only-claude runs that part alone).
//
//   bench_scan [--size-mb N] [--rollout-mb N] [--old-files N] [--claude-mb N] [--only-claude]
//              [--dir PATH] [--keep]
//
// Runs on one core with a warm page cache (the tree is written, then scanned repeatedly).

#include <simdjson.h>

#include <sched.h>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ledger/FiveHourSummaries.h"
#include "ledger/UsageLedger.h"
#include "readers/CliLogParsing.h"
#include "readers/CodexCliReader.h"
#include "scan/ClaudeCodeGenerator.h"
#include "scan/ScanGenerator.h"

namespace {

using qm::TimeMs;
namespace od = simdjson::ondemand;
constexpr TimeMs kWindowMs = 5 * 3600 * 1000;

template <typename F>
double bestSeconds(int runs, F&& f) {
    double best = 1e100;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

// Visits every value of a document, decoding every key, string and number: a full parse with
// the on-demand front end.
simdjson::error_code walk(od::value value, std::size_t& values) {
    ++values;
    od::json_type type;
    if (auto error = value.type().get(type)) return error;
    switch (type) {
        case od::json_type::object: {
            od::object object;
            if (auto error = value.get_object().get(object)) return error;
            for (auto fieldResult : object) {
                od::field field;
                if (auto error = std::move(fieldResult).get(field)) return error;
                std::string_view key;
                if (auto error = field.unescaped_key().get(key)) return error;
                if (auto error = walk(field.value(), values)) return error;
            }
            return simdjson::SUCCESS;
        }
        case od::json_type::array: {
            od::array array;
            if (auto error = value.get_array().get(array)) return error;
            for (auto item : array) {
                od::value element;
                if (auto error = std::move(item).get(element)) return error;
                if (auto error = walk(element, values)) return error;
            }
            return simdjson::SUCCESS;
        }
        case od::json_type::string: {
            std::string_view text;
            return value.get_string().get(text);
        }
        case od::json_type::number: {
            double number;
            return value.get_double().get(number);
        }
        case od::json_type::boolean: {
            bool flag;
            return value.get_bool().get(flag);
        }
        case od::json_type::null:
            return simdjson::SUCCESS;
    }
    return simdjson::SUCCESS;
}

struct Baseline {
    std::size_t lines = 0;
    std::size_t parsed = 0;
    std::size_t values = 0;
};

// The same files, read the same way, every line fully parsed.
Baseline onDemandBaseline(const std::vector<QString>& files) {
    Baseline result;
    qm::CliLogParsing::LineStream stream;
    od::parser parser;
    for (const QString& path : files) {
        stream.forEachLine(path, [&](std::string_view line) {
            ++result.lines;
            od::document doc;
            if (parser.iterate(line.data(), line.size(), line.size() + simdjson::SIMDJSON_PADDING)
                    .get(doc)) {
                return;
            }
            od::value root;
            if (doc.get_value().get(root) == simdjson::SUCCESS &&
                walk(root, result.values) == simdjson::SUCCESS) {
                ++result.parsed;
            }
        });
    }
    return result;
}

Baseline domBaseline(const std::vector<QString>& files) {
    Baseline result;
    qm::CliLogParsing::LineStream stream;
    simdjson::dom::parser parser;
    for (const QString& path : files) {
        stream.forEachLine(path, [&](std::string_view line) {
            ++result.lines;
            simdjson::dom::element root;
            if (parser.parse(line.data(), line.size(), false).get(root) == simdjson::SUCCESS) {
                ++result.parsed;
            }
        });
    }
    return result;
}

// Peak memory of a process that does nothing but one Codex scan, as that process measures it
// itself: the exit accounting of a spawned child also counts the parent's memory.
long childPeakRssKb(const char* self, const QString& home, TimeMs since) {
    const std::string command =
        std::string(self) + " --child-scan '" + home.toStdString() + "' " + std::to_string(since);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    long kb = -1;
    if (std::fscanf(pipe, "%ld", &kb) != 1) kb = -1;
    return ::pclose(pipe) == 0 ? kb : -1;
}

// One rollout of about `megabytes` MB: a generated session written again and again (its
// counters start afresh in every copy, as far as the scan cares).
std::uint64_t writeLargeRollout(const QString& home, std::uint64_t megabytes, TimeMs now,
                                TimeMs since) {
    namespace fs = std::filesystem;
    const std::string dir = (home + "/.codex/sessions/2025/06/01").toStdString();
    fs::create_directories(dir);
    const std::string piece = dir + "/piece.tmp";
    qm::scangen::Rng rng(7);
    qm::scangen::writeRollout(piece, 20'000'000, now - 3600'000, now - 60'000, since, false, rng);
    std::ifstream in(piece, std::ios::binary);
    const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(piece);
    const std::string path = dir + "/rollout-2025-06-01-large.jsonl";
    std::ofstream out(path, std::ios::binary);
    std::uint64_t written = 0;
    while (written < megabytes * 1'000'000) {
        out.write(body.data(), std::streamsize(body.size()));
        written += body.size();
    }
    out.close();
    qm::scangen::setModified(path, now - 60'000);
    return written;
}

// Files last written before the window: small rollouts, never to be opened.
void writeOldFiles(const QString& home, int count, TimeMs since) {
    namespace fs = std::filesystem;
    const std::string line =
        "{\"timestamp\":\"2025-01-01T00:00:00.000Z\",\"type\":\"session_meta\",\"payload\":{"
        "\"id\":\"old\",\"cwd\":\"/home/dev/app\"}}\n";
    for (int i = 0; i < count; ++i) {
        const std::string dir = (home + "/.codex/sessions/2025/01/").toStdString() +
                                (i % 28 < 9 ? "0" : "") + std::to_string(i % 28 + 1);
        if (i < 28) fs::create_directories(dir);
        const std::string path = dir + "/rollout-2025-01-old-" + std::to_string(i) + ".jsonl";
        std::ofstream(path, std::ios::binary) << line;
        qm::scangen::setModified(path, since - 3600'000 - i);
    }
}

// A tool's summary as a cold start gets it: the tool's logs under `home` read into a new usage
// index, the summary composed from it.
struct IndexedScan {
    QString home;
    qm::ProviderKind kind = qm::ProviderKind::codex;
    qm::ProviderUsage readUsageSync(TimeMs since) const {
        namespace ledger = qm::ledger;
        ledger::LedgerSources all = ledger::LedgerSources::forHome(home);
        ledger::LedgerSources only;
        if (kind == qm::ProviderKind::codex) only.codexDirectories = all.codexDirectories;
        if (kind == qm::ProviderKind::gemini) only.geminiDirectory = all.geminiDirectory;
        if (kind == qm::ProviderKind::grok) only.grokSessionsDirectory = all.grokSessionsDirectory;
        if (kind == qm::ProviderKind::claudeCode)
            only.claudeProjectDirectories = all.claudeProjectDirectories;
        QTemporaryDir cache;
        const auto files = ledger::UsageLedger(cache.path(), only).update(1).files;
        const QDir dir(home);
        switch (kind) {
            case qm::ProviderKind::codex:
                return ledger::codexUsage(files, qm::CodexCliReader::homeFor(home), since);
            case qm::ProviderKind::gemini:
                return ledger::geminiUsage(files, dir.filePath(".gemini"), since);
            case qm::ProviderKind::grok:
                return ledger::grokUsage(files, dir.filePath(".grok/sessions"),
                                         dir.filePath(".grok/auth.json"), since);
            case qm::ProviderKind::claudeCode:
            case qm::ProviderKind::openCode:
            case qm::ProviderKind::qwenCode:
                break;
        }
        return ledger::claudeCodeUsage(files, only.claudeProjectDirectories,
                                       dir.filePath(".claude/.credentials.json"), since);
    }
};
using ClaudeScan = IndexedScan;

ClaudeScan claudeReader(const QString& home) {
    return {home, qm::ProviderKind::claudeCode};
}

// The peak memory of one cold summary, in a process of its own.
int childScanOf(const IndexedScan& scan, TimeMs since) {
    const qm::ProviderUsage usage = scan.readUsageSync(since);
    QFile status(QStringLiteral("/proc/self/status"));
    long kb = -1;
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:")) kb = line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    std::printf("%ld\n", kb);
    return usage.sessionsTotal > 0 && kb > 0 ? 0 : 1;
}

int childScan(const QString& home, TimeMs since) {
    return childScanOf({home, qm::ProviderKind::codex}, since);
}

int childClaudeScan(const QString& home, TimeMs since) {
    return childScanOf(claudeReader(home), since);
}

long childClaudePeakRssKb(const char* self, const QString& home, TimeMs since) {
    const std::string command = std::string(self) + " --child-claude-scan '" + home.toStdString() +
                                "' " + std::to_string(since);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    long kb = -1;
    if (std::fscanf(pipe, "%ld", &kb) != 1) kb = -1;
    return ::pclose(pipe) == 0 ? kb : -1;
}

std::size_t bareWalk(const QString& directory);

// Claude Code: throughput over a generated tree against the bare parses, peak memory, and
// what old transcripts cost beside a bare walk. False when the scan reported wrong figures.
bool claudeBench(const QString& dir, std::uint64_t sizeMb, int oldFiles, TimeMs now, TimeMs since) {
    const QString home = dir + "/claude";
    qm::scangen::ClaudeTreeOptions options;
    options.projectsDir = (home + "/.claude/projects").toStdString();
    options.targetBytes = sizeMb * 1'000'000;
    options.longSessionBytes = std::min<std::uint64_t>(options.targetBytes / 5, 60'000'000);
    options.now = now;
    options.since = since;
    const auto expected = qm::scangen::writeClaudeTree(options);
    std::vector<QString> files;
    for (const std::string& path : expected.filePaths)
        files.push_back(QString::fromStdString(path));
    const double megabytes = double(expected.bytesInWindow) / 1e6;

    const ClaudeScan reader = claudeReader(home);
    qm::ProviderUsage usage = reader.readUsageSync(since);  // warms the page cache
    const double scanSeconds = bestSeconds(3, [&] { usage = reader.readUsageSync(since); });
    const bool correct = usage.sessionsTotal == expected.sessions &&
                         usage.totalInputTokens == expected.inputTokens &&
                         usage.totalOutputTokens == expected.outputTokens &&
                         usage.totalCachedTokens == expected.cacheReadTokens &&
                         usage.totalCacheWriteTokens == expected.cacheWriteTokens &&
                         usage.lastFiveHourTokens == expected.windowTokens &&
                         usage.lastFiveHourPrompts == expected.recentPrompts;
    Baseline onDemand;
    const double onDemandSeconds = bestSeconds(2, [&] { onDemand = onDemandBaseline(files); });
    Baseline dom;
    const double domSeconds = bestSeconds(2, [&] { dom = domBaseline(files); });

    const std::string self = QCoreApplication::applicationFilePath().toStdString();
    const long rssKb = childClaudePeakRssKb(self.c_str(), home, since);
    std::filesystem::remove_all(home.toStdString());

    const QString oldHome = dir + "/claude-old";
    qm::scangen::ClaudeTreeOptions oldOptions;
    oldOptions.projectsDir = (oldHome + "/.claude/projects").toStdString();
    oldOptions.targetBytes = 0;
    oldOptions.oldFiles = oldFiles;
    oldOptions.now = now;
    oldOptions.since = since;
    qm::scangen::writeClaudeTree(oldOptions);
    std::size_t walked = 0;
    const double walkSeconds =
        bestSeconds(3, [&] { walked = bareWalk(oldHome + "/.claude/projects"); });
    const double oldScanSeconds =
        bestSeconds(3, [&] { claudeReader(oldHome).readUsageSync(since); });
    std::filesystem::remove_all(oldHome.toStdString());

    std::printf("claude_tree_files: %zu files\n", files.size());
    std::printf("claude_tree_sessions: %lld sessions\n", (long long)expected.sessions);
    std::printf("claude_tree_size: %.1f MB\n", megabytes);
    std::printf("claude_tree_lines: %zu lines\n", dom.lines);
    std::printf("claude_scan: %.0f MB/s\n", megabytes / scanSeconds);
    std::printf("claude_scan_correct: %d bool\n", correct ? 1 : 0);
    std::printf("claude_simdjson_ondemand_full: %.0f MB/s\n", megabytes / onDemandSeconds);
    std::printf("claude_simdjson_dom: %.0f MB/s\n", megabytes / domSeconds);
    std::printf("claude_peak_rss: %.1f MB\n", double(rssKb) * 1024.0 / 1e6);
    std::printf("claude_largest_file: %.1f MB\n", double(expected.largestFileBytes) / 1e6);
    std::printf("claude_old_files: %zu files\n", walked);
    std::printf("claude_old_files_walk: %.3f s\n", walkSeconds);
    std::printf("claude_old_files_scan: %.3f s\n", oldScanSeconds);
    std::printf("claude_old_files_overhead: %.3f s\n", oldScanSeconds - walkSeconds);
    return correct && rssKb > 0 && dom.parsed == dom.lines;
}

std::size_t bareWalk(const QString& directory) {
    std::size_t files = 0;
    QDirIterator it(directory, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++files;
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("--child-scan")) {
        return childScan(args[2], args[3].toLongLong());
    }
    if (args.size() == 4 && args[1] == QLatin1String("--child-claude-scan")) {
        return childClaudeScan(args[2], args[3].toLongLong());
    }
    std::uint64_t claudeMb = 300;
    bool onlyClaude = false;
    std::uint64_t sizeMb = 500;
    std::uint64_t rolloutMb = 1000;
    int oldFiles = 20'000;
    QString dir;
    bool keep = false;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--size-mb") && i + 1 < args.size()) {
            sizeMb = args[++i].toULongLong();
        } else if (args[i] == QLatin1String("--rollout-mb") && i + 1 < args.size()) {
            rolloutMb = args[++i].toULongLong();
        } else if (args[i] == QLatin1String("--old-files") && i + 1 < args.size()) {
            oldFiles = args[++i].toInt();
        } else if (args[i] == QLatin1String("--dir") && i + 1 < args.size()) {
            dir = args[++i];
        } else if (args[i] == QLatin1String("--claude-mb") && i + 1 < args.size()) {
            claudeMb = args[++i].toULongLong();
        } else if (args[i] == QLatin1String("--only-claude")) {
            onlyClaude = true;
        } else if (args[i] == QLatin1String("--keep")) {
            keep = true;
        } else {
            std::fprintf(stderr,
                         "usage: bench_scan [--size-mb N] [--rollout-mb N] [--old-files N] "
                         "[--claude-mb N] [--only-claude] [--dir PATH] [--keep]\n");
            return 2;
        }
    }

    // One core: the figures are per core, whatever else the machine runs.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);

    if (dir.isEmpty()) {
        dir = QDir::tempPath() + "/qm-bench-scan-" +
              QString::number(QCoreApplication::applicationPid());
    }
    std::filesystem::remove_all(dir.toStdString());
    const TimeMs now = QDateTime::currentMSecsSinceEpoch();
    const TimeMs since = now - kWindowMs;

    const bool claudeCorrect = claudeBench(dir, claudeMb, oldFiles, now, since);
    if (onlyClaude) {
        if (!keep) std::filesystem::remove_all(dir.toStdString());
        if (!claudeCorrect) std::fprintf(stderr, "bench_scan: the Claude Code scan was wrong\n");
        return claudeCorrect ? 0 : 1;
    }

    qm::scangen::CodexTreeOptions options;
    options.sessionsDir = (dir + "/.codex/sessions").toStdString();
    options.targetBytes = sizeMb * 1'000'000;
    options.now = now;
    options.since = since;
    const auto genStart = std::chrono::steady_clock::now();
    const auto expected = qm::scangen::writeCodexTree(options);
    qm::scangen::writeGeminiTree((dir + "/.gemini").toStdString(), now, 20, 2);
    qm::scangen::writeGrokTree((dir + "/.grok/sessions").toStdString(), now, 40, 3);
    const double genSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - genStart).count();

    std::vector<QString> files;
    for (const std::string& path : expected.filePaths)
        files.push_back(QString::fromStdString(path));
    const double megabytes = double(expected.bytesInWindow) / 1e6;

    const IndexedScan codex{dir, qm::ProviderKind::codex};
    qm::ProviderUsage usage;
    codex.readUsageSync(since);  // warms the page cache
    const double scanSeconds = bestSeconds(3, [&] { usage = codex.readUsageSync(since); });
    const bool correct = usage.sessionsTotal == expected.sessions &&
                         usage.totalInputTokens == expected.inputTokens &&
                         usage.totalOutputTokens == expected.outputTokens &&
                         usage.totalCachedTokens == expected.cachedTokens &&
                         usage.lastFiveHourPrompts == expected.recentPrompts;

    Baseline onDemand;
    const double onDemandSeconds = bestSeconds(3, [&] { onDemand = onDemandBaseline(files); });
    Baseline dom;
    const double domSeconds = bestSeconds(3, [&] { dom = domBaseline(files); });
    const double baselineSeconds = std::min(onDemandSeconds, domSeconds);

    const double geminiSeconds = bestSeconds(3, [&] {
        IndexedScan{dir, qm::ProviderKind::gemini}.readUsageSync(since);
    });
    const double grokSeconds = bestSeconds(3, [&] {
        IndexedScan{dir, qm::ProviderKind::grok}.readUsageSync(since);
    });

    const std::string self = QCoreApplication::applicationFilePath().toStdString();
    const long rssKb = childPeakRssKb(self.c_str(), dir, since);
    const double largestMb = double(expected.largestFileBytes) / 1e6;

    // One very large rollout alone in its own home.
    const QString largeHome = dir + "/large";
    const double largeMb = double(writeLargeRollout(largeHome, rolloutMb, now, since)) / 1e6;
    const long largeRssKb = childPeakRssKb(self.c_str(), largeHome, since);
    std::filesystem::remove_all(largeHome.toStdString());

    // Old files only: the scan against a bare walk of the same folders.
    const QString oldHome = dir + "/old";
    writeOldFiles(oldHome, oldFiles, since);
    const IndexedScan oldCodex{oldHome, qm::ProviderKind::codex};
    std::size_t walked = 0;
    const double walkSeconds =
        bestSeconds(3, [&] { walked = bareWalk(oldHome + "/.codex/sessions"); });
    const double oldScanSeconds = bestSeconds(3, [&] { oldCodex.readUsageSync(since); });

    std::printf("tree_files: %zu files\n", files.size());
    std::printf("tree_size: %.1f MB\n", megabytes);
    std::printf("tree_lines: %zu lines\n", dom.lines);
    std::printf("generate_time: %.1f s\n", genSeconds);
    std::printf("codex_scan: %.0f MB/s\n", megabytes / scanSeconds);
    std::printf("codex_scan_correct: %d bool\n", correct ? 1 : 0);
    std::printf("simdjson_ondemand_full: %.0f MB/s\n", megabytes / onDemandSeconds);
    std::printf("simdjson_dom: %.0f MB/s\n", megabytes / domSeconds);
    std::printf("simdjson_baseline: %.0f MB/s\n", megabytes / baselineSeconds);
    std::printf("ratio: %.2f x\n", baselineSeconds / scanSeconds);
    std::printf("gemini_scan: %.1f ms\n", geminiSeconds * 1000);
    std::printf("grok_scan: %.1f ms\n", grokSeconds * 1000);
    std::printf("peak_rss: %.1f MB\n", double(rssKb) * 1024.0 / 1e6);
    std::printf("largest_file: %.1f MB\n", largestMb);
    std::printf("rss_over_largest_file: %.2f x\n", double(rssKb) * 1024.0 / 1e6 / largestMb);
    std::printf("large_rollout: %.0f MB\n", largeMb);
    std::printf("large_rollout_peak_rss: %.1f MB\n", double(largeRssKb) * 1024.0 / 1e6);
    std::printf("old_files: %zu files\n", walked);
    std::printf("old_files_walk: %.3f s\n", walkSeconds);
    std::printf("old_files_scan: %.3f s\n", oldScanSeconds);
    std::printf("old_files_overhead: %.3f s\n", oldScanSeconds - walkSeconds);

    if (!keep) std::filesystem::remove_all(dir.toStdString());
    if (!correct || !claudeCorrect || onDemand.parsed != onDemand.lines ||
        dom.parsed != dom.lines || rssKb < 0 || largeRssKb < 0) {
        std::fprintf(stderr, "bench_scan: the scan or the baseline did not read every line\n");
        return 1;
    }
    return 0;
}
