#include "ledger/LedgerRecords.h"

#include <QDateTime>
#include <algorithm>

#include "core/Clock.h"
#include "core/UsageFigures.h"
#include "readers/CliLogParsing.h"

namespace qm::ledger {

Counts& Counts::operator+=(const Counts& o) {
    using CliLogParsing::addCounts;
    input = addCounts(input, o.input);
    cachedInput = addCounts(cachedInput, o.cachedInput);
    cacheWrite = addCounts(cacheWrite, o.cacheWrite);
    cacheWrite1h = addCounts(cacheWrite1h, o.cacheWrite1h);
    output = addCounts(output, o.output);
    reasoning = addCounts(reasoning, o.reasoning);
    prompts = addCounts(prompts, o.prompts);
    calls = addCounts(calls, o.calls);
    return *this;
}

void FileEntry::restart() {
    offset = 0;
    state.clear();
    session.clear();
    project.clear();
    subordinate = false;
    models.clear();
    rows.clear();
    calls.clear();
    prompts.clear();
    facts.clear();
    recent.clear();
    skippedLines = 0;
}

bool FileEntry::pruneRecent(TimeMs horizon) {
    return std::erase_if(recent, [horizon](const RecentRecord& r) { return r.at < horizon; }) > 0;
}

std::uint16_t FileEntry::modelIndex(const QString& model) {
    const QString name = model.isEmpty() ? QStringLiteral("unknown") : model;
    const auto found = std::find(models.begin(), models.end(), name);
    if (found != models.end()) return std::uint16_t(found - models.begin());
    // A file naming more models than this is not a real log; the rest share the last name.
    if (models.size() >= 0xFFFF) return 0xFFFE;
    models.push_back(name);
    return std::uint16_t(models.size() - 1);
}

bool countsInRange(const Counts& c) {
    for (const std::int64_t n : {c.input, c.cachedInput, c.cacheWrite, c.cacheWrite1h, c.output,
                                 c.reasoning, c.prompts, c.calls}) {
        if (!UsageFigures::isTokenCount(n)) return false;
    }
    return true;
}

bool plausibleCall(Hour hour, const Counts& c) {
    return countsInRange(c) && !UsageFigures::checkTimestamp(startOf(hour), systemNow());
}

void FileEntry::add(Hour hour, const QString& model, std::uint8_t flags, const Counts& counts) {
    if (!plausibleCall(hour, counts)) return;
    const std::uint16_t index = modelIndex(model);
    // Rows arrive in time order, so the row to add to is nearly always among the last few.
    for (auto it = rows.rbegin(); it != rows.rend() && it - rows.rbegin() < 8; ++it) {
        if (it->hour == hour && it->model == index && it->flags == flags) {
            Counts sum = it->counts;
            sum += counts;
            // A row whose sum would pass the rule is left as it is and another one begun:
            // the readers add up rows of the same hour and model anyway.
            if (!countsInRange(sum)) break;
            it->counts = sum;
            return;
        }
    }
    rows.push_back({hour, index, flags, counts});
}

std::int64_t skippedLines(const std::vector<FileEntry>& files,
                          const std::vector<ProviderKind>& tools) {
    std::int64_t skipped = 0;
    for (const FileEntry& file : files) {
        if (tools.empty() || std::find(tools.begin(), tools.end(), file.tool) != tools.end())
            skipped = CliLogParsing::addCounts(skipped, file.skippedLines);
    }
    return skipped;
}

}  // namespace qm::ledger
