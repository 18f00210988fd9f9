#include "ledger/CliFigures.h"

#include <QDateTime>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "core/UsageModels.h"
#include "history/UsageHistoryFile.h"
#include "ledger/BenchFigures.h"
#include "ledger/ChildProcess.h"
#include "scan/ScanGenerator.h"

namespace qm::bench {

namespace {

namespace fs = std::filesystem;

struct CliContext {
    const CliSetup& setup;
    std::vector<std::string> env;
    std::string scratch;
};

// The runs of one call; a failed run ends the series and the figure says so.
struct Series {
    std::vector<double> seconds;
    std::vector<double> peakMb;
    std::string failure;
};

void print(const std::string& name, const Series& series) {
    if (!series.failure.empty()) {
        const std::string how = series.failure.substr(0, series.failure.find('\n'));
        std::printf("%s: failed (%s)\n", name.c_str(), how.c_str());
        std::fprintf(stderr, "%s failed: %s\n", name.c_str(), series.failure.c_str());
        return;
    }
    printStats(name.c_str(), series.seconds, "ms", 1000);
    printStats((name + "_rss").c_str(), series.peakMb, "MB", 1);
}

// Runs the program with `args` once per run; `before` prepares each run, untimed.
Series measure(const CliContext& context, const std::vector<std::string>& args,
               const std::string& input, int runs, const std::function<void(int)>& before = {}) {
    std::vector<std::string> argv{context.setup.program};
    argv.insert(argv.end(), args.begin(), args.end());
    Series series;
    for (int run = 0; run < runs; ++run) {
        if (before) before(run);
        const ChildRun result = runChild(argv, context.env, input, context.scratch);
        if (!result.ok) {
            series.failure = result.failure;
            break;
        }
        series.seconds.push_back(result.seconds);
        series.peakMb.push_back(result.peakMb);
    }
    return series;
}

std::string isoNow() {
    return scangen::isoTime(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count());
}

// Claude Code's status-line object for the session whose transcript is `transcript`; the
// project folder's name is its working directory with every slash a dash.
std::string statusInput(const std::string& transcript) {
    const fs::path path(transcript);
    std::string cwd = path.parent_path().filename().string();
    for (char& c : cwd) c = c == '-' ? '/' : c;
    const std::string session = path.stem().string();
    return "{\"hook_event_name\":\"Status\",\"session_id\":\"" + session +
           "\",\"transcript_path\":\"" + transcript + "\",\"cwd\":\"" + cwd +
           "\",\"model\":{\"id\":\"claude-opus-4-5-20251101\",\"display_name\":\"Opus 4.5\"},"
           "\"workspace\":{\"current_dir\":\"" +
           cwd + "\",\"project_dir\":\"" + cwd +
           "\"},\"version\":\"2.0.37\",\"output_style\":{\"name\":\"default\"},\"cost\":{"
           "\"total_cost_usd\":1.25,\"total_duration_ms\":450000,\"total_api_duration_ms\":"
           "120000,\"total_lines_added\":120,\"total_lines_removed\":30},\"exceeds_200k_tokens\":"
           "false}";
}

// About 100 kB of whole lines from the middle of the transcript: its own kind of requests.
std::string middleLines(const std::string& transcript) {
    const std::string bytes = readWhole(transcript);
    std::size_t from = bytes.find('\n', bytes.size() / 2);
    from = from == std::string::npos ? 0 : from + 1;
    std::string lines = bytes.substr(from, 100'000);
    const std::size_t end = lines.rfind('\n');
    return end == std::string::npos ? bytes : lines.substr(0, end + 1);
}

// The application's recent Claude readings, so the status line and the title show the
// five-hour limit as they do for a signed-in user.
void writeClaudeReadings(const std::string& dataHome) {
    const qm::TimeMs now = QDateTime::currentMSecsSinceEpoch();
    qm::UsageHistoryData history;
    history.claudeSnapshots = {{now - 20 * 60'000, 30, 10, 5, QStringLiteral("Opus")},
                               {now - 5 * 60'000, 40, 11, 5, QStringLiteral("Opus")}};
    const QString data = QString::fromStdString(dataHome + "/Quotameter");
    if (qm::UsageHistoryFileStore(qm::UsageHistoryFileStore::pathIn(data)).save(history))
        std::fprintf(stderr, "bench_ledger: could not write the usage history\n");
}

void warmCalls(const CliContext& context, const std::string& status) {
    const CliSetup& setup = context.setup;
    const ChildRun once =
        runChild({setup.program, "statusline"}, context.env, status, context.scratch);
    if (once.ok) std::printf("cli_statusline_output: %s", once.output.c_str());
    print("cli_statusline", measure(context, {"statusline"}, status, setup.runs));
    const std::string lines = middleLines(setup.transcript);
    setup.beforeGrowing(setup.transcript);
    print("cli_statusline_after_100KB_append",
          measure(context, {"statusline"}, status, setup.runs, [&](int run) {
              std::ofstream(setup.transcript, std::ios::binary | std::ios::app) << freshRequests(
                  lines, std::string("s").append(std::to_string(run)) + 'x', isoNow());
          }));
    print("cli_title_json", measure(context, {"title", "--json"}, {}, setup.runs));
    print("cli_limits", measure(context, {"limits"}, {}, setup.runs));
    print("cli_usage", measure(context, {"usage"}, {}, setup.runs));
    print("cli_report_daily", measure(context, {"report", "daily"}, {}, setup.runs));
    setup.beforeGrowing(setup.rollout);
    print("cli_report_daily_after_1MB_codex_append",
          measure(context, {"report", "daily"}, {}, setup.runs, [&](int) {
              std::ofstream(setup.rollout, std::ios::binary | std::ios::app) << setup.rolloutLines;
          }));
}

}  // namespace

std::string freshRequests(std::string lines, const std::string& tag, const std::string& isoNow) {
    for (const std::string id : {"\"requestId\":\"req_", "\"id\":\"msg_"}) {
        for (std::size_t at = lines.find(id); at != std::string::npos; at = lines.find(id, at + 1))
            lines.insert(at + id.size(), tag);
    }
    const std::string stamp = "\"timestamp\":\"";
    for (std::size_t at = lines.find(stamp); at != std::string::npos;
         at = lines.find(stamp, at + 1)) {
        const std::size_t value = at + stamp.size();
        if (value + isoNow.size() < lines.size() && lines[value + isoNow.size()] == '"')
            lines.replace(value, isoNow.size(), isoNow);
    }
    return lines;
}

void measureCli(const CliSetup& setup) {
    const std::string xdg = setup.work + "/cli-xdg";
    fs::remove_all(xdg);
    CliContext context{setup, isolatedEnvironment(setup.home, xdg), setup.work + "/cli-runs"};
    writeClaudeReadings(xdg + "/data");

    // The first call finds no index and builds it; every later one finds it current.
    const Series first = measure(context, {"report", "daily"}, {}, 1);
    print("cli_first_report_daily", first);
    if (!first.failure.empty()) {
        fs::remove_all(xdg);
        return;
    }
    print("cli_version", measure(context, {"--version"}, {}, setup.runs));
    std::vector<double> statted;
    for (int run = 0; run < setup.runs; ++run) statted.push_back(bareStatOfTree(setup.home));
    printStats("cli_yardstick_bare_stat_of_tree", statted, "ms", 1000);
    warmCalls(context, statusInput(setup.transcript));
    fs::remove_all(setup.work + "/cli-runs");
    fs::remove_all(xdg);
}

}  // namespace qm::bench
