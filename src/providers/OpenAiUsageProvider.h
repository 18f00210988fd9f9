#pragma once

#include <QCoroTask>
#include <QString>
#include <chrono>
#include <map>
#include <vector>

#include "core/RemoteHosts.h"
#include "core/UsageModels.h"
#include "providers/ProviderHttpSession.h"
#include "providers/ProviderModels.h"

namespace qm {

// Checks an OpenAI admin key and reads the organisation's token usage per model from the
// completions and embeddings usage endpoints, merged and priced. An endpoint that answers
// with an error becomes a warning; only both failing fails the fetch. Never throws.
class OpenAiUsageProvider {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{30'000};

    explicit OpenAiUsageProvider(QString baseUrl = RemoteHosts::openAiApi(),
                                 std::chrono::milliseconds timeout = kDefaultTimeout);

    QCoro::Task<ProviderValidation> validateKey(QString apiKey) const;
    QCoro::Task<UsageFetchResult> fetchUsage(QString apiKey, TimeMs start, TimeMs end) const;
    void cancel() const { session_.cancelAll(); }

private:
    ProviderHttpSession session_;
};

}  // namespace qm
