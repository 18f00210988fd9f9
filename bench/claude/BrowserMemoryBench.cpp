// The application's own resident memory around a Claude fetch made through the browser
// process: at start, after a fetch (the browser process and its helpers counted apart), and
// after the browser's idle exit, when the application should be back near where it started.

#include <QApplication>
#include <QCoroTask>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include "claude/ClaudeUsageStore.h"
#include "claude/HeadlessBrowser.h"
#include "support/BrowserProcess.h"
#include "support/FakeClaudeSite.h"

namespace {

// Resident kB of one process now (VmRSS), 0 when it is gone.
long residentKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

double megabytes(long kb) {
    return double(kb) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
    qm::bench::setHeadlessBrowserDefaults();
    QApplication app(argc, argv);
    QTemporaryDir data;
    qm::test::FakeClaudeSite site;
    site.signInOnLoginPage();
    qm::ClaudeUsageStore store(
        qm::test::testBrowser(data.path(), site.origin(), QStringLiteral("15000,1500,30000")));
    store.setIdleShutdown(std::chrono::seconds(3));
    const qint64 self = QCoreApplication::applicationPid();
    QTest::qWait(500);
    const long atStart = residentKb(self);
    std::printf("claude_app_rss_at_start_mb: %.1f MB\n", megabytes(atStart));

    // Signed in through the login window, then one fetch.
    store.showLoginWindow();
    if (!QTest::qWaitFor([&] { return site.requestCount("/login") > 0; }, 30000)) {
        std::fprintf(stderr, "the login page was never asked for\n");
        return 1;
    }
    store.closeLoginWindow();
    QCoro::waitFor(store.refresh());
    if (!store.latest()) {
        std::fprintf(stderr, "the fetch failed: %s\n", qPrintable(store.errorDetail()));
        return 1;
    }
    long browser = 0;
    for (const qint64 pid : qm::test::processTree(store.browserProcessId()))
        browser += residentKb(pid);
    std::printf("claude_app_rss_after_fetch_mb: %.1f MB\n", megabytes(residentKb(self)));
    std::printf("claude_browser_processes_rss_after_fetch_mb: %.1f MB\n", megabytes(browser));

    if (!QTest::qWaitFor([&] { return !store.hasSession(); }, 30000)) {
        std::fprintf(stderr, "the browser did not exit when idle\n");
        return 1;
    }
    QTest::qWait(1000);
    const long afterIdle = residentKb(self);
    std::printf("claude_app_rss_after_idle_exit_mb: %.1f MB\n", megabytes(afterIdle));
    std::printf("claude_app_rss_growth_after_idle_exit_mb: %.1f MB\n",
                megabytes(afterIdle - atStart));
    return 0;
}
