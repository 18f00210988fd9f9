#include <gtest/gtest.h>

#include <signal.h>

#include <QCoroTask>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include "claude/ClaudeBrowserProtocol.h"
#include "claude/ClaudeUsageStore.h"
#include "history/UsageHistoryStore.h"
#include "support/BrowserProcess.h"
#include "support/FakeClaudeSite.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;

namespace {

template <typename Predicate>
bool waitUntil(Predicate done, int ms = 20000) {
    return QTest::qWaitFor(done, ms);
}

// The store with the real browser process against the fake site.
class ClaudeUsageStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<ClaudeUsageStore> makeStore(
        const QString& timings = QStringLiteral("3000,50,5000"),
        std::chrono::milliseconds answerLimit = std::chrono::seconds(60)) {
        ClaudeBrowserOptions options = testBrowser(dir.path(), site.origin(), timings);
        options.answerLimit = answerLimit;
        auto store = std::make_unique<ClaudeUsageStore>(options);
        store->setHistorySink([this](const ClaudeUsageSnapshot& snapshot) {
            history.appendClaudeSnapshot(snapshot);
        });
        return store;
    }

    // The user signs in in the login window: its page sets the site's cookie.
    void signIn(ClaudeUsageStore& store) {
        site.signInOnLoginPage();
        const int before = site.requestCount("/login");
        store.showLoginWindow();
        ASSERT_TRUE(waitUntil([&] { return site.requestCount("/login") > before; }));
        store.closeLoginWindow();
        ASSERT_TRUE(waitUntil([&] { return !store.isLoginWindowShown(); }));
    }

    // Answers without looking at the cookie: a killed browser may not have written a fresh
    // sign-in to disk yet (Chromium saves cookies from time to time and at a clean exit).
    void answerUsage() {
        site.route("/api/organizations", [](const FakeClaudeRequest&) {
            return FakeClaudeReply::json(
                200, QByteArray(R"([{"uuid":")") + FakeClaudeSite::kOrganization + R"("}])");
        });
        site.route(site.usagePath(),
                   [this](const FakeClaudeRequest&) { return FakeClaudeReply::json(200, usage_); });
    }

    TempDir dir;
    FakeClaudeSite site;
    QByteArray usage_ = R"({"five_hour":{"utilization":42.5,"resets_at":"2030-01-01T05:00:00Z"}})";
    UsageHistoryStore history{
        UsageHistoryFileStore(UsageHistoryFileStore::pathIn(dir.filePath("history")))};
};

}  // namespace

TEST_F(ClaudeUsageStoreTest, SignInFillsTheLimitsAndRecordsOneSnapshotPerSuccess) {
    auto store = makeStore();
    EXPECT_EQ(store->statusText(), "Login required");
    EXPECT_FALSE(store->hasSession());  // no browser before the first need

    // Signed out: the check fails and nothing is recorded.
    EXPECT_FALSE(QCoro::waitFor(store->completeLogin()));
    EXPECT_EQ(store->statusText(), "Sign in to Claude to see your limits.");
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::needsLogin);
    EXPECT_TRUE(history.claudeSnapshots().empty());

    signIn(*store);
    QSignalSpy changes(store.get(), &ClaudeUsageStore::changed);
    // A second refresh while the first runs starts no fetch and changes nothing.
    auto first = store->refresh();
    EXPECT_TRUE(store->isRefreshing());
    EXPECT_EQ(store->statusText(), "Refreshing...");
    auto second = store->refresh();
    EXPECT_TRUE(second.isReady());
    QCoro::waitFor(first);
    EXPECT_EQ(site.requestCount(site.usagePath()), 1);
    EXPECT_EQ(changes.count(), 2);  // loading, then connected

    EXPECT_EQ(store->statusText(), "Connected");
    ASSERT_TRUE(store->latest());
    EXPECT_EQ(store->latest()->sessionPct, 42.5);
    ASSERT_EQ(history.claudeSnapshots().size(), 1u);
    EXPECT_EQ(history.claudeSnapshots()[0].subModelName, "Sonnet");

    // The application's exit closes the browser and every process below it.
    const QSet<qint64> processes = processTree(store->browserProcessId());
    ASSERT_GT(processes.size(), 1);  // the browser and Chromium's own helpers
    store.reset();
    EXPECT_TRUE(waitUntil([&] { return stillAlive(processes).isEmpty(); }, 15000))
        << stillAlive(processes).size() << " processes left";
}

TEST_F(ClaudeUsageStoreTest, FailuresKeepOrClearTheLastFiguresByKind) {
    auto store = makeStore(QStringLiteral("3000,50,2000"));
    signIn(*store);
    QCoro::waitFor(store->refresh());
    ASSERT_TRUE(store->latest()) << store->errorDetail().toStdString();

    // A transient failure leaves the figures on screen.
    site.route(site.usagePath(),
               [](const FakeClaudeRequest&) { return FakeClaudeReply::noAnswer(); });
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->statusText(), "Can't reach claude.ai. Check the connection, then Refresh.");
    EXPECT_EQ(store->errorDetail(), "Request timed out");
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::error);
    EXPECT_TRUE(store->latest());

    site.route(site.usagePath(),
               [](const FakeClaudeRequest&) { return FakeClaudeReply::json(200, "{oops"); });
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->statusText(), "claude.ai changed its answer; the limits can't be read.");
    EXPECT_TRUE(store->latest());

    // Signed out: the figures are no longer the user's to see.
    site.route(site.usagePath(),
               [](const FakeClaudeRequest&) { return FakeClaudeReply::json(401, "{}"); });
    EXPECT_FALSE(QCoro::waitFor(store->completeLogin()));
    EXPECT_EQ(store->statusText(), "Sign in to Claude to see your limits.");
    EXPECT_FALSE(store->latest());
    EXPECT_EQ(history.claudeSnapshots().size(), 1u);
}

TEST_F(ClaudeUsageStoreTest, AnIdleBrowserExitsWithAllItsProcessesAndComesBackOnTheNextNeed) {
    auto store = makeStore();
    store->setIdleShutdown(std::chrono::milliseconds(1500));
    signIn(*store);
    QCoro::waitFor(store->refresh());
    ASSERT_TRUE(store->latest()) << store->errorDetail().toStdString();
    const qint64 first = store->browserProcessId();
    const QSet<qint64> processes = processTree(first);
    EXPECT_GT(processes.size(), 1);

    // Nothing needs it: the browser goes, and with it every process it started.
    ASSERT_TRUE(waitUntil([&] { return !store->hasSession(); }));
    EXPECT_TRUE(waitUntil([&] { return stillAlive(processes).isEmpty(); }, 15000))
        << stillAlive(processes).size() << " processes left";
    EXPECT_TRUE(store->latest());  // the figures stay on screen

    // The next fetch starts a new one, signed in from the kept cookies.
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::connected)
        << store->errorDetail().toStdString();
    EXPECT_NE(store->browserProcessId(), first);

    // The login window keeps it up past the idle period, until it is closed. The witness is a
    // second browser with the same idle period started after the window opened: its idle exit
    // comes after the first one's would have, so by then the first must have stayed.
    store->showLoginWindow();
    const qint64 shown = store->browserProcessId();
    TempDir witnessDir;
    ClaudeUsageStore witness(testBrowser(witnessDir.path(), site.origin()));
    witness.setIdleShutdown(std::chrono::milliseconds(1500));
    QCoro::waitFor(witness.refresh());
    ASSERT_TRUE(waitUntil([&] { return !witness.hasSession(); }));
    EXPECT_TRUE(store->hasSession());
    EXPECT_EQ(store->browserProcessId(), shown);
    store->closeLoginWindow();
    EXPECT_TRUE(waitUntil([&] { return !store->hasSession(); }));
}

TEST_F(ClaudeUsageStoreTest, ACrashedOrHungBrowserFailsTheFetchAndTheNextOneStartsAfresh) {
    // The answer limit leaves room for a new browser to start on a busy machine.
    auto store = makeStore(QStringLiteral("3000,50,30000"), std::chrono::seconds(12));
    signIn(*store);
    answerUsage();
    QCoro::waitFor(store->refresh());
    ASSERT_TRUE(store->latest()) << store->errorDetail().toStdString();

    // Killed in the middle of a fetch (the site holds the answer back).
    site.route(site.usagePath(),
               [](const FakeClaudeRequest&) { return FakeClaudeReply::noAnswer(); });
    const int asked = site.requestCount(site.usagePath());
    auto fetch = store->refresh();
    ASSERT_TRUE(waitUntil([&] { return site.requestCount(site.usagePath()) > asked; }));
    const qint64 crashed = store->browserProcessId();
    const QSet<qint64> processes = processTree(crashed);
    ::kill(static_cast<pid_t>(crashed), SIGKILL);
    QCoro::waitFor(fetch);
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::error);
    EXPECT_EQ(store->statusText(), "The Claude browser stopped. Refresh to try again.");
    EXPECT_EQ(store->errorDetail(), "the browser process ended unexpectedly");
    EXPECT_TRUE(store->latest());
    EXPECT_FALSE(store->hasSession());
    // Reaped, not a zombie; Chromium's helpers follow it.
    EXPECT_TRUE(waitUntil([&] { return stillAlive(processes).isEmpty(); }, 15000))
        << stillAlive(processes).size() << " processes left";

    answerUsage();
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::connected)
        << store->errorDetail().toStdString();

    // Stopped, it answers nothing: after the answer limit it is ended and the fetch fails.
    const qint64 hung = store->browserProcessId();
    ::kill(static_cast<pid_t>(hung), SIGSTOP);
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->errorDetail(), "the browser process stopped answering and was ended");
    EXPECT_TRUE(waitUntil([&] { return stillAlive({hung}).isEmpty(); }));
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->statusKind(), ClaudeUsageStatusKind::connected);
}

TEST_F(ClaudeUsageStoreTest, ABrowserThatCannotStartFailsWithAPlainSentence) {
    ClaudeBrowserOptions options = testBrowser(dir.path(), site.origin());
    options.program = dir.filePath("missing/quotameter-browser");
    ClaudeUsageStore store(options);
    QCoro::waitFor(store.refresh());
    EXPECT_EQ(store.statusKind(), ClaudeUsageStatusKind::error);
    EXPECT_EQ(store.statusText(), "The Claude browser stopped. Refresh to try again.");
    EXPECT_EQ(store.errorDetail(), "the browser process could not start");
    EXPECT_FALSE(store.isRefreshing());

    // Opening the login window says so too, instead of showing nothing without a word.
    QSignalSpy changes(&store, &ClaudeUsageStore::changed);
    store.showLoginWindow();
    EXPECT_FALSE(store.isLoginWindowShown());
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(store.statusKind(), ClaudeUsageStatusKind::error);
}

TEST(ClaudeBrowserProtocol, AnswersTravelWholeAndGarbledOnesAreBrowserFailures) {
    using Kind = ClaudeWebSessionError::Kind;
    namespace P = ClaudeBrowserProtocol;
    const auto travel = [](const ClaudeUsageText& result) {
        const auto line = P::line(P::fetchAnswer(7, result));
        EXPECT_TRUE(line.endsWith('\n'));
        EXPECT_EQ(line.count('\n'), 1);  // one message, one line, whatever the text holds
        return P::readFetchAnswer(*P::read(line.trimmed()));
    };
    const auto usage = travel(QStringLiteral("{\"five_hour\":{\"utilization\":7}}\n"));
    ASSERT_TRUE(std::holds_alternative<UsageApiResponse>(usage));
    for (const Kind kind : {Kind::requestFailed, Kind::notLoggedIn, Kind::timeout, Kind::noData,
                            Kind::parseFailed, Kind::browserFailed}) {
        const ClaudeWebSessionError error{kind, QStringLiteral("code\nwith a break")};
        EXPECT_EQ(travel(error), ClaudeUsageResult(error));
    }
    const ClaudeUsageResult garbled =
        ClaudeWebSessionError{Kind::browserFailed, "the browser process answered garbled"};
    EXPECT_EQ(P::readFetchAnswer(QJsonObject{{"id", 1}}), garbled);
    EXPECT_EQ(P::readFetchAnswer(QJsonObject{{"ok", true}, {"usage", 3}}), garbled);
    EXPECT_EQ(P::readFetchAnswer(QJsonObject{{"ok", false}, {"kind", "exploded"}}), garbled);
    EXPECT_FALSE(P::read("[1]"));
    EXPECT_FALSE(P::read("{\"id\":"));
}
