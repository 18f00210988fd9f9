#pragma once

#include <QCoroTask>
#include <QString>
#include <chrono>
#include <vector>

#include "core/RemoteHosts.h"
#include "core/UsageModels.h"
#include "providers/ProviderHttpSession.h"
#include "providers/ProviderModels.h"

namespace qm {

// Checks an Anthropic admin key and reads the organisation's token usage per model from the
// admin usage report, pricing models the report carries no cost for. Never throws: every
// failure is a result with a message. Safe to destroy while a request runs.
class AnthropicUsageProvider {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{30'000};

    explicit AnthropicUsageProvider(QString baseUrl = RemoteHosts::anthropicApi(),
                                    std::chrono::milliseconds timeout = kDefaultTimeout);

    QCoro::Task<ProviderValidation> validateKey(QString apiKey) const;
    QCoro::Task<UsageFetchResult> fetchUsage(QString apiKey, TimeMs start, TimeMs end) const;
    void cancel() const { session_.cancelAll(); }

    // The usage report's rows merged per model, priced and sorted; nothing on a bad answer
    // (`error` then says why).
    static std::optional<std::vector<UsageBucket>> bucketsFromReport(const QByteArray& body,
                                                                     QString* error);

private:
    ProviderHttpSession session_;
};

}  // namespace qm
