#include "ledger/LocalUsageStore.h"

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorosignal.h>
#include <QDateTime>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "core/Clock.h"
#include "ledger/FiveHourSummaries.h"

namespace qm::ledger {

LocalUsageStore::LocalUsageStore(UsageLedger ledger, QObject* parent)
    : QObject(parent), ledger_(std::move(ledger)), shared_(std::make_shared<Shared>()) {
    poll_.setInterval(250);
    connect(&poll_, &QTimer::timeout, this, &LocalUsageStore::pollProgress);
}

ReportFigures LocalUsageStore::figures(std::optional<ProviderKind> tool, TimeMs from,
                                       TimeMs to) const {
    return figuresBetween(slices_, from, to, tool);
}

UsageReport LocalUsageStore::report(const ReportQuery& query) const {
    return buildReport(slices_, query);
}

void LocalUsageStore::pollProgress() {
    const std::int64_t total = shared_->total.load();
    // Short updates show nothing: only a build that keeps the user waiting says so.
    if (total == 0 || systemNow() - startedAt_ < 1000) return;
    const IndexProgress next{shared_->read.load(), total};
    if (progress_ && progress_->bytesRead == next.bytesRead) return;
    progress_ = next;
    Q_EMIT changed();
}

QCoro::Task<> LocalUsageStore::refresh() {
    const Compose nothing;
    co_await update(nothing);
}

QCoro::Task<std::optional<std::vector<ProviderUsage>>> LocalUsageStore::refreshWithSummaries(
    QString homeDirectory, TimeMs since, QStringList focus) {
    // Every summary comes from the index, so one asked for while an update (a first build
    // among them) is under way waits for it, then reads what was written since.
    QPointer<LocalUsageStore> self(this);
    while (indexing_) {
        auto settled = qCoro(this, &LocalUsageStore::changed);
        co_await settled;
        if (!self) co_return std::nullopt;
    }
    // Named before the await: GCC 12 destroys a std::function made in the awaiting
    // expression twice, and the captured home folder with it.
    const Compose compose = [homeDirectory, since](const LedgerSnapshot& snapshot) {
        return indexedSummaries(snapshot.files, homeDirectory, since);
    };
    std::optional<std::vector<ProviderUsage>> summaries = co_await update(compose, focus);
    co_return summaries;
}

QCoro::Task<std::optional<std::vector<ProviderUsage>>> LocalUsageStore::update(Compose compose,
                                                                               QStringList focus) {
    if (indexing_) co_return std::nullopt;
    indexing_ = true;
    startedAt_ = systemNow();
    shared_ = std::make_shared<Shared>();
    poll_.start();
    Q_EMIT changed();

    UsageLedger::UpdateOptions options;
    options.progress = [shared = shared_](const IndexProgress& p) {
        shared->total.store(p.bytesToRead);
        shared->read.store(p.bytesRead);
    };
    options.focusFiles = std::move(focus);
    options.walkEvery = kFocusTrustMs;
    auto work = QtConcurrent::run([ledger = ledger_, options, compose] {
        const LedgerSnapshot snapshot = ledger.update(options);
        Update result{snapshot.slices(), {}};
        if (compose) result.summaries = compose(snapshot);
        return result;
    });
    QPointer<LocalUsageStore> self(this);
    Update result = co_await work;
    if (!self) co_return std::nullopt;  // destroyed while the index was read

    poll_.stop();
    slices_ = std::move(result.slices);
#ifdef __GLIBC__
    // What the update freed stays with the reading threads' heaps unless handed back: after a
    // first build that is most of what the process holds.
    malloc_trim(0);
#endif
    progress_.reset();
    lastUpdateAt_ = systemNow();
    indexing_ = false;
    Q_EMIT changed();
    if (!compose) co_return std::nullopt;
    co_return std::move(result.summaries);
}

void LocalUsageStore::refreshInBackground() {
    refresh();
}

}  // namespace qm::ledger
