#include "ledger/TrayAppFigures.h"

#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "ledger/BenchFigures.h"
#include "ledger/ChildProcess.h"

namespace qm::bench {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kQuietFor = 3s;        // no processor time for this long: the build is done
constexpr auto kLongestBuild = 300s;  // then it is given up
constexpr auto kIdleMinute = 60s;

double cpuSeconds(long long ticks) {
    return double(ticks) / double(::sysconf(_SC_CLK_TCK));
}

// A "Vm...:" line of /proc/<pid>/status in megabytes.
double statusMb(pid_t pid, const std::string& field) {
    std::istringstream status(readWhole("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(field.size())) / 1024.0;
    }
    return 0;
}

bool exited(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

struct Display {
    pid_t xvfb = -1;
    pid_t trayer = -1;
    bool trayShown = false;  // trayer's window was seen (needs xdotool)

    ~Display() {
        stopChild(trayer, 3000);
        stopChild(xvfb, 3000);
    }
};

// Xvfb on a free display number, which it writes to its standard output, and trayer on it.
bool startDisplay(Display& display, std::vector<std::string>& env, const std::string& scratch) {
    const std::string numberFile = scratch + "/xvfb-display";
    display.xvfb =
        startChild({"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
                   env, numberFile, "/dev/null");
    std::string number;
    for (int i = 0; i < 200 && number.find('\n') == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
        number = readWhole(numberFile);
    }
    if (display.xvfb < 0 || number.find('\n') == std::string::npos) return false;
    number.resize(number.find('\n'));
    setVariable(env, "DISPLAY", std::string(":").append(number));
    display.trayer = startChild({"trayer", "--edge", "top", "--align", "right", "--widthtype",
                                 "request", "--height", "32", "--transparent", "false"},
                                env, "/dev/null", "/dev/null");
    if (findExecutable("xdotool").empty()) {
        std::this_thread::sleep_for(2s);  // what trayer takes to claim the tray, with room
        return display.trayer > 0;
    }
    for (int i = 0; i < 100 && !display.trayShown; ++i) {
        std::this_thread::sleep_for(50ms);
        const ChildRun search =
            runChild({"xdotool", "search", "--onlyvisible", "--class", "trayer"}, env, {},
                     scratch + "/xdotool", 10);
        display.trayShown = search.ok && !search.output.empty();
    }
    return display.trayShown;
}

std::vector<std::string> appEnvironment(const std::string& home, const std::string& xdg) {
    std::vector<std::string> env = isolatedEnvironment(home, xdg);
    setVariable(env, "QT_QPA_PLATFORM", "xcb");
    fs::create_directories(xdg + "/tmp");
    setVariable(env, "TMPDIR", xdg + "/tmp");
    // The sign-in browser is not started by an idle application; should it start, it reaches
    // nothing.
    setVariable(env, "QTWEBENGINE_CHROMIUM_FLAGS",
                "--no-sandbox --disable-gpu --proxy-server=http://127.0.0.1:9");
    setVariable(env, "QTWEBENGINE_DISABLE_SANDBOX", "1");
    // With a display and no bus address, the bus library would start a session bus of its own
    // (and leave it running): an address where no bus listens keeps it without one.
    setVariable(env, "DBUS_SESSION_BUS_ADDRESS", "unix:path=" + xdg + "/runtime/no-bus");
    return env;
}

enum class Build { done, exited, tooLong };

// Waits until the index is written and the process has been still for kQuietFor.
Build waitForFirstBuild(pid_t app, const std::string& index) {
    const auto start = Clock::now();
    std::optional<Clock::time_point> written;
    auto lastBusy = start;
    long long ticks = -1;
    while (!written || Clock::now() - lastBusy < kQuietFor) {
        if (exited(app)) return Build::exited;
        if (Clock::now() - start > kLongestBuild) return Build::tooLong;
        std::this_thread::sleep_for(100ms);
        const long long now = cpuTicks(app);
        if (now != ticks) {
            ticks = now;
            lastBusy = Clock::now();
        }
        if (!written && fs::exists(index)) written = Clock::now();
    }
    std::printf("app_index_written_after_start: %.1f s\n",
                std::chrono::duration<double>(*written - start).count());
    std::printf("app_busy_after_start: %.1f s\n",
                std::chrono::duration<double>(lastBusy - start).count());
    return Build::done;
}

// The application in `env` once its tray is there: the figures, or why there are none.
void measureStarted(const std::string& app, const std::vector<std::string>& env,
                    const std::string& xdg, bool trayShown) {
    const std::string errors = xdg + "/errors";
    const pid_t pid = startChild({app}, env, "/dev/null", errors);
    const Build build =
        pid < 0 ? Build::exited : waitForFirstBuild(pid, xdg + "/cache/Quotameter/usage-index.bin");
    if (build != Build::done) {
        std::printf("app_rss_after_build: failed (%s)\n",
                    build == Build::exited ? "exited" : "no quiet index after 300 s");
        std::fprintf(stderr, "quotameter: %s\n", readWhole(errors).c_str());
        if (build == Build::tooLong) stopChild(pid);  // an exited one is reaped already
        return;
    }
    std::printf("app_rss_after_build: %.1f MB\n", statusMb(pid, "VmRSS:"));
    std::printf("app_peak_rss_during_build: %.1f MB\n", statusMb(pid, "VmHWM:"));
    const long long before = cpuTicks(pid);
    std::this_thread::sleep_for(kIdleMinute);
    const long long after = cpuTicks(pid);
    if (before < 0 || after < 0) {
        std::printf("app_idle_cpu_per_minute: failed (exited)\n");
    } else {
        std::printf("app_idle_cpu_per_minute: %.2f s\n", cpuSeconds(after - before));
        std::printf("app_rss_after_idle_minute: %.1f MB\n", statusMb(pid, "VmRSS:"));
    }
    // Without a tray it would have opened its dashboard, whose animation is not idle.
    std::printf("# app: %s, background refresh off (its default)\n",
                trayShown ? "icon in trayer's tray" : "tray not confirmed");
    stopChild(pid);
}

}  // namespace

void measureTrayApp(const std::string& app, const std::string& home, const std::string& work) {
    for (const char* tool : {"Xvfb", "trayer"}) {
        if (findExecutable(tool).empty()) {
            std::printf("# %s missing: tray application figures skipped\n", tool);
            return;
        }
    }
    if (findExecutable(app).empty()) {
        std::printf("# %s is no program: tray application figures skipped\n", app.c_str());
        return;
    }
    const std::string xdg = work + "/app-xdg";
    fs::remove_all(xdg);
    std::vector<std::string> env = appEnvironment(home, xdg);
    {
        Display display;
        if (startDisplay(display, env, xdg))
            measureStarted(app, env, xdg, display.trayShown);
        else
            std::printf("# Xvfb or trayer did not start: tray application figures skipped\n");
    }
    fs::remove_all(xdg);
}

}  // namespace qm::bench
