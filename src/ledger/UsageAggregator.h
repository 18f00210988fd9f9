#pragma once

#include <qcoro/qcorotask.h>
#include <QFuture>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/UsageModels.h"

namespace qm {

// The menu-bar title: "Codex c Grok k", " Gemini g" only when g >= 1, and " Claude p%" when a
// finite Claude session percentage is given (rounded half away from zero).
QString composeMenuBarTitle(std::int64_t codexPrompts, std::int64_t grokPrompts,
                            std::int64_t geminiPrompts, std::optional<double> claudeSessionPct);

// Owns the local usage summaries (one per tool of kAllProviderKinds) and composes the menu-bar
// title, which names only the first three. Every summary comes from the usage index: the one
// the application keeps (setIndexedSummaries), or else one of its own in a private folder.
// Lives on the main thread; the index is read on the global thread pool.
class UsageAggregator : public QObject {
    Q_OBJECT

public:
    static constexpr double kLookbackSeconds = 18000;  // the recent window: five hours

    // Reads the tools' folders under `homeDirectory` (".codex", ".grok", ".gemini", ".claude").
    explicit UsageAggregator(QString homeDirectory, QObject* parent = nullptr);

    // Always one summary per kind, in the order of kAllProviderKinds; placeholders before a
    // refresh.
    std::vector<ProviderUsage> providers() const { return providers_; }
    bool isRefreshing() const { return refreshing_; }
    std::optional<TimeMs> lastRefreshAt() const { return lastRefreshAt_; }
    std::optional<ProviderUsage> usage(ProviderKind kind) const;
    QString menuBarTitle(std::optional<double> claudeSessionPct) const;

    // The tools' summaries from the usage index for the window that starts at `since`. None
    // when it cannot answer (it was destroyed): what was shown stays.
    using IndexedSummaries =
        std::function<QCoro::Task<std::optional<std::vector<ProviderUsage>>>(TimeMs since)>;
    void setIndexedSummaries(IndexedSummaries source) { indexed_ = std::move(source); }

    // Scans the tools at once and publishes their summaries together. Returns at once,
    // doing nothing, while another refresh is under way.
    QCoro::Task<> refresh();

public Q_SLOTS:
    // Starts a refresh without waiting for it.
    void refreshInBackground();

Q_SIGNALS:
    void changed();

private:
    // The summaries from an index of this object's own, for when none is given.
    QFuture<std::vector<ProviderUsage>> ownSummaries(TimeMs since);

    QString homeDirectory_;
    std::shared_ptr<QTemporaryDir> ownIndex_;
    IndexedSummaries indexed_;
    std::vector<ProviderUsage> providers_;
    bool refreshing_ = false;
    std::optional<TimeMs> lastRefreshAt_;
};

}  // namespace qm
