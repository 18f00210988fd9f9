#pragma once

#include <qcoro/qcorotask.h>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ledger/UsageLedger.h"
#include "ledger/UsageReport.h"

namespace qm::ledger {

// The local tools' usage over all of their logs, from the usage index, for the windows: the
// dashboard's "Today" and "This month" lines, the trends' "Local Tools" section. A refresh
// brings the index up to date on the thread pool; while a first build takes more than a
// second, progress() says how far it has got. Lives on the main thread.
class LocalUsageStore : public QObject {
    Q_OBJECT

public:
    explicit LocalUsageStore(UsageLedger ledger, QObject* parent = nullptr);

    bool isIndexing() const { return indexing_; }
    // Set while an update that has run for more than a second reads files.
    std::optional<IndexProgress> progress() const { return progress_; }
    std::optional<TimeMs> lastUpdateAt() const { return lastUpdateAt_; }
    const std::vector<UsageSlice>& slices() const { return slices_; }

    // The figures of the hours that start in [from, to), of one tool or of all.
    ReportFigures figures(std::optional<ProviderKind> tool, TimeMs from, TimeMs to) const;
    UsageReport report(const ReportQuery& query) const;

    // Brings the index up to date and publishes it. Returns at once while one is under way.
    QCoro::Task<> refresh();
    // The same, and from the same update the five-hour summaries the index serves for the
    // tools under `homeDirectory` (see indexedSummaries()). While another update (a first
    // build, which may take long) is under way, waits for it first: there is no other source.
    // With `focus`, the files a watch saw written to, only those are read while the last walk
    // over every file is younger than kFocusTrustMs. None only when the store is destroyed
    // meanwhile.
    QCoro::Task<std::optional<std::vector<ProviderUsage>>> refreshWithSummaries(
        QString homeDirectory, TimeMs since, QStringList focus = {});
    // The watch finds new files by itself (LogWatcher): the walk behind a focused update is a
    // safety net, not the way new files are found.
    static constexpr TimeMs kFocusTrustMs = 5 * 60'000;
    void refreshInBackground();

Q_SIGNALS:
    void changed();

private:
    using Compose = std::function<std::vector<ProviderUsage>(const LedgerSnapshot&)>;
    struct Update {
        std::vector<UsageSlice> slices;
        std::vector<ProviderUsage> summaries;
    };
    QCoro::Task<std::optional<std::vector<ProviderUsage>>> update(Compose compose,
                                                                  QStringList focus = {});
    void pollProgress();

    UsageLedger ledger_;
    bool indexing_ = false;
    std::optional<IndexProgress> progress_;
    std::optional<TimeMs> lastUpdateAt_;
    std::vector<UsageSlice> slices_;
    // Written by the reading threads, read by the poll timer: no call crosses back.
    struct Shared {
        std::atomic<std::int64_t> read{0};
        std::atomic<std::int64_t> total{0};
    };
    std::shared_ptr<Shared> shared_;
    QTimer poll_;
    TimeMs startedAt_ = 0;
};

}  // namespace qm::ledger
