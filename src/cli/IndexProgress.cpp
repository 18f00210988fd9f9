#include "cli/IndexProgress.h"

#include <qcoro/qcorofuture.h>
#include <unistd.h>
#include <QDir>
#include <QtConcurrent/QtConcurrentRun>
#include <cstdio>

#include "ledger/FiveHourSummaries.h"

namespace qm::cli {

IndexProgress::IndexProgress() : terminal_(::isatty(STDERR_FILENO) == 1) {
    clock_.start();
}

IndexProgress::~IndexProgress() {
    if (shown_ && terminal_) std::fputs("\r\033[K", stderr);
}

ledger::UsageLedger::ProgressCallback IndexProgress::callback() {
    return [this](const ledger::IndexProgress& progress) { report(progress); };
}

void IndexProgress::report(const ledger::IndexProgress& progress) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (clock_.elapsed() < 1000) return;
    const QByteArray text = ledger::indexingText(progress).toUtf8();
    if (terminal_) {
        std::fprintf(stderr, "\r\033[K%s", text.constData());
    } else {
        // A log file gets a line at each quarter, not a hundred.
        const int quarter =
            int(progress.bytesRead * 4 / std::max<std::int64_t>(progress.bytesToRead, 1));
        if (quarter == lastQuarter_) return;
        lastQuarter_ = quarter;
        std::fprintf(stderr, "%s\n", text.constData());
    }
    std::fflush(stderr);
    shown_ = true;
}

void useIndexedSummaries(UsageAggregator& aggregator) {
    aggregator.setIndexedSummaries(
        [](TimeMs since) -> QCoro::Task<std::optional<std::vector<ProviderUsage>>> {
            auto work = QtConcurrent::run([home = QDir::homePath(), since] {
                return ledger::indexedSummaries(updatedLedger().files, home, since);
            });
            co_return co_await work;
        });
}

ledger::LedgerSnapshot updatedLedger() {
    const ledger::UsageLedger ledger(ledger::UsageLedger::defaultDirectory(),
                                     ledger::LedgerSources::forHome(QDir::homePath()));
    ledger::LedgerSnapshot snapshot;
    {
        IndexProgress progress;
        snapshot = ledger.update(0, progress.callback());
    }
    sayIfBusy(snapshot);
    return snapshot;
}

void sayIfBusy(const ledger::LedgerSnapshot& snapshot) {
    if (!snapshot.stats.busy) return;
    const QByteArray why =
        snapshot.stats.busy->isEmpty() ? QByteArray() : " (" + snapshot.stats.busy->toUtf8() + ")";
    std::fprintf(stderr,
                 "quotameter-cli: the usage index is busy%s; these figures were read without "
                 "it\n",
                 why.constData());
}

}  // namespace qm::cli
