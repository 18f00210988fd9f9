// The tray application with its logs watched: what being live costs. The real binary runs under
// a private Xvfb display with trayer as its tray, in a home of its own, and once its first
// index build is done:
//
//   idle: its processor time while no log is written, per hour;
//   first line: how long one line appended to a Codex session takes to reach the index;
//   appending: its processor time while that session gets a line a second, per hour, and how
//   many index updates the lines made per minute.
//
//   bench_live [--seconds N] [--home DIR] [--app PROGRAM]
//
// Each phase lasts N seconds (60 by default). The home is a generated one (a few hundred logs
// of every tool) unless --home names one, such as the tree bench_ledger keeps; the rollout the
// bench appends to is cut back to what it was when it is done. Processor time is read from
// /proc in clock ticks: the figure's resolution is printed beside it.

#include <sys/types.h>
#include <unistd.h>
#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ledger/ChildProcess.h"
#include "support/RolloutFixtures.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qm::bench::cpuTicks;
using qm::bench::readWhole;
using SteadyClock = std::chrono::steady_clock;

struct Options {
    int seconds = 60;
    std::string home;
    std::string app = QM_APP_BINARY;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue)
            options.seconds = std::max(5, std::atoi(argv[++i]));
        else if (arg == "--home" && hasValue)
            options.home = fs::absolute(argv[++i]).string();
        else if (arg == "--app" && hasValue)
            options.app = argv[++i];
        else
            return std::nullopt;
    }
    return options;
}

double perHour(long long ticks, double seconds) {
    return double(ticks) / double(::sysconf(_SC_CLK_TCK)) * 3600.0 / seconds;
}

// The index and its journal as the file system has them: a change means an update was saved.
std::string indexState(const std::string& cache) {
    std::string state;
    for (const char* name : {"/usage-index.bin", "/usage-index.bin.journal"}) {
        std::error_code error;
        const fs::path path = cache + name;
        const auto size = fs::file_size(path, error);
        const auto time = fs::last_write_time(path, error);
        state += std::to_string(error ? 0 : size) + ":" +
                 std::to_string(error ? 0 : time.time_since_epoch().count()) + " ";
    }
    return state;
}

// A home with every tool's logs: the sample home, then 60 days of Codex rollouts and 30
// Claude Code projects of 8 sessions each.
void writeLiveHome(const QString& home) {
    qm::test::writeSampleHome(home);
    const QDir dir(home);
    const QDate today = QDate::currentDate();
    for (int day = 1; day <= 60; ++day) {
        const QString folder = dir.filePath(QStringLiteral(".codex/sessions/") +
                                            today.addDays(-day).toString("yyyy/MM/dd"));
        QDir().mkpath(folder);
        for (int n = 0; n < 4; ++n) {
            const QString id = QStringLiteral("live-%1-%2").arg(day).arg(n);
            QFile file(folder + QStringLiteral("/rollout-") + id + QStringLiteral(".jsonl"));
            if (!file.open(QIODevice::WriteOnly)) continue;
            file.write(qm::test::codexMetaLine(id, QStringLiteral("/home/dev/app"), day * 86400));
            file.write(qm::test::codexTurnLine(QStringLiteral("gpt-5"), day * 86400));
            file.write(qm::test::codexTotalsLine(40'000, 2'000, 10'000, day * 86400 - 60));
        }
    }
    for (int project = 0; project < 30; ++project) {
        const QString folder =
            dir.filePath(QStringLiteral(".claude/projects/-home-dev-p%1").arg(project));
        QDir().mkpath(folder);
        for (int n = 0; n < 8; ++n) {
            qm::test::ClaudeLine line;
            line.sessionId = QStringLiteral("5f0c2b1e-0000-4000-8000-%1")
                                 .arg(project * 8 + n, 12, 10, QLatin1Char('0'));
            line.secondsAgo = (project * 8 + n) * 3600.0;
            qm::test::ClaudeRequest request;
            request.requestId = QStringLiteral("req_%1").arg(project * 8 + n);
            request.messageId = QStringLiteral("msg_%1").arg(project * 8 + n);
            request.input = 1'000;
            request.output = 300;
            QFile file(folder + QLatin1Char('/') + line.sessionId + QStringLiteral(".jsonl"));
            if (!file.open(QIODevice::WriteOnly)) continue;
            file.write(qm::test::claudePromptLine(QStringLiteral("Tidy the parser"), line));
            file.write(qm::test::claudeAssistantLines(request, line));
        }
    }
}

// The Codex rollout written to last: the session an agent is working in.
std::string newestRollout(const std::string& home) {
    std::string newest;
    fs::file_time_type newestTime{};
    std::error_code error;
    for (fs::recursive_directory_iterator it(home + "/.codex/sessions", error), end;
         !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!it->is_regular_file() || !name.starts_with("rollout-")) continue;
        if (newest.empty() || it->last_write_time() > newestTime) {
            newest = it->path().string();
            newestTime = it->last_write_time();
        }
    }
    return newest;
}

}  // namespace

namespace {

// Xvfb on a free display, trayer on it, and the application in `home` with XDG folders of its
// own under `scratch`; all stopped when this ends.
class LiveApp {
public:
    LiveApp(const std::string& app, const std::string& home, const std::string& scratch)
        : scratch_(scratch) {
        env_ = qm::bench::isolatedEnvironment(home, scratch + "/xdg");
        xvfb_ = qm::bench::startChild(
            {"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, env_,
            scratch + "/display", "/dev/null");
        std::string number;
        for (int i = 0; i < 200 && number.find('\n') == std::string::npos; ++i) {
            std::this_thread::sleep_for(50ms);
            number = readWhole(scratch + "/display");
        }
        if (xvfb_ < 0 || number.find('\n') == std::string::npos) return;
        number.resize(number.find('\n'));
        qm::bench::setVariable(env_, "DISPLAY", std::string(":").append(number));
        qm::bench::setVariable(env_, "QT_QPA_PLATFORM", "xcb");
        fs::create_directories(scratch + "/tmp");
        qm::bench::setVariable(env_, "TMPDIR", scratch + "/tmp");
        // No bus: the bus library would start one of its own and leave it running.
        qm::bench::setVariable(env_, "DBUS_SESSION_BUS_ADDRESS",
                               "unix:path=" + scratch + "/xdg/runtime/no-bus");
        qm::bench::setVariable(env_, "QTWEBENGINE_CHROMIUM_FLAGS",
                               "--no-sandbox --disable-gpu --proxy-server=http://127.0.0.1:9");
        trayer_ = qm::bench::startChild({"trayer", "--edge", "top", "--align", "right",
                                         "--widthtype", "request", "--height", "32"},
                                        env_, "/dev/null", "/dev/null");
        std::this_thread::sleep_for(2s);  // what trayer takes to claim the tray, with room
        app_ = qm::bench::startChild({app}, env_, "/dev/null", scratch + "/app-errors");
    }
    ~LiveApp() {
        qm::bench::stopChild(app_);
        qm::bench::stopChild(trayer_, 3000);
        qm::bench::stopChild(xvfb_, 3000);
    }
    LiveApp(const LiveApp&) = delete;
    LiveApp& operator=(const LiveApp&) = delete;

    pid_t pid() const { return app_; }
    std::string cache() const { return scratch_ + "/xdg/cache/Quotameter"; }

    // The first index build is done: the index is there and the process has been still for
    // 3 s. False when it exited or took more than 5 minutes.
    bool waitForFirstBuild() const {
        const auto start = SteadyClock::now();
        auto lastBusy = start;
        long long ticks = -1;
        while (!fs::exists(cache() + "/usage-index.bin") || SteadyClock::now() - lastBusy < 3s) {
            if (app_ < 0 || SteadyClock::now() - start > 300s) return false;
            std::this_thread::sleep_for(100ms);
            const long long now = cpuTicks(app_);
            if (now < 0) return false;
            if (now != ticks) lastBusy = SteadyClock::now();
            ticks = now;
        }
        return true;
    }

private:
    std::string scratch_;
    std::vector<std::string> env_;
    pid_t xvfb_ = -1, trayer_ = -1, app_ = -1;
};

// A rollout the bench appends to, cut back to its size and time when done.
class GrowingRollout {
public:
    explicit GrowingRollout(std::string path)
        : path_(std::move(path)), size_(fs::file_size(path_)), time_(fs::last_write_time(path_)) {}
    ~GrowingRollout() {
        std::error_code error;
        fs::resize_file(path_, size_, error);
        fs::last_write_time(path_, time_, error);
    }
    GrowingRollout(const GrowingRollout&) = delete;
    GrowingRollout& operator=(const GrowingRollout&) = delete;

    // One token_count line, as the tool writes after a model call.
    void appendLine() {
        ++lines_;
        QFile file(QString::fromStdString(path_));
        if (file.open(QIODevice::Append))
            file.write(qm::test::codexTotalsLine(50'000 + 1'000 * lines_, 5'000 + 100 * lines_,
                                                 20'000, 0));
    }

private:
    std::string path_;
    std::uintmax_t size_;
    fs::file_time_type time_;
    int lines_ = 0;
};

void measure(const LiveApp& app, GrowingRollout& rollout, int seconds) {
    const double resolution = perHour(1, seconds);
    const long long idleFrom = cpuTicks(app.pid());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long idleTo = cpuTicks(app.pid());
    std::printf("live_idle_cpu_per_hour: %.2f s (resolution %.2f s)\n",
                perHour(idleTo - idleFrom, seconds), resolution);

    const std::string before = indexState(app.cache());
    const auto appended = SteadyClock::now();
    rollout.appendLine();
    while (indexState(app.cache()) == before && SteadyClock::now() - appended < 60s)
        std::this_thread::sleep_for(10ms);
    if (indexState(app.cache()) == before)
        std::printf("live_first_line_to_index: failed (nothing after 60 s)\n");
    else
        std::printf(
            "live_first_line_to_index: %.0f ms\n",
            std::chrono::duration<double, std::milli>(SteadyClock::now() - appended).count());
    std::this_thread::sleep_for(15s);  // past the gap between two refreshes

    int updates = 0;
    std::string state = indexState(app.cache());
    const long long busyFrom = cpuTicks(app.pid());
    const auto start = SteadyClock::now();
    for (int second = 0; second < seconds; ++second) {
        rollout.appendLine();
        while (SteadyClock::now() - start < std::chrono::seconds(second + 1)) {
            std::this_thread::sleep_for(100ms);
            const std::string now = indexState(app.cache());
            if (now != state) ++updates;
            state = now;
        }
    }
    const long long busyTo = cpuTicks(app.pid());
    std::printf("live_appending_cpu_per_hour: %.2f s (resolution %.2f s)\n",
                perHour(busyTo - busyFrom, seconds), resolution);
    std::printf("live_index_updates_per_minute_appending: %.1f count\n", updates * 60.0 / seconds);
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: %s [--seconds N] [--home DIR] [--app PROGRAM]\n", argv[0]);
        return 2;
    }
    for (const char* tool : {"Xvfb", "trayer"}) {
        if (qm::bench::findExecutable(tool).empty()) {
            std::printf("# %s missing: live application figures skipped\n", tool);
            return 0;
        }
    }
    QTemporaryDir scratch;
    std::string home = options->home;
    if (home.empty()) {
        home = scratch.path().toStdString() + "/home";
        writeLiveHome(QString::fromStdString(home));
    }
    const std::string path = newestRollout(home);
    if (path.empty()) {
        std::printf("# no Codex rollout under %s: live application figures skipped\n",
                    home.c_str());
        return 1;
    }
    GrowingRollout rollout(path);
    LiveApp app(options->app, home, scratch.path().toStdString());
    if (!app.waitForFirstBuild()) {
        std::printf("live_idle_cpu_per_hour: failed (no quiet index after start)\n%s\n",
                    readWhole(scratch.path().toStdString() + "/app-errors").c_str());
        return 1;
    }
    measure(app, rollout, options->seconds);
    return 0;
}
