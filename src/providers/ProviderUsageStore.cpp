#include "providers/ProviderUsageStore.h"

#include <QDateTime>

#include "accounts/AccountStore.h"
#include "history/UsageHistoryStore.h"

namespace qm {

ProviderUsageStore::ProviderUsageStore(const ProviderEndpoints& endpoints, Clock now,
                                       QObject* parent)
    : QObject(parent),
      anthropic_(endpoints.anthropic, endpoints.apiTimeout),
      openAI_(endpoints.openAi, endpoints.apiTimeout),
      grok_(endpoints.xai, endpoints.apiTimeout),
      gemini_(endpoints.gemini, endpoints.geminiTimeout),
      now_(orSystemClock(std::move(now))) {}

QString ProviderUsageStore::stateKey(ApiAccountProvider provider, const QString& accountId) {
    return rawValue(provider) + QLatin1Char(':') + accountId;
}

std::int64_t ProviderUsageStore::now() const {
    return now_();
}

ProviderAccountUsageState ProviderUsageStore::state(ApiAccountProvider provider,
                                                    const QString& accountId) const {
    const auto it = states_.find(stateKey(provider, accountId));
    return it == states_.end() ? ProviderAccountUsageState{} : it->second;
}

void ProviderUsageStore::setLookbackDays(int days, ApiAccountProvider provider,
                                         const QString& accountId) {
    ProviderAccountUsageState next = state(provider, accountId);
    next.lookbackDays = days == 30 ? 30 : 7;
    publish(stateKey(provider, accountId), std::move(next));
}

void ProviderUsageStore::cancelAll() const {
    anthropic_.cancel();
    openAI_.cancel();
    grok_.cancel();
    gemini_.cancel();
}

void ProviderUsageStore::publish(const QString& key, ProviderAccountUsageState state) {
    states_[key] = std::move(state);
    Q_EMIT changed();
}

std::pair<std::optional<QString>, QString> ProviderUsageStore::loadKey(const AccountStore& accounts,
                                                                       const QString& accountId) {
    const KeychainRead read = accounts.keychain().read(accountId);
    if (read.error) return {std::nullopt, read.error->description()};
    const QString key = read.value.value_or(QString()).trimmed();
    if (key.isEmpty())
        return {std::nullopt, QStringLiteral("API key is not available in Keychain.")};
    return {key, QString()};
}

void ProviderUsageStore::recordFailure(const QString& key, const QString& message) {
    const auto it = states_.find(key);
    ProviderAccountUsageState next = it == states_.end() ? ProviderAccountUsageState{} : it->second;
    next.isValidating = false;
    next.isFetching = false;
    next.errorMessage = message;
    next.lastUpdatedAt = now();
    publish(key, std::move(next));
}

QCoro::Task<ProviderValidation> ProviderUsageStore::runValidation(ApiAccountProvider provider,
                                                                  QString apiKey) {
    // Each client copies what it needs before suspending, so nothing of this store is touched
    // after the request.
    switch (provider) {
        case ApiAccountProvider::gemini:
            co_return co_await gemini_.validateKey(apiKey);
        case ApiAccountProvider::anthropic:
            co_return co_await anthropic_.validateKey(apiKey);
        case ApiAccountProvider::openAi:
            co_return co_await openAI_.validateKey(apiKey);
        case ApiAccountProvider::grok:
            break;
    }
    co_return co_await grok_.validateKey(apiKey);
}

QCoro::Task<void> ProviderUsageStore::validate(ApiAccountProvider provider, QString accountId,
                                               const AccountStore& accounts) {
    const QString key = stateKey(provider, accountId);
    const auto [apiKey, problem] = loadKey(accounts, accountId);
    if (!apiKey) {
        recordFailure(key, problem);
        co_return;
    }
    ProviderAccountUsageState running = state(provider, accountId);
    running.isValidating = true;
    running.errorMessage.reset();
    publish(key, std::move(running));

    QPointer<ProviderUsageStore> self(this);
    const ProviderValidation validation = co_await runValidation(provider, *apiKey);
    if (!self) co_return;

    // Re-read: the look-back range or a fetch may have changed the state meanwhile.
    ProviderAccountUsageState done = state(provider, accountId);
    done.isValidating = false;
    done.validation = validation;
    done.errorMessage.reset();
    done.lastUpdatedAt = now();
    publish(key, std::move(done));
}

QCoro::Task<void> ProviderUsageStore::fetchUsage(ApiAccountProvider provider, QString accountId,
                                                 const AccountStore& accounts) {
    const QString key = stateKey(provider, accountId);
    const auto [apiKey, problem] = loadKey(accounts, accountId);
    if (!apiKey) {
        recordFailure(key, problem);
        co_return;
    }
    ProviderAccountUsageState running = state(provider, accountId);
    const int days = running.lookbackDays;
    const std::int64_t end = now();
    // Calendar days in local time, so a range across a clock change still starts at the same
    // time of day.
    const QDateTime startTime = QDateTime::fromMSecsSinceEpoch(end).addDays(-days);
    const std::int64_t start =
        startTime.isValid() ? startTime.toMSecsSinceEpoch() : end - std::int64_t(days) * 86'400'000;
    running.isFetching = true;
    running.errorMessage.reset();
    publish(key, std::move(running));

    QPointer<ProviderUsageStore> self(this);
    UsageFetchResult result;
    std::optional<ProviderValidation> validation;
    switch (provider) {
        case ApiAccountProvider::anthropic:
            result = co_await anthropic_.fetchUsage(*apiKey, start, end);
            break;
        case ApiAccountProvider::openAi:
            result = co_await openAI_.fetchUsage(*apiKey, start, end);
            break;
        case ApiAccountProvider::gemini: {
            validation = co_await gemini_.validateKey(*apiKey);
            result.ok = validation->ok;
            result.errorMessage = validation->errorMessage;
            result.keyInfo = validation->keyInfo;
            result.message = validation->message.value_or(
                QStringLiteral("Gemini validation completed. Usage API is not available."));
            break;
        }
        case ApiAccountProvider::grok: {
            const GrokUsageProvider grok = grok_;  // outlives this store if it must
            validation = co_await grok.validateKey(*apiKey);
            result.keyInfo = validation->keyInfo;
            if (!validation->ok) {
                result.errorMessage = validation->errorMessage;
                result.message = QStringLiteral("xAI does not expose a usage report API.");
                break;
            }
            const GrokUsageProvider::ModelList models = co_await grok.listModels(*apiKey);
            if (result.keyInfo) result.keyInfo->availableModels = models.models;
            result.ok = true;
            result.message =
                QStringLiteral("xAI key is reachable, but xAI does not expose a usage report API.");
            if (!models.ok)
                result.warnings.append(
                    models.errorMessage.value_or(QStringLiteral("Models endpoint failed.")));
            break;
        }
    }
    if (!self) co_return;

    if (result.ok &&
        (provider == ApiAccountProvider::anthropic || provider == ApiAccountProvider::openAi)) {
        const QString name = provider == ApiAccountProvider::anthropic ? QStringLiteral("anthropic")
                                                                       : QStringLiteral("openai");
        if (history_) history_->appendApiRecords(result.buckets, name, accountId);
        if (sink_) sink_(result.buckets, name, accountId);
    }
    ProviderAccountUsageState done = state(provider, accountId);
    done.isFetching = false;
    if (validation) done.validation = validation;
    done.usageResult = result;
    done.errorMessage.reset();
    done.lastUpdatedAt = now();
    publish(key, std::move(done));
}

}  // namespace qm
