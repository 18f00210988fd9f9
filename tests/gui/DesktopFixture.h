#pragma once

#include <gtest/gtest.h>

#include <QCoroTask>
#include <QDir>
#include <QLabel>
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
#include "readers/UsageAggregator.h"
#include "support/BrowserProcess.h"
#include "support/FakeClaudeSite.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/Screenshots.h"
#include "support/TempDir.h"

namespace qm::test {

// Lets queued events, layouts and coroutine steps run.
inline void settle(int ms = 50) {
    QTest::qWait(ms);
}

template <typename Predicate>
bool waitUntil(Predicate done, int ms = 20000) {
    return QTest::qWaitFor(done, ms);
}

// The text of the label `name` under `root`, or a marker that says it is missing.
inline QString text(QWidget* root, const QString& name) {
    auto* label = root->findChild<QLabel*>(name);
    return label ? label->text() : QStringLiteral("<missing %1>").arg(name);
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
        ASSERT_TRUE(waitUntil([&] { return site.requestCount("/login") > before; }));
        claude.closeLoginWindow();
        ASSERT_TRUE(waitUntil([&] { return !claude.isLoginWindowShown(); }));
    }

    // Signs in and fetches limits with `usageBody` as the site's answer.
    void fetchLimits(const QByteArray& usageBody) {
        site.setUsageBody(usageBody);
        signIn();
        QCoro::waitFor(claude.refresh());
        ASSERT_TRUE(claude.latest()) << claude.statusText().toStdString();
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
