#pragma once

#include <QCoroTask>

class QWidget;

namespace qm {
class AccountStore;
class ClaudeLimitReadingStore;
class ClaudeUsageStore;
class GeminiRelayStore;
class Preferences;
class PriceUpdateStore;
class UsageAggregator;
class UsageHistoryStore;
}  // namespace qm

namespace qm::ledger {
class LocalUsageStore;
}

namespace qm::hosts {
class RemoteHostStore;
}

namespace qm::gui {

// The application-wide stores, created once by the application and outliving every window.
struct AppStores {
    UsageAggregator* aggregator = nullptr;
    ClaudeUsageStore* claude = nullptr;
    AccountStore* accounts = nullptr;
    UsageHistoryStore* history = nullptr;
    GeminiRelayStore* relay = nullptr;
    ledger::LocalUsageStore* localUsage = nullptr;  // the usage index over all the logs
    PriceUpdateStore* prices = nullptr;
    Preferences* preferences = nullptr;
    hosts::RemoteHostStore* remoteHosts = nullptr;      // the user's other machines
    ClaudeLimitReadingStore* claudeReadings = nullptr;  // the limits Claude Code hands over
};

// What the panel and the dashboard do each time they appear: the first local scan if none has
// completed, then the first Claude fetch if there are no limits yet, none is running and
// another source does not hold them already (ClaudeUsageStore::automaticFetchNeeded).
QCoro::Task<> startupRefresh(UsageAggregator* aggregator, ClaudeUsageStore* claude);

// Runs startupRefresh once `window` has painted after being shown: the first Claude fetch
// starts the browser, which must not hold up the window's first appearance.
void startupRefreshAfterPaint(QWidget* window, UsageAggregator* aggregator,
                              ClaudeUsageStore* claude);

}  // namespace qm::gui
