#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/UsageModels.h"

namespace qm {

// A relay some process runs on this data folder, as that process last published it.
struct RelayRun {
    std::int64_t pid = 0;
    int port = 0;
    TimeMs startedAt = 0;
    std::int64_t requests = 0;
    bool operator==(const RelayRun&) const = default;
};

// Which relays run on one data folder: each process that runs one keeps a small file of its
// own ("<pid>.json") in the folder, so the relay window of the app shows a relay that
// `quotameter-cli relay` runs, and the other way round. A file whose process has ended (a
// crash leaves it behind) is not a run and is removed when seen.
namespace RelayPresence {

QString folderIn(const QString& dataDirectory);
// Writes this process's run (atomically); false when the folder cannot be written.
bool publish(const QString& folder, const RelayRun& run);
// Removes this process's file, if any.
void withdraw(const QString& folder);
// The runs of the other processes that are still alive, by pid.
std::vector<RelayRun> others(const QString& folder);

}  // namespace RelayPresence
}  // namespace qm
