#include "gui/AppStores.h"

#include <QPointer>

#include "claude/ClaudeUsageStore.h"
#include "readers/UsageAggregator.h"

namespace qm::gui {

QCoro::Task<> startupRefresh(UsageAggregator* aggregator, ClaudeUsageStore* claude) {
    QPointer<ClaudeUsageStore> claudeGuard(claude);
    if (!aggregator->lastRefreshAt()) co_await aggregator->refresh();
    if (!claudeGuard) co_return;
    if (!claude->latest() && !claude->isRefreshing()) co_await claude->refresh();
}

}  // namespace qm::gui
