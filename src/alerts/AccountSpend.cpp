#include "alerts/AccountSpend.h"

#include <QDateTime>
#include <QHash>
#include <algorithm>
#include <cmath>
#include <map>

namespace qm {

namespace {

TimeMs startOf(QDate date, const QTimeZone& zone) {
    return QDateTime(date, QTime(0, 0), zone).toMSecsSinceEpoch();
}

// The reports of one API account as seen from one period: the newest before it, and the
// first and the newest within it, each with its fetch time and total.
struct Report {
    TimeMs at = 0;
    double totalUsd = 0;
    bool present = false;
};
struct PeriodReports {
    Report newestBefore;
    Report firstIn;
    Report newestIn;

    void add(const ApiUsageRecord& record, const LocalPeriod& period) {
        if (record.timestampMs >= period.endMs) return;
        if (record.timestampMs < period.startMs) {
            addTo(newestBefore, record);
            return;
        }
        if (!firstIn.present || firstIn.at == record.timestampMs) addTo(firstIn, record);
        addTo(newestIn, record);
    }
    double spend() const {
        if (!newestIn.present) return 0;
        const Report& baseline = newestBefore.present ? newestBefore : firstIn;
        // A rolling range can drop more old usage than was added; that is no negative spend.
        return std::max(0.0, newestIn.totalUsd - baseline.totalUsd);
    }

private:
    // Records ascend by time, so a later time starts a new newest report.
    static void addTo(Report& report, const ApiUsageRecord& record) {
        if (!report.present || record.timestampMs > report.at)
            report = {record.timestampMs, 0, true};
        if (record.timestampMs == report.at) report.totalUsd += record.costUsd;
    }
};

struct Spend {
    double today = 0;
    double month = 0;
};

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

std::vector<AccountBudgetUse> accountBudgetUse(const ApiAccountStorageData& accounts,
                                               const std::vector<GeminiUsageRecord>& relay,
                                               const std::vector<ApiUsageRecord>& api, TimeMs now,
                                               const QTimeZone& zone) {
    const LocalPeriod today = LocalPeriod::dayOf(now, zone);
    const LocalPeriod month = LocalPeriod::monthOf(now, zone);
    // One pass over this month's relay records and one over the API records, however many
    // accounts there are: the check runs after every relay request.
    QHash<QString, Spend> relaySpend;
    const auto monthStart = std::lower_bound(
        relay.begin(), relay.end(), month.startMs,
        [](const GeminiUsageRecord& record, TimeMs at) { return record.timestampMs < at; });
    for (auto it = monthStart; it != relay.end() && it->timestampMs < month.endMs; ++it) {
        Spend& spend = relaySpend[it->accountId];
        spend.month += it->costUsd;
        if (it->timestampMs >= today.startMs && it->timestampMs < today.endMs)
            spend.today += it->costUsd;
    }
    // Per provider, by account: the reports seen from today and from this month.
    std::map<QString, QHash<QString, std::pair<PeriodReports, PeriodReports>>> apiReports;
    for (const ApiUsageRecord& record : api) {
        if (record.timestampMs >= month.endMs) break;
        auto& [day, wholeMonth] = apiReports[record.provider][record.accountId];
        day.add(record, today);
        wholeMonth.add(record, month);
    }
    std::vector<AccountBudgetUse> rows;
    for (const GeminiAccount& account : accounts.geminiAccounts) {
        rows.push_back({ApiAccountProvider::gemini, account.id, account.alias,
                        account.dailyBudgetUsd, account.monthlyBudgetUsd, account.alertThresholdPct,
                        relaySpend.value(account.id).today, relaySpend.value(account.id).month,
                        today, month});
    }
    const auto addAdmin = [&](ApiAccountProvider provider,
                              const std::vector<AdminApiAccount>& list) {
        const QString name = historyProviderName(provider);
        for (const AdminApiAccount& account : list) {
            const auto reports = apiReports[name].value(account.id);
            rows.push_back({provider, account.id, account.alias, account.dailyBudgetUsd,
                            account.monthlyBudgetUsd, account.alertThresholdPct,
                            reports.first.spend(), reports.second.spend(), today, month});
        }
    };
    addAdmin(ApiAccountProvider::anthropic, accounts.anthropicApiAccounts);
    addAdmin(ApiAccountProvider::openAi, accounts.openAiApiAccounts);
    return rows;
}

}  // namespace qm
