#include "readers/UsageAggregator.h"

#include <qcoro/qcorofuture.h>
#include <QDateTime>
#include <QDir>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>

#include "core/Clock.h"
#include "core/Pricing.h"
#include "readers/ClaudeCodeReader.h"
#include "readers/CodexCliReader.h"
#include "readers/GeminiCliReader.h"
#include "readers/GrokCliReader.h"

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

std::vector<QFuture<ProviderUsage>> UsageAggregator::startReaders(TimeMs since,
                                                                  const KindSet& wanted) const {
    const QDir home(homeDirectory_);
    std::vector<QFuture<ProviderUsage>> futures(std::size(kAllProviderKinds));
    // Each reader is built inside its task from plain values; the tasks share nothing.
    if (wanted(ProviderKind::codex)) {
        futures[0] =
            QtConcurrent::run([codexHome = CodexCliReader::homeFor(homeDirectory_), since] {
                return CodexCliReader(codexHome).readUsageSync(since);
            });
    }
    if (wanted(ProviderKind::grok)) {
        futures[1] =
            QtConcurrent::run([sessions = home.filePath(QStringLiteral(".grok/sessions")),
                               auth = home.filePath(QStringLiteral(".grok/auth.json")), since] {
                return GrokCliReader(sessions, auth).readUsageSync(since);
            });
    }
    if (wanted(ProviderKind::gemini)) {
        futures[2] =
            QtConcurrent::run([directory = home.filePath(QStringLiteral(".gemini")), since] {
                return GeminiCliReader(directory).readUsageSync(since);
            });
    }
    if (wanted(ProviderKind::claudeCode)) {
        futures[3] = QtConcurrent::run(
            [directories = ClaudeCodeReader::projectDirectoriesFor(homeDirectory_),
             credentials = ClaudeCodeReader::credentialsFileFor(homeDirectory_),
             since] { return ClaudeCodeReader(directories, credentials).readUsageSync(since); });
    }
    return futures;
}

QCoro::Task<> UsageAggregator::refresh() {
    if (refreshing_) co_return;
    refreshing_ = true;
    Q_EMIT changed();

    const TimeMs since = systemNow() - TimeMs(kLookbackSeconds * 1000);
    QPointer<UsageAggregator> self(this);
    std::vector<ProviderUsage> served;
    if (indexed_) {
        std::optional<std::vector<ProviderUsage>> indexed = co_await indexed_(since);
        if (!self) co_return;  // destroyed while the index was brought up to date
        if (indexed) served = std::move(*indexed);
    }
    const auto isServed = [&served](ProviderKind kind) {
        return std::any_of(served.begin(), served.end(),
                           [kind](const ProviderUsage& usage) { return usage.kind == kind; });
    };
    std::vector<QFuture<ProviderUsage>> futures =
        startReaders(since, [&isServed](ProviderKind kind) { return !isServed(kind); });
    std::vector<ProviderUsage> results;
    for (std::size_t i = 0; i < futures.size(); ++i) {
        const ProviderKind kind = kAllProviderKinds[i];
        if (!isServed(kind)) {
            results.push_back(co_await futures[i]);
            continue;
        }
        for (const ProviderUsage& usage : served) {
            if (usage.kind == kind) results.push_back(usage);
        }
    }
    if (!self) co_return;  // destroyed while the scan ran
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
