// The desktop application's figures: start to tray icon and memory of the real binary, then
// in process (offscreen): panel show, dashboard redraw for three tool cards, mascot CPU.
#include <sys/resource.h>

#include <QApplication>
#include <QCheckBox>
#include <QCoroTask>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/ExternalApp.h"
#include "claude/ClaudeUsageStore.h"
#include "core/Preferences.h"
#include "gui/TrayIcon.h"
#include "gui/WindowRegistry.h"
#include "gui/dashboard/DashboardWindow.h"
#include "gui/panel/MenuBarPanel.h"
#include "ledger/UsageAggregator.h"
#include "support/BrowserProcess.h"
#include "support/FakeClaudeSite.h"
#include "support/RolloutFixtures.h"

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Waits until `widget` has painted once after `start`.
class PaintWatch : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !painted) painted = true;
        return false;
    }
    bool painted = false;
};

class PaintCounter : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++count;
        return false;
    }
    int count = 0;
};

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    qm::test::writeSampleHome(home.path());
    qm::bench::measureExternalApp(QStringLiteral(QM_APP_BINARY), home.path());

    // The dashboard's setting and the browser profile stay in the temporary home.
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/.config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + QStringLiteral("/.local/share")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.path() + QStringLiteral("/.cache")));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);

    qm::test::FakeClaudeSite site;
    QTemporaryDir data;
    qm::UsageAggregator aggregator(home.path());
    qm::ClaudeUsageStore claude(
        qm::test::testBrowser(data.path(), site.origin(), QStringLiteral("15000,1500,30000")));
    QCoro::waitFor(aggregator.refresh());
    qm::gui::WindowRegistry windows;
    qm::gui::TrayIcon tray(&aggregator, &claude, &windows);

    // Panel: from the click to its first paint, over several openings.
    std::vector<double> panelMs;
    for (int i = 0; i < 20; ++i) {
        PaintWatch watch;
        QElapsedTimer clock;
        clock.start();
        tray.togglePanel(QRect(600, 0, 22, 22));
        tray.panel()->installEventFilter(&watch);
        while (!watch.painted && clock.elapsed() < 2000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
        panelMs.push_back(clock.nsecsElapsed() / 1e6);
        tray.panel()->removeEventFilter(&watch);
        tray.panel()->hide();
        QTest::qWait(300);  // past the guard that ignores the closing click
    }
    std::printf("panel_show_first: %.2f ms\n", panelMs.front());
    std::printf("panel_show_median: %.2f ms\n", median(panelMs));

    // The panel's first appearance started a Claude fetch; let it end before timing more.
    if (!QTest::qWaitFor([&] { return !claude.isRefreshing(); }, 30000)) {
        std::printf("# the first Claude fetch did not end\n");
    }

    // Dashboard redraw: a published change re-renders three tool cards and repaints.
    qm::Preferences preferences;
    qm::gui::DashboardWindow dashboard(&aggregator, &claude, &preferences, [](const QString&) {});
    dashboard.resize(1100, 800);
    dashboard.show();
    QTest::qWait(500);
    std::vector<double> redrawMs;
    for (int i = 0; i < 100; ++i) {
        QElapsedTimer clock;
        clock.start();
        Q_EMIT aggregator.changed();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        dashboard.repaint();
        redrawMs.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::printf("dashboard_refresh_redraw_median: %.2f ms\n", median(redrawMs));

    // Mascot: process CPU while the dashboard shows the dog, and while it is hidden.
    const auto cpuOver = [](int ms) {
        const double before = cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        QTest::qWait(ms);
        return 100.0 * (cpuSeconds() - before) / (clock.elapsed() / 1000.0);
    };
    const double withDog = cpuOver(5000);
    dashboard.findChild<QCheckBox*>(QStringLiteral("mascotSwitch"))->click();
    QTest::qWait(500);
    const double withoutDog = cpuOver(5000);
    dashboard.findChild<QCheckBox*>(QStringLiteral("mascotSwitch"))->click();
    QTest::qWait(500);
    std::printf("dashboard_cpu_with_mascot: %.2f %%\n", withDog);
    std::printf("dashboard_cpu_without_mascot: %.2f %%\n", withoutDog);
    std::printf("mascot_cpu_visible: %.2f %%\n", withDog - withoutDog);

    // Hidden, the dog must not draw at all.
    auto* mascot = dashboard.findChild<QWidget*>(QStringLiteral("mascot"));
    PaintCounter paints;
    mascot->installEventFilter(&paints);
    QTest::qWait(2000);
    std::printf("mascot_frames_per_second_visible: %.1f count\n", paints.count / 2.0);
    paints.count = 0;
    dashboard.hide();
    std::printf("dashboard_cpu_hidden: %.2f %%\n", cpuOver(5000));
    std::printf("mascot_frames_while_hidden: %d count\n", paints.count);
    return 0;
}
