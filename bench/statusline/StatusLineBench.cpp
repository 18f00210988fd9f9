// How long Claude Code waits for its status line: `quotameter-cli statusline` run as a process
// with Claude Code's JSON on standard input, over a home whose Claude Code transcripts were
// written to today (--today-mb, default 50) and a usage history with a fresh Claude snapshot.
// The same with the plan's limits in the input ("rate_limits", Claude Code 2.1.80 and later),
// over a readings file holding eight days of them (its largest; --readings-days sets how many
// days, 0 for none): once with new figures on every
// run, so each run records a reading, once with the figures of the run before, which are not
// recorded again within the minute.
//
//   bench_statusline [--today-mb N] [--runs N] [--readings-days N]
//
// Figures: statusline_median_ms, statusline_p95_ms, statusline_recording_median_ms,
// statusline_recording_p95_ms, statusline_limits_unchanged_median_ms, and the transcript
// bytes read per run.

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/ClaudeLimitReadings.h"
#include "core/UsageModels.h"
#include "history/UsageHistoryFile.h"
#include "scan/ClaudeCodeGenerator.h"

namespace {

int option(const QStringList& args, const QString& name, int fallback) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

// `days` of readings of both windows, one a minute: what the file keeps of them.
bool fillReadings(const QString& dataDirectory, qm::TimeMs now, int days) {
    if (days <= 0) return true;
    std::vector<qm::ClaudeLimitReading> readings;
    for (qm::TimeMs at = now - days * 24LL * 3'600'000; at < now - 60'000; at += 60'000) {
        const double percent = double(at / 60'000 % 100);
        readings.push_back({qm::ClaudeLimitWindow::fiveHour, percent, at + 3'600'000, at});
        readings.push_back({qm::ClaudeLimitWindow::weekly, percent / 2, at + 86'400'000, at});
    }
    const QString path = qm::ClaudeLimitReadingsFile::pathIn(dataDirectory);
    return qm::ClaudeLimitReadingsFile::record(path, readings, now, 5000).outcome ==
           qm::ClaudeLimitReadingsFile::RecordOutcome::stored;
}

double median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

double p95(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[(times.size() * 95) / 100];
}

// Today's transcripts (`todayMb` of them) and a usage history with two Claude snapshots.
std::optional<qm::scangen::ClaudeTreeExpectation> writeHome(const QString& home, int todayMb,
                                                            qm::TimeMs now) {
    // Every session written to in the last hours, so all of them are today's (the bench is
    // meant to run after 05:00).
    qm::scangen::ClaudeTreeOptions tree;
    tree.projectsDir = (home + QStringLiteral("/.claude/projects")).toStdString();
    tree.targetBytes = std::uint64_t(todayMb) * 1'000'000;
    tree.longSessionBytes = tree.targetBytes / 5;
    tree.now = now;
    tree.since = now - 4 * 3600'000;
    qm::scangen::ClaudeTreeExpectation expect = qm::scangen::writeClaudeTree(tree);
    qm::UsageHistoryData history;
    history.claudeSnapshots = {{now - 20 * 60'000, 30, 10, 5, QStringLiteral("Opus")},
                               {now - 5 * 60'000, 40, 11, 5, QStringLiteral("Opus")}};
    const QString data = home + QStringLiteral("/.local/share/Quotameter");
    if (qm::UsageHistoryFileStore(qm::UsageHistoryFileStore::pathIn(data)).save(history))
        return std::nullopt;
    return expect;
}

// Claude Code's `input` with the plan's limits: the five-hour window at `percent`.
QByteArray withRateLimits(QJsonObject input, double percent, qm::TimeMs now) {
    const QJsonObject limits{
        {"five_hour",
         QJsonObject{{"used_percentage", percent}, {"resets_at", double(now / 1000 + 3 * 3600)}}},
        {"seven_day",
         QJsonObject{{"used_percentage", 31}, {"resets_at", double(now / 1000 + 3 * 86400)}}}};
    input["rate_limits"] = limits;
    return QJsonDocument(input).toJson(QJsonDocument::Compact);
}

// The command's environment: every folder it reads or writes inside `home`.
QProcessEnvironment environmentOf(const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    env.remove(QStringLiteral("CLAUDE_CONFIG_DIR"));
    env.remove(QStringLiteral("CODEX_HOME"));
    return env;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int todayMb = option(args, QStringLiteral("--today-mb"), 50);
    const int runs = std::max(3, option(args, QStringLiteral("--runs"), 21));
    const int readingsDays = option(args, QStringLiteral("--readings-days"), 8);

    QTemporaryDir home;
    const qm::TimeMs now = QDateTime::currentMSecsSinceEpoch();
    const QString data = home.path() + QStringLiteral("/.local/share/Quotameter");
    const std::optional<qm::scangen::ClaudeTreeExpectation> written =
        writeHome(home.path(), todayMb, now);
    if (!written) {
        std::fprintf(stderr, "bench_statusline: could not write the history\n");
        return 1;
    }
    const QString transcript = QString::fromStdString(written->filePaths.front());
    const QJsonObject input{
        {"hook_event_name", "Status"},
        {"session_id", QFileInfo(transcript).completeBaseName()},
        {"transcript_path", transcript},
        {"cwd", "/home/dev/proj0"},
        {"model", QJsonObject{{"id", "claude-opus-4-5-20251101"}, {"display_name", "Opus 4.5"}}},
        {"workspace", QJsonObject{{"current_dir", "/home/dev/proj0"}}}};
    const QByteArray stdinBytes = QJsonDocument(input).toJson(QJsonDocument::Compact);
    // The same with the plan's limits; `percent` changes what is recorded.
    const auto withLimits = [&](double percent) { return withRateLimits(input, percent, now); };
    const QProcessEnvironment env = environmentOf(home.path());
    QByteArray line;
    // One run of the command; its wall time in milliseconds.
    const auto once = [&](const QStringList& arguments, const QByteArray& input) {
        QProcess process;
        process.setProcessEnvironment(env);
        QElapsedTimer timer;
        timer.start();
        process.start(QStringLiteral(QM_CLI_PATH), arguments);
        process.write(input);
        process.closeWriteChannel();
        process.waitForFinished(60000);
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        line = process.readAllStandardOutput().trimmed();
        return ms;
    };
    // The first run builds the usage index; the rest find it current, as Claude Code does.
    const double cold = once({QStringLiteral("statusline")}, stdinBytes);
    std::printf("statusline_output: %s\n", line.constData());
    std::vector<double> times;
    std::vector<double> bare;
    for (int i = 0; i < runs; ++i) {
        times.push_back(once({QStringLiteral("statusline")}, stdinBytes));
        bare.push_back(once({QStringLiteral("--version")}, {}));
    }
    // Readings before the runs that hand over limits: eight days is the file at its largest.
    if (!fillReadings(data, now, readingsDays)) {
        std::fprintf(stderr, "bench_statusline: could not write the readings\n");
        return 1;
    }
    std::vector<double> recording;
    std::vector<double> unchanged;
    for (int i = 0; i < runs; ++i) {
        // A new five-hour figure on every run: each one is recorded...
        const QByteArray fresh = withLimits(10 + i % 80 + 0.5);
        recording.push_back(once({QStringLiteral("statusline")}, fresh));
        // ...and the same again right after is not.
        unchanged.push_back(once({QStringLiteral("statusline")}, fresh));
    }
    std::printf("statusline_with_limits_output: %s\n", line.constData());
    std::printf("statusline_transcripts_today: %.1f MB\n", double(written->bytesInWindow) / 1e6);
    std::printf("statusline_cold_ms: %.1f ms\n", cold);
    std::printf("statusline_median_ms: %.1f ms\n", median(times));
    std::printf("statusline_p95_ms: %.1f ms\n", p95(times));
    std::printf("statusline_recording_median_ms: %.1f ms\n", median(recording));
    std::printf("statusline_recording_p95_ms: %.1f ms\n", p95(recording));
    std::printf("statusline_limits_unchanged_median_ms: %.1f ms\n", median(unchanged));
    std::printf("statusline_readings_file: %.0f kB\n",
                double(QFileInfo(qm::ClaudeLimitReadingsFile::pathIn(data)).size()) / 1e3);
    // The yardstick: starting the program at all.
    std::printf("cli_version_median_ms: %.1f ms\n", median(bare));
    return 0;
}
