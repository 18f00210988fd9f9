#pragma once

#include <QObject>
#include <QString>
#include <QTimeZone>
#include <array>
#include <functional>
#include <optional>
#include <vector>

#include "alerts/AccountSpend.h"
#include "alerts/AlertMemory.h"
#include "alerts/LimitReadings.h"
#include "core/Clock.h"

namespace qm {

class AccountStore;
class UsageAggregator;
class UsageHistoryStore;

// Decides when to warn that a limit or a budget is close: the Claude and Codex five-hour and
// weekly limits (and Claude's per-model weekly limit) at 80% and again at 95%, once per limit
// window; once per window too, a limit at least half used whose pace fills it at least 15
// minutes before it resets; an account's daily or monthly
// spend at its alert threshold and again at 100%, once per day or month. A reading that
// crosses two thresholds at once shows only the higher one. What was shown is remembered on
// disk, so a restart does not repeat it. While notifications are off, crossings are still
// remembered (without showing), so switching them on does not bring a burst of old news.
// Main thread only.
class AlertStore : public QObject {
    Q_OBJECT
public:
    using Show = std::function<void(const QString& title, const QString& message)>;

    static constexpr std::array<int, 2> kLimitThresholds{95, 80};  // highest first
    // A forecast is worth an alert only for a limit this far used, filling this long early.
    static constexpr double kForecastFromPercent = 50;
    static constexpr TimeMs kForecastMarginMs = 15 * 60 * 1000;

    AlertStore(QString memoryPath, Show show, Clock now = {},
               const QTimeZone& zone = QTimeZone::systemTimeZone(), QObject* parent = nullptr);

    // Asked before each alert; without one, notifications are on.
    void setEnabledSource(std::function<bool()> enabled);

    // Checks the Codex plan limits after every local scan.
    void watchCodex(UsageAggregator* aggregator);
    // Checks every account's spend now and whenever the history or the accounts change.
    void watchSpend(AccountStore* accounts, UsageHistoryStore* history);
    // Checks limits as read (the Claude limits of either source, the Codex plan's); the pace
    // of Claude's comes with the readings.
    void observeLimits(const std::vector<LimitReading>& readings);
    void observeBudgets(const std::vector<AccountBudgetUse>& rows);

    // Why the memory file could not be written, if it could not; the next reading tries again.
    std::optional<QString> lastError() const { return lastError_; }

private:
    struct Crossing {
        QString key;
        int threshold = 0;
        TimeMs until = 0;
    };
    // Shows the highest crossing that is not yet remembered, unless a higher one stands, and
    // remembers them all. Returns whether the memory changed.
    bool decide(const std::vector<Crossing>& crossedHighestFirst,
                const std::function<void(int threshold)>& show);
    bool decideForecast(const LimitReading& reading, TimeMs at);
    void checkSpend();
    void persist();
    TimeMs now() const;
    bool enabled() const;

    AlertMemory memory_;
    Show show_;
    Clock now_;
    QTimeZone zone_;
    std::function<bool()> enabled_;
    AccountStore* accounts_ = nullptr;
    UsageHistoryStore* history_ = nullptr;
    std::optional<QString> lastError_;
};

}  // namespace qm
