#pragma once

#include <QString>
#include <QTimeZone>
#include <optional>
#include <vector>

#include "accounts/ApiAccountModels.h"
#include "core/HistoryRecords.h"
#include "core/UsageModels.h"

namespace qm {

// A calendar day or month in the user's time zone: [startMs, endMs).
struct LocalPeriod {
    TimeMs startMs = 0;
    TimeMs endMs = 0;
    bool operator==(const LocalPeriod&) const = default;

    static LocalPeriod dayOf(TimeMs at, const QTimeZone& zone = QTimeZone::systemTimeZone());
    static LocalPeriod monthOf(TimeMs at, const QTimeZone& zone = QTimeZone::systemTimeZone());
};

// One budgeted account (Gemini, Anthropic or OpenAI) with what it has spent so far today and
// this month. A budget of 0 means none is set.
struct AccountBudgetUse {
    ApiAccountProvider provider = ApiAccountProvider::gemini;
    QString id;
    QString alias;
    double dailyBudgetUsd = 0;
    double monthlyBudgetUsd = 0;
    int alertThresholdPct = 80;
    double spentTodayUsd = 0;
    double spentThisMonthUsd = 0;
    LocalPeriod today;
    LocalPeriod thisMonth;
    bool operator==(const AccountBudgetUse&) const = default;
};

// Share of `budget` that `spent` is, in percent; none without a budget.
std::optional<double> budgetShare(double spent, double budget);

// Every Gemini, Anthropic and OpenAI account, in that order and in array order. Both record
// lists ascend by timestampMs, as the history keeps them.
//
// Relay records count each request once. An administrative report instead covers a whole
// look-back range and is recorded again at every fetch, so adding reports up would count the
// same usage many times, and a single report cannot say which of its days is today: a
// period's API spend is how much the newest report in it grew over the newest report before
// it (or, without one, over the first report within the period). Usage the provider reports
// late is thus counted when it appears, and never as a false alarm on the first fetch.
std::vector<AccountBudgetUse> accountBudgetUse(const ApiAccountStorageData& accounts,
                                               const std::vector<GeminiUsageRecord>& relay,
                                               const std::vector<ApiUsageRecord>& api, TimeMs now,
                                               const QTimeZone& zone = QTimeZone::systemTimeZone());

}  // namespace qm
