#include "ledger/UsageAggregator.h"

#include <qcoro/qcorofuture.h>
#include <QDateTime>
#include <QDir>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>

#include "core/Clock.h"
#include "core/Pricing.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/UsageLedger.h"

namespace qm {

QString composeMenuBarTitle(std::int64_t codexPrompts, std::int64_t grokPrompts,
                            std::int64_t geminiPrompts, std::optional<double> claudeSessionPct) {
    QString title = QStringLiteral("Codex %1 Grok %2").arg(codexPrompts).arg(grokPrompts);
    if (geminiPrompts >= 1) title += QStringLiteral(" Gemini %1").arg(geminiPrompts);
    if (claudeSessionPct) {
        const double rounded = std::round(*claudeSessionPct);  // halves away from zero
        // A value that is not a number, or too large to print as an integer, is left out.
        if (std::isfinite(rounded) && rounded >= -9223372036854775808.0 &&
            rounded < 9223372036854775808.0) {
            title += QStringLiteral(" Claude %1%").arg(std::int64_t(rounded));
        }
    }
    return title;
}

UsageAggregator::UsageAggregator(QString homeDirectory, QObject* parent)
    : QObject(parent), homeDirectory_(std::move(homeDirectory)) {
    for (ProviderKind kind : kAllProviderKinds) {
        providers_.push_back(ProviderUsage::placeholder(kind));
    }
}

std::optional<ProviderUsage> UsageAggregator::usage(ProviderKind kind) const {
    for (const ProviderUsage& provider : providers_) {
        if (provider.kind == kind) return provider;
    }
    return std::nullopt;
}

QString UsageAggregator::menuBarTitle(std::optional<double> claudeSessionPct) const {
    const auto prompts = [&](ProviderKind kind) {
        const auto found = usage(kind);
        return found ? found->lastFiveHourPrompts : 0;
    };
    return composeMenuBarTitle(prompts(ProviderKind::codex), prompts(ProviderKind::grok),
                               prompts(ProviderKind::gemini), claudeSessionPct);
}

QFuture<std::vector<ProviderUsage>> UsageAggregator::ownSummaries(TimeMs since) {
    if (!ownIndex_) ownIndex_ = std::make_shared<QTemporaryDir>();
    return QtConcurrent::run([index = ownIndex_, home = homeDirectory_, since] {
        const ledger::UsageLedger ledger(index->path(), ledger::LedgerSources::forHome(home));
        return ledger::indexedSummaries(ledger.update().files, home, since);
    });
}

QCoro::Task<> UsageAggregator::refresh() {
    if (refreshing_) co_return;
    refreshing_ = true;
    Q_EMIT changed();

    const TimeMs since = systemNow() - TimeMs(kLookbackSeconds * 1000);
    QPointer<UsageAggregator> self(this);
    std::optional<std::vector<ProviderUsage>> served;
    if (indexed_) {
        served = co_await indexed_(since);
    } else {
        auto own = ownSummaries(since);
        served = co_await own;
    }
    if (!self) co_return;  // destroyed while the index was brought up to date
    // One summary per tool in the usual order; a tool the index gave none for keeps its own.
    std::vector<ProviderUsage> results = providers_;
    for (ProviderUsage& usage : served.value_or(std::vector<ProviderUsage>())) {
        const auto same =
            std::find_if(results.begin(), results.end(),
                         [&usage](const ProviderUsage& r) { return r.kind == usage.kind; });
        if (same != results.end()) *same = std::move(usage);
    }
    for (ProviderUsage& usage : results) UsagePricing::noteUnpricedModels(usage);

    providers_ = std::move(results);
    lastRefreshAt_ = systemNow();
    refreshing_ = false;
    Q_EMIT changed();
}

void UsageAggregator::refreshInBackground() {
    refresh();
}

}  // namespace qm
