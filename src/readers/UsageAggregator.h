#pragma once

#include <qcoro/qcorotask.h>
#include <QFuture>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "core/UsageModels.h"

namespace qm {

// The menu-bar title: "Codex c Grok k", " Gemini g" only when g >= 1, and " Claude p%" when a
// finite Claude session percentage is given (rounded half away from zero).
QString composeMenuBarTitle(std::int64_t codexPrompts, std::int64_t grokPrompts,
                            std::int64_t geminiPrompts, std::optional<double> claudeSessionPct);

// Owns the local usage summaries (Codex, Grok, Gemini, Claude Code) and composes the menu-bar
// title, which names only the first three.
// Lives on the main thread; the scans run on the global thread pool.
class UsageAggregator : public QObject {
    Q_OBJECT

public:
    static constexpr double kLookbackSeconds = 18000;  // the recent window: five hours

    // Reads the tools' folders under `homeDirectory` (".codex", ".grok", ".gemini", ".claude").
    explicit UsageAggregator(QString homeDirectory, QObject* parent = nullptr);

    // Always one summary per kind, in the order codex, grok, gemini, claudeCode; placeholders
    // before a refresh.
    std::vector<ProviderUsage> providers() const { return providers_; }
    bool isRefreshing() const { return refreshing_; }
    std::optional<TimeMs> lastRefreshAt() const { return lastRefreshAt_; }
    std::optional<ProviderUsage> usage(ProviderKind kind) const;
    QString menuBarTitle(std::optional<double> claudeSessionPct) const;

    // Summaries composed elsewhere (from the usage index) for some of the tools, for the window
    // that starts at `since`; the tools among them are not read again by their readers. None
    // when it cannot serve this refresh without keeping it waiting: the readers run instead.
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
    using KindSet = std::function<bool(ProviderKind)>;
    // The readers of the `wanted` tools started on the thread pool, in the order of
    // kAllProviderKinds (an empty future for a tool not wanted).
    std::vector<QFuture<ProviderUsage>> startReaders(TimeMs since, const KindSet& wanted) const;

    QString homeDirectory_;
    IndexedSummaries indexed_;
    std::vector<ProviderUsage> providers_;
    bool refreshing_ = false;
    std::optional<TimeMs> lastRefreshAt_;
};

}  // namespace qm
