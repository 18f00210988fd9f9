#include "alerts/AlertStore.h"

#include <QDateTime>
#include <cmath>

#include "accounts/AccountStore.h"
#include "core/DisplayFormat.h"
#include "history/UsageHistoryStore.h"
#include "ledger/UsageAggregator.h"
#include "providers/ProviderUsageText.h"

namespace qm {

namespace {

QString percentText(double percent) {
    return DisplayFormat::flooredPercent(percent) + QStringLiteral("%");
}

// "40 min", "3 h 10 min", "2 days".
QString spanText(TimeMs ms) {
    const long long minutes = ms / 60'000;
    if (minutes < 60) return QString::number(minutes) + QStringLiteral(" min");
    if (minutes < 48 * 60) {
        const QString hours = QString::number(minutes / 60) + QStringLiteral(" h");
        return minutes % 60 ? hours + QLatin1Char(' ') + QString::number(minutes % 60) +
                                  QStringLiteral(" min")
                            : hours;
    }
    return QString::number(minutes / (24 * 60)) + QStringLiteral(" days");
}

// "14:05" today, "Tue 14:05" within the week, "Dec 12 14:05" beyond.
QString resetText(TimeMs resetsAt, TimeMs now, const QTimeZone& zone) {
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(resetsAt, zone);
    const QDate today = QDateTime::fromMSecsSinceEpoch(now, zone).date();
    const QString time = at.toString(QStringLiteral("HH:mm"));
    if (at.date() == today) return time;
    if (at.date() < today.addDays(7)) return at.toString(QStringLiteral("ddd ")) + time;
    return at.toString(QStringLiteral("MMM d ")) + time;
}

}  // namespace

AlertStore::AlertStore(QString memoryPath, Show show, Clock now, const QTimeZone& zone,
                       QObject* parent)
    : QObject(parent),
      memory_(std::move(memoryPath)),
      show_(std::move(show)),
      now_(orSystemClock(std::move(now))),
      zone_(zone) {}

void AlertStore::setEnabledSource(std::function<bool()> enabled) {
    enabled_ = std::move(enabled);
}

void AlertStore::watchCodex(UsageAggregator* aggregator) {
    connect(aggregator, &UsageAggregator::changed, this, [this, aggregator] {
        const std::optional<ProviderUsage> codex = aggregator->usage(ProviderKind::codex);
        if (codex && codex->planLimits)
            observeLimits(codexLimitReadings(*codex->planLimits, codex->planReadings, now()));
    });
}

void AlertStore::watchSpend(AccountStore* accounts, UsageHistoryStore* history) {
    accounts_ = accounts;
    history_ = history;
    connect(accounts, &AccountStore::changed, this, &AlertStore::checkSpend);
    connect(history, &UsageHistoryStore::changed, this, &AlertStore::checkSpend);
    connect(accounts, &QObject::destroyed, this, [this] { accounts_ = nullptr; });
    connect(history, &QObject::destroyed, this, [this] { history_ = nullptr; });
    // Records added while the program was not running count too.
    checkSpend();
}

void AlertStore::checkSpend() {
    if (!accounts_ || !history_) return;
    observeBudgets(accountBudgetUse(accounts_->data(), history_->geminiUsageRecords(),
                                    history_->apiUsageRecords(), now(), zone_));
}

void AlertStore::observeLimits(const std::vector<LimitReading>& readings) {
    const TimeMs at = now();
    bool changedMemory = false;
    for (const LimitReading& reading : readings) {
        if (!std::isfinite(reading.percent)) continue;
        // A window that has already ended says nothing about the current one.
        if (hasReset(reading, at)) continue;
        std::vector<Crossing> crossed;
        for (const int threshold : kLimitThresholds) {
            const QString key = reading.key + QLatin1Char('.') + QString::number(threshold);
            if (reading.percent >= threshold) {
                crossed.push_back({key, threshold, reading.resetsAt.value_or(0)});
            } else if (memory_.until(key) == TimeMs{0}) {
                // No reset time to wait for: falling back below the threshold re-arms it.
                memory_.forget(key);
                changedMemory = true;
            }
        }
        changedMemory |= decide(crossed, [&](int threshold) {
            QString message = percentText(reading.percent) + QStringLiteral(" used");
            if (reading.resetsAt)
                message += QStringLiteral("; resets ") + resetText(*reading.resetsAt, at, zone_);
            show_(reading.label + QStringLiteral(" at ") + QString::number(threshold) +
                      QStringLiteral("%"),
                  message + QStringLiteral("."));
        });
        changedMemory |= decideForecast(reading, at);
    }
    // A save that failed before is tried again with the next reading.
    if (changedMemory || lastError_) persist();
}

void AlertStore::observeBudgets(const std::vector<AccountBudgetUse>& rows) {
    bool changedMemory = false;
    for (const AccountBudgetUse& row : rows) {
        struct Budget {
            const char* name;
            double budget;
            double spent;
            LocalPeriod period;
            QString spendText;
        };
        const Budget budgets[] = {
            {"daily", row.dailyBudgetUsd, row.spentTodayUsd, row.today,
             QStringLiteral("Today's spend")},
            {"monthly", row.monthlyBudgetUsd, row.spentThisMonthUsd, row.thisMonth,
             QStringLiteral("This month's spend")},
        };
        for (const Budget& budget : budgets) {
            const std::optional<double> share = budgetShare(budget.spent, budget.budget);
            if (!share) continue;
            std::vector<int> thresholds{100};
            if (row.alertThresholdPct > 0 && row.alertThresholdPct < 100)
                thresholds.push_back(row.alertThresholdPct);
            std::vector<Crossing> crossed;
            for (const int threshold : thresholds) {
                if (*share < threshold) continue;
                crossed.push_back({QStringLiteral("budget.%1.%2.%3")
                                       .arg(row.id, QLatin1String(budget.name))
                                       .arg(threshold),
                                   threshold, budget.period.endMs});
            }
            changedMemory |= decide(crossed, [&](int threshold) {
                const QString of = DisplayFormat::money(budget.budget) + QLatin1Char(' ') +
                                   QLatin1String(budget.name) + QStringLiteral(" budget");
                const QString message =
                    threshold >= 100
                        ? budget.spendText + QLatin1Char(' ') + DisplayFormat::money(budget.spent) +
                              QStringLiteral(" has reached the ") + of + QLatin1Char('.')
                        : budget.spendText + QLatin1Char(' ') + DisplayFormat::money(budget.spent) +
                              QStringLiteral(" is ") + percentText(*share) +
                              QStringLiteral(" of the ") + of + QLatin1Char('.');
                show_(ProviderUsageText::displayName(row.provider) + QStringLiteral(" budget: ") +
                          row.alias,
                      message);
            });
        }
    }
    if (changedMemory || lastError_) persist();
}

bool AlertStore::decide(const std::vector<Crossing>& crossedHighestFirst,
                        const std::function<void(int threshold)>& show) {
    const TimeMs at = now();
    bool covered = false;
    bool changedMemory = false;
    for (const Crossing& crossing : crossedHighestFirst) {
        if (memory_.stands(crossing.key, at)) {
            covered = true;
            continue;
        }
        if (!covered && enabled()) show(crossing.threshold);
        covered = true;
        memory_.remember(crossing.key, crossing.until);
        changedMemory = true;
    }
    return changedMemory;
}

bool AlertStore::decideForecast(const LimitReading& reading, TimeMs at) {
    if (!reading.resetsAt || !reading.projectedFullAt || reading.percent < kForecastFromPercent)
        return false;
    const TimeMs early = *reading.resetsAt - *reading.projectedFullAt;
    if (early < kForecastMarginMs) return false;
    const Crossing crossing{reading.key + QStringLiteral(".forecast"), 0, *reading.resetsAt};
    return decide({crossing}, [&](int) {
        show_(reading.label + QStringLiteral(" filling up"),
              reading.label + QStringLiteral(": full at ") +
                  resetText(*reading.projectedFullAt, at, zone_) +
                  QStringLiteral(" at this pace, ") + spanText(early) +
                  QStringLiteral(" before it resets."));
    });
}

void AlertStore::persist() {
    lastError_ = memory_.save(now());
}

TimeMs AlertStore::now() const {
    return now_();
}

bool AlertStore::enabled() const {
    return !enabled_ || enabled_();
}

}  // namespace qm
