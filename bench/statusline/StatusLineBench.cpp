// How long Claude Code waits for its status line: `quotameter-cli statusline` run as a process
// with Claude Code's JSON on standard input, over a home whose Claude Code transcripts were
// written to today (--today-mb, default 50) and a usage history with a fresh Claude snapshot.
//
//   bench_statusline [--today-mb N] [--runs N]
//
// Figures: statusline_median_ms, statusline_p95_ms, and the transcript bytes read per run.

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

#include "core/UsageModels.h"
#include "history/UsageHistoryFile.h"
#include "scan/ClaudeCodeGenerator.h"

namespace {

int option(const QStringList& args, const QString& name, int fallback) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int todayMb = option(args, QStringLiteral("--today-mb"), 50);
    const int runs = std::max(3, option(args, QStringLiteral("--runs"), 21));

    QTemporaryDir home;
    const qm::TimeMs now = QDateTime::currentMSecsSinceEpoch();
    // Every session written to in the last hours, so all of them are today's (the bench is
    // meant to run after 05:00).
    qm::scangen::ClaudeTreeOptions tree;
    tree.projectsDir = (home.path() + QStringLiteral("/.claude/projects")).toStdString();
    tree.targetBytes = std::uint64_t(todayMb) * 1'000'000;
    tree.longSessionBytes = tree.targetBytes / 5;
    tree.now = now;
    tree.since = now - 4 * 3600'000;
    const qm::scangen::ClaudeTreeExpectation expect = qm::scangen::writeClaudeTree(tree);

    const QString data = home.path() + QStringLiteral("/.local/share/Quotameter");
    qm::UsageHistoryData history;
    history.claudeSnapshots = {{now - 20 * 60'000, 30, 10, 5, QStringLiteral("Opus")},
                               {now - 5 * 60'000, 40, 11, 5, QStringLiteral("Opus")}};
    if (qm::UsageHistoryFileStore(qm::UsageHistoryFileStore::pathIn(data)).save(history)) {
        std::fprintf(stderr, "bench_statusline: could not write the history\n");
        return 1;
    }

    const QString transcript = QString::fromStdString(expect.filePaths.front());
    const QJsonObject input{
        {"hook_event_name", "Status"},
        {"session_id", QFileInfo(transcript).completeBaseName()},
        {"transcript_path", transcript},
        {"cwd", "/home/dev/proj0"},
        {"model", QJsonObject{{"id", "claude-opus-4-5-20251101"}, {"display_name", "Opus 4.5"}}},
        {"workspace", QJsonObject{{"current_dir", "/home/dev/proj0"}}}};
    const QByteArray stdinBytes = QJsonDocument(input).toJson(QJsonDocument::Compact);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home.path() + QStringLiteral("/.cache"));
    env.remove(QStringLiteral("CLAUDE_CONFIG_DIR"));
    env.remove(QStringLiteral("CODEX_HOME"));
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
    std::sort(times.begin(), times.end());
    std::sort(bare.begin(), bare.end());

    std::printf("statusline_transcripts_today: %.1f MB\n", double(expect.bytesInWindow) / 1e6);
    std::printf("statusline_cold_ms: %.1f ms\n", cold);
    std::printf("statusline_median_ms: %.1f ms\n", times[times.size() / 2]);
    std::printf("statusline_p95_ms: %.1f ms\n", times[(times.size() * 95) / 100]);
    // The yardstick: starting the program at all.
    std::printf("cli_version_median_ms: %.1f ms\n", bare[bare.size() / 2]);
    return 0;
}
