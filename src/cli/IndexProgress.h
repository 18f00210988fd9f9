#pragma once

#include <QElapsedTimer>
#include <mutex>

#include "ledger/UsageAggregator.h"
#include "ledger/UsageLedger.h"

namespace qm::cli {

// "Indexing logs 1.2 GB of 3.4 GB" on stderr once an index build has taken more than a
// second: rewritten in place on a terminal, a line now and then otherwise. Fed from the
// reading threads.
class IndexProgress {
public:
    IndexProgress();
    ~IndexProgress();  // clears the line it left on a terminal

    ledger::UsageLedger::ProgressCallback callback();

private:
    void report(const ledger::IndexProgress& progress);

    std::mutex mutex_;
    QElapsedTimer clock_;
    bool terminal_ = false;
    bool shown_ = false;
    int lastQuarter_ = -1;
};

// Brings the index in the cache folder up to date with the logs under the user's home,
// showing progress as above.
ledger::LedgerSnapshot updatedLedger();

// Says on stderr that an update was read without the index's lock (another process held it),
// when it was.
void sayIfBusy(const ledger::LedgerSnapshot& snapshot);

// Has `aggregator` take the summaries the index serves from one update of it (as above)
// instead of reading those tools' logs again.
void useIndexedSummaries(UsageAggregator& aggregator);

}  // namespace qm::cli
