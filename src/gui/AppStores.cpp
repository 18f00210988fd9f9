#include "gui/AppStores.h"

#include <QCoroCore>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "claude/ClaudeUsageStore.h"
#include "ledger/UsageAggregator.h"

namespace qm::gui {

QCoro::Task<> startupRefresh(UsageAggregator* aggregator, ClaudeUsageStore* claude) {
    QPointer<ClaudeUsageStore> claudeGuard(claude);
    if (!aggregator->lastRefreshAt()) co_await aggregator->refresh();
    if (!claudeGuard) co_return;
    if (!claude->latest() && !claude->isRefreshing() && claude->automaticFetchNeeded())
        co_await claude->refresh();
}

namespace {

// Waits for one paint of the window it is installed on, then starts the refresh and goes.
class AfterFirstPaint : public QObject {
public:
    AfterFirstPaint(QWidget* window, UsageAggregator* aggregator, ClaudeUsageStore* claude)
        : QObject(window), window_(window), aggregator_(aggregator), claude_(claude) {
        window->installEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::Paint || done_) return false;
        done_ = true;
        // After the paint has reached the screen, on the next turn of the event loop.
        QTimer::singleShot(0, window_, [window = window_, a = aggregator_, c = claude_] {
            QCoro::connect(startupRefresh(a, c), window, [] {});
        });
        deleteLater();
        return false;
    }

private:
    QWidget* window_;
    UsageAggregator* aggregator_;
    ClaudeUsageStore* claude_;
    bool done_ = false;
};

}  // namespace

void startupRefreshAfterPaint(QWidget* window, UsageAggregator* aggregator,
                              ClaudeUsageStore* claude) {
    new AfterFirstPaint(window, aggregator, claude);
}

}  // namespace qm::gui
