#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCoroTask>
#include <QDateTime>
#include <QDir>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLabel>
#include <QRectF>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>
#include <chrono>
#include <memory>

#include "claude/ClaudeUsageStore.h"
#include "core/Preferences.h"
#include "gui/AppStores.h"
#include "history/UsageHistoryStore.h"
#include "ledger/UsageAggregator.h"
#include "support/BrowserProcess.h"
#include "support/FakeClaudeSite.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/Screenshots.h"
#include "support/TempDir.h"

namespace qm::test {

template <typename Predicate>
bool waitUntil(Predicate done, int ms = 20000) {
    return QTest::qWaitFor(done, ms);
}

namespace detail {

// Where everything under `root` is: its frame, each widget's place (none when hidden) and the
// extent of what its graphics views draw (the charts lay out in their scenes).
inline QList<QRectF> placements(QWidget* root) {
    QList<QRectF> all{QRectF(root->frameGeometry()), QRectF(root->geometry())};
    const QList<QWidget*> widgets = root->findChildren<QWidget*>();
    for (QWidget* widget : widgets)
        all << QRectF(widget->isVisible() ? widget->geometry() : QRect());
    const QList<QGraphicsView*> views = root->findChildren<QGraphicsView*>();
    for (QGraphicsView* view : views) {
        if (view->scene()) all << view->scene()->itemsBoundingRect();
    }
    return all;
}

}  // namespace detail

// Runs the events already queued, pass after pass, until two passes in a row move nothing
// under `window`: layout requests, the resizes they cause, the window system's geometry
// events. It waits for no clock, so a geometry check or a picture after it sees the window
// standing still, as a user would. An animation never stands still: it gets 100 passes.
inline void layOut(QWidget* window) {
    QList<QRectF> before = detail::placements(window);
    int still = 0;
    for (int pass = 0; pass < 100 && still < 2; ++pass) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QList<QRectF> after = detail::placements(window);
        still = after == before ? still + 1 : 0;
        before = std::move(after);
    }
}

// Tells when the widget has painted since this was made and the event loop has turned twice
// after that paint: what the paint queued for its next turn (the work a window starts once it
// has been seen) has run by then, whichever of the paint's watchers saw it first. A check that
// such work did not start waits for this instead of for a while.
class AfterPaint : public QObject {
public:
    explicit AfterPaint(QWidget* widget) { widget->installEventFilter(this); }

    bool passed() const { return passed_; }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::Paint || painted_) return false;
        painted_ = true;
        const auto second = [this] { passed_ = true; };
        const auto first = [this, second] {
            QMetaObject::invokeMethod(this, second, Qt::QueuedConnection);
        };
        QMetaObject::invokeMethod(this, first, Qt::QueuedConnection);
        return false;
    }

private:
    bool painted_ = false;
    bool passed_ = false;
};

// The text of the label `name` under `root`, or a marker that says it is missing.
inline QString text(QWidget* root, const QString& name) {
    auto* label = root->findChild<QLabel*>(name);
    return label ? label->text() : QStringLiteral("<missing %1>").arg(name);
}

// Summaries as the usage index serves them, ready at once.
inline QCoro::Task<std::optional<std::vector<ProviderUsage>>> servedAtOnce(
    std::vector<ProviderUsage> summaries) {
    co_return summaries;
}

// A tool with logs here: `prompts` prompts and `tokens` tokens costing `cost` in the five hours,
// its latest an hour ago; with no prompt, logs none of which are recent.
inline ProviderUsage toolWithLogs(ProviderKind kind, std::int64_t prompts, std::int64_t tokens,
                                  double cost) {
    ProviderUsage usage = ProviderUsage::placeholder(kind);
    if (prompts == 0) {
        usage.statusText = QStringLiteral("Nothing in the last 5 hours");
        return usage;
    }
    usage.statusText = QStringLiteral("Recent");
    usage.statusLevel = UsageStatusLevel::warn;
    usage.dataSourceLabel = QStringLiteral("Local sessions");
    usage.sessionsTotal = usage.lastFiveHourSessions = 1;
    usage.lastFiveHourPrompts = prompts;
    usage.lastFiveHourTokens = tokens;
    usage.costTotal = usage.lastFiveHourCost = cost;
    usage.latestActivityAt = QDateTime::currentMSecsSinceEpoch() - 3'600'000;
    usage.latestProject = QStringLiteral("shop");
    usage.latestTask = QStringLiteral("Add the refund button");
    usage.latestModel = QStringLiteral("qwen3-coder-plus");
    return usage;
}

// Real stores over a home with the sample tool logs and a fake Claude site; the Claude
// session is made only when first needed, as in the application.
class DesktopFixture : public ::testing::Test {
protected:
    DesktopFixture() {
        writeSampleHome(home.path());
        qunsetenv("CLAUDE_CONFIG_DIR");  // the scans stay inside the test's home
        QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter")).clear();
        claude.setHistorySink([this](const ClaudeUsageSnapshot& snapshot) {
            history.appendClaudeSnapshot(snapshot);
        });
    }

    // The user signs in in the login window: its page sets the site's cookie in the browser's
    // profile. The next fetch waits for that page to finish loading.
    void signIn() {
        site.signInOnLoginPage();
        const int before = site.requestCount("/login");
        claude.showLoginWindow();
        ASSERT_TRUE(waitUntil([&] { return site.requestCount("/login") > before; }))
            << "the login page never loaded";
        claude.closeLoginWindow();
        ASSERT_TRUE(waitUntil([&] { return !claude.isLoginWindowShown(); }))
            << "the login window stayed open";
    }

    // Signs in and fetches limits with `usageBody` as the site's answer.
    void fetchLimits(const QByteArray& usageBody) {
        site.setUsageBody(usageBody);
        signIn();
        QCoro::waitFor(claude.refresh());
        ASSERT_TRUE(claude.latest()) << claude.statusText().toStdString();
    }

    // The sample home's summaries, then `found` in place of their tools' own, as the index
    // serves a tool's logs once it has found them.
    void refreshFinding(std::vector<ProviderUsage> found) {
        if (!aggregator.lastRefreshAt()) QCoro::waitFor(aggregator.refresh());
        aggregator.setIndexedSummaries([found](TimeMs) { return servedAtOnce(found); });
        QCoro::waitFor(aggregator.refresh());
    }

    gui::AppStores stores() {
        gui::AppStores stores;
        stores.aggregator = &aggregator;
        stores.claude = &claude;
        stores.history = &history;
        stores.preferences = &preferences;
        return stores;
    }

    TempDir home;
    TempDir data;
    FakeClaudeSite site;
    UsageAggregator aggregator{home.path()};
    Preferences preferences;
    UsageHistoryStore history{
        UsageHistoryFileStore(UsageHistoryFileStore::pathIn(data.filePath("data")))};
    ClaudeUsageStore claude{testBrowser(data.path(), site.origin())};
};

}  // namespace qm::test
