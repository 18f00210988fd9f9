#include "ledger/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace qm::bench {

namespace {

namespace fs = std::filesystem;

bool named(const std::string& entry, const std::string& name) {
    return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
           entry[name.size()] == '=';
}

// What the environment must not pass on: where the tools keep their logs, where Quotameter
// keeps its data and settings, and a display or bus a program could reach the user's session
// through.
bool leaksOut(const std::string& entry) {
    static const char* const kNames[] = {
        "HOME",           "CLAUDE_CONFIG_DIR", "CODEX_HOME",
        "DISPLAY",        "WAYLAND_DISPLAY",   "DBUS_SESSION_BUS_ADDRESS",
        "XDG_CACHE_HOME", "XDG_CONFIG_HOME",   "XDG_DATA_HOME",
        "XDG_STATE_HOME", "XDG_RUNTIME_DIR"};
    for (const char* name : kNames) {
        if (named(entry, name)) return true;
    }
    return entry.rfind("QUOTAMETER_", 0) == 0;
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& inPath, const std::string& outPath, const std::string& errPath) {
    const std::string program = findExecutable(argv.front());
    if (program.empty()) return -1;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, inPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&files, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    // Its own process group, so what it starts in turn can be ended with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const std::vector<char*> args = pointers(argv);
    const std::vector<char*> vars = pointers(env);
    if (posix_spawn(&pid, program.c_str(), &files, &attributes, args.data(), vars.data()) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

std::string howItEnded(int status, bool timedOut, int timeoutSeconds) {
    if (timedOut) return "killed after " + std::to_string(timeoutSeconds) + " s";
    if (status < 0) return "no result from the meter";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

}  // namespace

std::vector<std::string> isolatedEnvironment(const std::string& home, const std::string& xdgRoot) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        if (!leaksOut(*entry)) env.emplace_back(*entry);
    }
    env.push_back("HOME=" + home);
    for (const char* kind : {"cache", "config", "data", "state", "runtime"}) {
        const std::string folder = xdgRoot + "/" + kind;
        fs::create_directories(folder);
        std::string name = kind;
        for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
        env.push_back("XDG_" + name + (name == "RUNTIME" ? "_DIR=" : "_HOME=") + folder);
    }
    // Programs refuse a runtime folder others could enter.
    ::chmod((xdgRoot + "/runtime").c_str(), 0700);
    return env;
}

void setVariable(std::vector<std::string>& env, const std::string& name, const std::string& value) {
    std::erase_if(env, [&](const std::string& entry) { return named(entry, name); });
    env.push_back(name + "=" + value);
}

std::string findExecutable(const std::string& name) {
    if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string folder = rest.substr(0, colon);
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// The fields after the command's closing bracket (the command may hold spaces and brackets).
long long cpuTicks(pid_t pid) {
    const std::string stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long ticks = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14) ticks += std::stoll(field);  // utime, stime
    }
    return ticks;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ChildRun runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& input, const std::string& scratch, int timeoutSeconds) {
    fs::create_directories(scratch);
    const std::string inPath = scratch + "/stdin";
    const std::string outPath = scratch + "/stdout";
    const std::string errPath = scratch + "/stderr";
    const std::string resultPath = scratch + "/result";
    std::ofstream(inPath, std::ios::binary | std::ios::trunc) << input;
    fs::remove(resultPath);
    ChildRun run;
    const std::string program = findExecutable(argv.front());
    if (program.empty()) {
        run.failure = "no program " + argv.front();
        return run;
    }
    // Through the meter, whose own small memory is all the program's peak can inherit.
    std::vector<std::string> metered{QM_CHILD_METER, resultPath, program};
    metered.insert(metered.end(), argv.begin() + 1, argv.end());
    const pid_t pid = spawn(metered, env, inPath, outPath, errPath);
    if (pid < 0) {
        run.failure = "could not start " + argv.front();
        return run;
    }
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool timedOut = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (ended.wait_for(lock, std::chrono::seconds(timeoutSeconds), [&] { return done; }))
            return;
        timedOut = true;
        ::kill(-pid, SIGKILL);
    });
    int meterStatus = 0;
    while (::waitpid(pid, &meterStatus, 0) < 0 && errno == EINTR) {
    }
    {
        const std::lock_guard lock(mutex);
        done = true;
    }
    ended.notify_one();
    watchdog.join();
    int status = -1;
    long long microseconds = 0;
    long peakKb = 0;
    std::ifstream(resultPath) >> status >> microseconds >> peakKb;
    run.seconds = double(microseconds) / 1e6;
    run.peakMb = double(peakKb) / 1024.0;
    run.output = readWhole(outPath);
    run.ok = !timedOut && status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.ok) {
        std::string errors = readWhole(errPath);
        if (errors.size() > 4000) errors = errors.substr(0, 4000) + "...";
        run.failure = howItEnded(status, timedOut, timeoutSeconds) + "\n" + errors;
    }
    return run;
}

pid_t startChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& outPath, const std::string& errPath) {
    std::fflush(stdout);
    return spawn(argv, env, "/dev/null", outPath, errPath);
}

void stopChild(pid_t pid, int graceMs) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int waited = 0; waited < graceMs; waited += 50) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ::kill(-pid, SIGKILL);  // what it left running in its group
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &status, 0);
}

}  // namespace qm::bench
