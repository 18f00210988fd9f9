#pragma once

#include <vector>

#include "accounts/ApiAccountModels.h"
#include "alerts/LimitReadings.h"
#include "core/HistoryRecords.h"
#include "ledger/LedgerRecords.h"
#include "metrics/MetricsExposition.h"

namespace qm::metrics {

// Everything one scrape reports, read by the caller.
struct UsageMetricsSources {
    std::vector<ledger::UsageSlice> slices;  // the index, all time
    std::vector<LimitReading> limits;
    std::vector<GeminiUsageRecord> geminiRecords;
    std::vector<ApiUsageRecord> apiRecords;
    ApiAccountStorageData accounts;  // only to turn account ids into labels
    // Accounts are labelled by their alias when set, else by their place in their provider's
    // list ("1", "2", ...), so a shared dashboard learns nothing it was not told to.
    bool accountLabels = false;
    TimeMs now = 0;
};

// The exporter's families: tokens and costs from the index, the limits still in their
// window, relay calls and API costs from the history. Every family is declared even when it
// has no series yet.
MetricsExposition usageMetrics(const UsageMetricsSources& sources);

// The label of the account `accountId` of `provider` ("anthropic", "openai", "gemini"):
// its alias or its 1-based place as above; "removed" for an account no longer configured.
QString accountLabel(const ApiAccountStorageData& accounts, const QString& provider,
                     const QString& accountId, bool useAlias);

}  // namespace qm::metrics
