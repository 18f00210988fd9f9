#pragma once

#include <functional>
#include <string>

namespace qm::bench {

// The command-line program as its users run it, each call a fresh process in a home of its own
// (the generated tree) with an index it built on its first call.
struct CliSetup {
    std::string program;     // quotameter-cli
    std::string home;        // the generated home
    std::string work;        // where its XDG folders and the runs' scratch files go
    std::string transcript;  // a recent Claude Code session, named to the status line
    std::string rollout;     // the Codex rollout that grows by `rolloutLines`
    std::string rolloutLines;
    int runs = 5;
    std::function<void(const std::string&)> beforeGrowing;  // told of a file about to grow
};

// Prints min / median / max wall time and peak resident memory of: statusline (warm, and after
// 100 KB of new requests in its transcript), title --json, limits, usage, report daily (warm,
// and after the rollout grew by a megabyte), beside --version and a bare stat of the tree.
void measureCli(const CliSetup& setup);

// Claude Code transcript `lines` made into requests nobody has seen: new message and request
// ids tagged with `tag`, every time stamp `isoNow`.
std::string freshRequests(std::string lines, const std::string& tag, const std::string& isoNow);

}  // namespace qm::bench
