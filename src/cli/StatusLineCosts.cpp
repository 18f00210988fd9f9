#include "cli/StatusLineCosts.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <limits>
#include <vector>

#include "cli/IndexProgress.h"
#include "ledger/UsageLedger.h"
#include "ledger/UsageReport.h"

namespace qm::cli {

namespace {

TimeMs startOfLocalDay(TimeMs now) {
    return QDateTime(QDateTime::fromMSecsSinceEpoch(now).date(), QTime(0, 0)).toMSecsSinceEpoch();
}

// The index names a Claude Code session after its transcript ("<session>.jsonl"); Claude Code
// hands both, and the file's name is what the index saw.
QString sessionName(const QString& sessionId, const QString& transcriptPath) {
    if (!transcriptPath.isEmpty()) return QFileInfo(transcriptPath).completeBaseName();
    return sessionId;
}

}  // namespace

StatusLineCosts costsFor(const QString& sessionId, const QString& transcriptPath, TimeMs now) {
    // The usage index reads only what the tools wrote since it was last brought up to date.
    const ledger::UsageLedger ledger(ledger::UsageLedger::defaultDirectory(),
                                     ledger::LedgerSources::forHome(QDir::homePath()));
    // Claude Code runs this after every reply: the transcript it names is brought up to date at
    // once, every other log at most every 30 seconds (any process's walk counts).
    ledger::UsageLedger::UpdateOptions options;
    options.focus = transcriptPath;
    options.walkEvery = kWalkEveryMs;
    const ledger::LedgerSnapshot snapshot = ledger.update(options);
    sayIfBusy(snapshot);
    const QString session = sessionName(sessionId, transcriptPath);
    // Claude Code's files of this session, and those written to since a day before today
    // began: a file left alone since then holds nothing of today. The rest is never decoded.
    const TimeMs today = startOfLocalDay(now);
    const std::vector<ledger::UsageSlice> slices =
        snapshot.slices([&](const ledger::FileEntry& file) {
            return file.tool == ProviderKind::claudeCode &&
                   ((!session.isEmpty() && file.session == session) ||
                    file.identity.modifiedNs / 1'000'000 >= today - 24 * 3'600'000);
        });

    StatusLineCosts costs;
    // Every hour that started today, the current one included.
    costs.todayUsd =
        ledger::figuresBetween(slices, today, now + 1, ProviderKind::claudeCode).costUsd;
    std::vector<ledger::UsageSlice> own;
    std::copy_if(slices.begin(), slices.end(), std::back_inserter(own),
                 [&](const ledger::UsageSlice& slice) {
                     return slice.tool == ProviderKind::claudeCode && slice.session == session;
                 });
    if (!session.isEmpty() && !own.empty()) {
        costs.sessionUsd = ledger::figuresBetween(own, std::numeric_limits<TimeMs>::min(),
                                                  std::numeric_limits<TimeMs>::max())
                               .costUsd;
    }
    return costs;
}

}  // namespace qm::cli
