#pragma once

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "accounts/ApiAccountModels.h"
#include "core/Clock.h"
#include "core/RemoteHosts.h"
#include "history/UsageHistoryStore.h"
#include "providers/AnthropicUsageProvider.h"
#include "providers/GrokUsageProvider.h"
#include "providers/OpenAiUsageProvider.h"
#include "providers/ProviderModels.h"

namespace qm {

class AccountStore;

struct ProviderAccountUsageState {
    int lookbackDays = 7;  // 7 or 30
    bool isValidating = false;
    bool isFetching = false;
    std::optional<ProviderValidation> validation;
    std::optional<UsageFetchResult> usageResult;
    std::optional<QString> errorMessage;
    std::optional<std::int64_t> lastUpdatedAt;  // ms since the epoch
    bool operator==(const ProviderAccountUsageState&) const = default;
};

// Where the four clients send their requests, and how long a whole transfer may take.
struct ProviderEndpoints {
    QString anthropic = RemoteHosts::anthropicApi();
    QString openAi = RemoteHosts::openAiApi();
    QString xai = RemoteHosts::xaiApi();
    QString gemini = RemoteHosts::geminiApi();
    std::chrono::milliseconds apiTimeout = AnthropicUsageProvider::kDefaultTimeout;
    std::chrono::milliseconds geminiTimeout = GeminiUsageProvider::kDefaultTimeout;
};

// Key checks and usage fetches for single API accounts, on request, with the state per account
// that the accounts view shows. Successful Anthropic and OpenAI fetches go to the usage
// history when one is attached. Main thread only; nothing is persisted.
class ProviderUsageStore : public QObject {
    Q_OBJECT
public:
    explicit ProviderUsageStore(const ProviderEndpoints& endpoints = {}, Clock now = {},
                                QObject* parent = nullptr);

    // "<provider raw value>:<account id>".
    static QString stateKey(ApiAccountProvider provider, const QString& accountId);

    const std::map<QString, ProviderAccountUsageState>& states() const { return states_; }
    ProviderAccountUsageState state(ApiAccountProvider provider, const QString& accountId) const;
    // 30 stays 30; any other value becomes 7. Nothing is fetched.
    void setLookbackDays(int days, ApiAccountProvider provider, const QString& accountId);

    using HistorySink = std::function<void(const std::vector<UsageBucket>& buckets,
                                           const QString& provider, const QString& accountId)>;
    // Weak: a history store that goes away only stops the recording.
    void attachHistoryStore(UsageHistoryStore* history) { history_ = history; }
    // Receives the same hand-off as an attached history store (for tools and tests).
    void setHistorySink(HistorySink sink) { sink_ = std::move(sink); }

    // `accounts` is read (for the key) before the first suspension only.
    QCoro::Task<void> validate(ApiAccountProvider provider, QString accountId,
                               const AccountStore& accounts);
    QCoro::Task<void> fetchUsage(ApiAccountProvider provider, QString accountId,
                                 const AccountStore& accounts);

    // Aborts the requests in flight; they end with "Canceled".
    void cancelAll() const;

Q_SIGNALS:
    void changed();

private:
    // The trimmed key, or the message why there is none.
    static std::pair<std::optional<QString>, QString> loadKey(const AccountStore& accounts,
                                                              const QString& accountId);
    void recordFailure(const QString& key, const QString& message);
    void publish(const QString& key, ProviderAccountUsageState state);
    QCoro::Task<ProviderValidation> runValidation(ApiAccountProvider provider, QString apiKey);
    std::int64_t now() const;

    AnthropicUsageProvider anthropic_;
    OpenAiUsageProvider openAI_;
    GrokUsageProvider grok_;
    GeminiUsageProvider gemini_;
    Clock now_;
    std::map<QString, ProviderAccountUsageState> states_;
    QPointer<UsageHistoryStore> history_;
    HistorySink sink_;
};

}  // namespace qm
