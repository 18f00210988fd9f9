#pragma once

// Programs run as children of the bench in a home and folders of their own: the command-line
// program, the peer reporting tool, the tray application and its display.

#include <sys/types.h>
#include <string>
#include <vector>

namespace qm::bench {

// The bench's own environment, but HOME is `home`, every XDG folder lies under `xdgRoot` (made
// here, the runtime folder private), and nothing names the user's tool folders, display, bus
// or Quotameter settings.
std::vector<std::string> isolatedEnvironment(const std::string& home, const std::string& xdgRoot);
void setVariable(std::vector<std::string>& env, const std::string& name, const std::string& value);

// A program's path: as given when it has a slash, else the first match on PATH; empty if none.
std::string findExecutable(const std::string& name);

struct ChildRun {
    bool ok = false;      // exited with 0
    std::string failure;  // otherwise how it ended, with its standard error
    double seconds = 0;   // from its start to its exit
    double peakMb = 0;    // its maximum resident memory (and its children's)
    std::string output;   // its standard output
};

// Runs `argv` with `env` and `input` on standard input; output and errors pass through files in
// `scratch`. A run that outlasts `timeoutSeconds` is killed and counts as failed.
ChildRun runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& input, const std::string& scratch, int timeoutSeconds = 900);

// Starts a program that runs on while the bench watches it; standard input is /dev/null.
// Returns its id, or -1.
pid_t startChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& outPath, const std::string& errPath);
// Asks it to end (SIGTERM), then kills it after `graceMs`, and reaps it.
void stopChild(pid_t pid, int graceMs = 10'000);

std::string readWhole(const std::string& path);
// User and system time of a process (threads that ended included), in clock ticks; -1 when
// it cannot be read.
long long cpuTicks(pid_t pid);

}  // namespace qm::bench
