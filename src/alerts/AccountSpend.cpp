#include "alerts/AccountSpend.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>
#include <limits>

namespace qm {

namespace {

TimeMs startOf(QDate date, const QTimeZone& zone) {
    return QDateTime(date, QTime(0, 0), zone).toMSecsSinceEpoch();
}

// Total of the report recorded at the newest (or oldest) fetch time in [from, to), or none.
std::optional<double> reportAt(const std::vector<ApiUsageRecord>& records, const QString& provider,
                               const QString& accountId, TimeMs from, TimeMs to, bool newest) {
    std::optional<TimeMs> chosen;
    double total = 0;
    for (const ApiUsageRecord& record : records) {
        if (record.timestampMs < from || record.timestampMs >= to) continue;
        if (record.provider != provider || record.accountId != accountId) continue;
        if (!chosen || (newest ? record.timestampMs > *chosen : record.timestampMs < *chosen)) {
            chosen = record.timestampMs;
            total = 0;
        }
        if (record.timestampMs == *chosen) total += record.costUsd;
    }
    if (!chosen) return std::nullopt;
    return total;
}

QString historyProviderName(ApiAccountProvider provider) {
    return provider == ApiAccountProvider::anthropic ? QStringLiteral("anthropic")
                                                     : QStringLiteral("openai");
}

}  // namespace

LocalPeriod LocalPeriod::dayOf(TimeMs at, const QTimeZone& zone) {
    const QDate day = QDateTime::fromMSecsSinceEpoch(at, zone).date();
    return {startOf(day, zone), startOf(day.addDays(1), zone)};
}

LocalPeriod LocalPeriod::monthOf(TimeMs at, const QTimeZone& zone) {
    const QDate day = QDateTime::fromMSecsSinceEpoch(at, zone).date();
    const QDate first(day.year(), day.month(), 1);
    return {startOf(first, zone), startOf(first.addMonths(1), zone)};
}

std::optional<double> budgetShare(double spent, double budget) {
    if (!(budget > 0) || !std::isfinite(budget)) return std::nullopt;
    return spent / budget * 100.0;
}

QString providerLabel(ApiAccountProvider provider) {
    switch (provider) {
        case ApiAccountProvider::gemini:
            return QStringLiteral("Gemini");
        case ApiAccountProvider::anthropic:
            return QStringLiteral("Anthropic");
        case ApiAccountProvider::openAI:
            return QStringLiteral("OpenAI");
        case ApiAccountProvider::grok:
            return QStringLiteral("xAI");
    }
    return {};
}

double apiSpendIn(const std::vector<ApiUsageRecord>& records, const QString& provider,
                  const QString& accountId, const LocalPeriod& period) {
    const std::optional<double> newest =
        reportAt(records, provider, accountId, period.startMs, period.endMs, true);
    if (!newest) return 0;
    std::optional<double> baseline = reportAt(
        records, provider, accountId, std::numeric_limits<TimeMs>::min(), period.startMs, true);
    if (!baseline)
        baseline = reportAt(records, provider, accountId, period.startMs, period.endMs, false);
    // A rolling range can drop more old usage than was added; that is no negative spend.
    return std::max(0.0, *newest - *baseline);
}

double relaySpendIn(const std::vector<GeminiUsageRecord>& records, const QString& accountId,
                    const LocalPeriod& period) {
    double total = 0;
    for (const GeminiUsageRecord& record : records) {
        if (record.accountId == accountId && record.timestampMs >= period.startMs &&
            record.timestampMs < period.endMs)
            total += record.costUsd;
    }
    return total;
}

std::vector<AccountBudgetUse> accountBudgetUse(const ApiAccountStorageData& accounts,
                                               const std::vector<GeminiUsageRecord>& relay,
                                               const std::vector<ApiUsageRecord>& api, TimeMs now,
                                               const QTimeZone& zone) {
    const LocalPeriod today = LocalPeriod::dayOf(now, zone);
    const LocalPeriod month = LocalPeriod::monthOf(now, zone);
    std::vector<AccountBudgetUse> rows;
    for (const GeminiAccount& account : accounts.geminiAccounts) {
        rows.push_back({ApiAccountProvider::gemini, account.id, account.alias,
                        account.dailyBudgetUsd, account.monthlyBudgetUsd, account.alertThresholdPct,
                        relaySpendIn(relay, account.id, today),
                        relaySpendIn(relay, account.id, month), today, month});
    }
    const auto addAdmin = [&](ApiAccountProvider provider,
                              const std::vector<AdminApiAccount>& list) {
        const QString name = historyProviderName(provider);
        for (const AdminApiAccount& account : list) {
            rows.push_back({provider, account.id, account.alias, account.dailyBudgetUsd,
                            account.monthlyBudgetUsd, account.alertThresholdPct,
                            apiSpendIn(api, name, account.id, today),
                            apiSpendIn(api, name, account.id, month), today, month});
        }
    };
    addAdmin(ApiAccountProvider::anthropic, accounts.anthropicApiAccounts);
    addAdmin(ApiAccountProvider::openAI, accounts.openAiApiAccounts);
    return rows;
}

}  // namespace qm
