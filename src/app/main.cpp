#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include <qcoro/qcorosignal.h>

#include "accounts/AccountStore.h"
#include "alerts/AlertStore.h"
#include "alerts/BackgroundRefresh.h"
#include "alerts/ClaudeLimitReadingStore.h"
#include "alerts/DesktopNotification.h"
#include "claude/ClaudeUsageStore.h"
#include "core/AppPaths.h"
#include "core/ClaudeResetTimes.h"
#include "core/Preferences.h"
#include "core/Pricing.h"
#include "core/QuitOnSignals.h"
#include "gui/AppStores.h"
#include "gui/AppWindows.h"
#include "gui/TrayIcon.h"
#include "gui/WindowRegistry.h"
#include "gui/claude/ClaudeLimitsNow.h"
#include "history/UsageHistoryStore.h"
#include "hosts/RemoteHostStore.h"
#include "ledger/LocalUsageStore.h"
#include "ledger/LogWatcher.h"
#include "ledger/UsageAggregator.h"
#include "providers/PriceUpdateStore.h"
#include "relay/GeminiRelayStoreEnvironment.h"

namespace {

// A second start asks the running instance to open a window and exits.
bool handOffToRunningInstance(const QString& instanceName, const QString& windowId) {
    if (instanceName.isEmpty() || !QFileInfo::exists(instanceName)) return false;
    // A socket someone else owns is not an instance of ours: nothing is sent to it.
    if (!qm::AppPaths::isOwnSocket(instanceName)) {
        std::fprintf(stderr, "%s\n",
                     qPrintable(QCoreApplication::translate(
                                    "main",
                                    "quotameter: warning: %1 is not this user's; starting a new "
                                    "instance")
                                    .arg(instanceName)));
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(instanceName);
    if (!socket.waitForConnected(300)) return false;
    socket.write(windowId.toUtf8() + '\n');
    socket.waitForBytesWritten(300);
    return true;
}

// Opens the windows later starts ask for. Only a socket of this user's own is replaced;
// without a safe place there is simply no hand-off to this instance.
void listenForHandOffs(QLocalServer& instance, const QString& instanceName,
                       qm::gui::WindowRegistry& windows) {
    if (instanceName.isEmpty() ||
        (QFileInfo::exists(instanceName) && !qm::AppPaths::isOwnSocket(instanceName)))
        return;
    QLocalServer::removeServer(instanceName);
    instance.setSocketOptions(QLocalServer::UserAccessOption);
    instance.listen(instanceName);
    QObject::connect(&instance, &QLocalServer::newConnection, &instance, [&instance, &windows] {
        while (QLocalSocket* peer = instance.nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::readyRead, peer, [&windows, peer] {
                if (!peer->canReadLine()) return;
                const QByteArray id = peer->readLine().trimmed();
                windows.open(QString::fromUtf8(id));
                peer->disconnectFromServer();
            });
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        }
    });
}

// The window named by "--open ID", or empty without one. Answers --help and --version and exits
// with 2 on a bad argument, all before any display is needed.
QString requestedWindow(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
    const QStringList known = qm::gui::windowIds();
    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "main", "Usage and cost of AI coding tools and subscriptions, in the system tray."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QCoreApplication::translate("main", "Show this help and exit."));
    const QCommandLineOption version(
        {QStringLiteral("v"), QStringLiteral("version")},
        QCoreApplication::translate("main", "Show the version and exit."));
    const QCommandLineOption open(
        QStringLiteral("open"),
        QCoreApplication::translate("main",
                                    "Open a window at start, or in the running instance: %1.")
            .arg(known.join(QStringLiteral(", "))),
        QStringLiteral("id"));
    parser.addOptions({help, version, open});
    // Qt's own single-dash options (-platform, -style, -reverse) pass through to QApplication;
    // an unknown double-dash option is a mistake.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        const bool onlyToolkitOptions =
            !unknown.isEmpty() &&
            std::none_of(unknown.begin(), unknown.end(), [&](const QString& name) {
                return arguments.contains(QStringLiteral("--") + name) ||
                       std::any_of(arguments.begin(), arguments.end(), [&](const QString& arg) {
                           return arg.startsWith(QStringLiteral("--") + name + QLatin1Char('='));
                       });
            });
        if (!onlyToolkitOptions) {
            std::fprintf(
                stderr, "quotameter: %s\n%s\n", qPrintable(parser.errorText()),
                qPrintable(QCoreApplication::translate("main", "Try \"quotameter --help\".")));
            std::exit(2);
        }
    }
    if (parser.isSet(help)) {
        // Without an application object yet, Qt names the program by a placeholder.
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QStringLiteral("quotameter"));
        std::fputs(qPrintable(text), stdout);
        std::exit(0);
    }
    if (parser.isSet(version)) {
        std::printf("quotameter %s\n", QM_VERSION);
        std::exit(0);
    }
    if (!parser.isSet(open)) return {};
    const QString id = parser.value(open);
    if (!known.contains(id)) {
        std::fprintf(stderr, "%s\n",
                     qPrintable(QCoreApplication::translate(
                                    "main", "quotameter: unknown window \"%1\"; known windows: %2")
                                    .arg(id, known.join(QStringLiteral(", ")))));
        std::exit(2);
    }
    return id;
}

// The periodic refresh of what is fetched rather than watched: the Claude limits, unless a
// fetch has already found nobody signed in (the login window fetches once someone is). That is
// known from the last failure, not from a running browser, which is shut down between fetches.
// The local logs need none: their watch refreshes them when they are written to.
QCoro::Task<bool> refreshRemote(qm::ClaudeUsageStore* claude) {
    if (!claude->automaticFetchNeeded()) co_return true;
    if (claude->statusKind() == qm::ClaudeUsageStatusKind::needsLogin &&
        !claude->errorDetail().isEmpty())
        co_return true;
    co_await claude->refresh();
    co_return claude->statusKind() != qm::ClaudeUsageStatusKind::error;
}

// A refresh for what the log watch saw, after any refresh under way (which may have read the
// files before these writes). When no file came or went, the index reads the files written to
// alone: `nextFocus` is what the aggregator's next index update takes.
QCoro::Task<> refreshForLogs(qm::UsageAggregator* aggregator, QStringList* nextFocus,
                             const qm::ledger::LogChanges& changes) {
    const QStringList focus = changes.walk ? QStringList() : changes.files;
    QPointer<qm::UsageAggregator> guard(aggregator);
    while (guard && guard->isRefreshing()) {
        auto settled = qCoro(guard.data(), &qm::UsageAggregator::changed);
        co_await settled;
    }
    if (!guard) co_return;
    *nextFocus = focus;
    co_await aggregator->refresh();
}

// The five hours move on when nothing is written: what the recent window held ages out of it.
// While anything of the last five hours is shown, the figures are composed again every few
// minutes; once nothing is left to age, nothing runs.
void keepFiveHoursCurrent(qm::UsageAggregator& aggregator) {
    auto* timer = new QTimer(&aggregator);
    timer->setInterval(5 * 60'000);
    QObject::connect(timer, &QTimer::timeout, &aggregator, [&aggregator] {
        const qm::TimeMs since =
            qm::systemNow() - qm::TimeMs(qm::UsageAggregator::kLookbackSeconds * 1000);
        const std::vector<qm::ProviderUsage> providers = aggregator.providers();
        if (std::any_of(providers.begin(), providers.end(), [since](const auto& usage) {
                return usage.latestActivityAt && *usage.latestActivityAt >= since;
            }))
            aggregator.refreshInBackground();
    });
    timer->start();
}

// The Claude limits of either source go to the alerts, each window once whichever source read
// it (see claudeLimitsNow).
void alertOnClaudeLimits(qm::AlertStore& alerts, const qm::gui::ClaudeLimitSources& sources) {
    const auto check = [&alerts, sources] {
        alerts.observeLimits(qm::gui::claudeLimitsNow(sources, qm::systemNow()));
    };
    QObject::connect(sources.claude, &qm::ClaudeUsageStore::changed, &alerts, check);
    QObject::connect(sources.readings, &qm::ClaudeLimitReadingStore::changed, &alerts, check);
}

// Whether Qt has somewhere to show the tray icon and the windows: a platform named from
// outside (QT_QPA_PLATFORM, or Qt's own -platform option) is taken at its word; otherwise an
// X11 or a Wayland display must be set, or Qt aborts with a page about plugins. Without one it
// says so in one line.
bool hasDisplay(int argc, char** argv) {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    std::fprintf(stderr, "%s\n",
                 qPrintable(QCoreApplication::translate(
                     "main",
                     "quotameter: no display to show the tray icon on (neither DISPLAY nor "
                     "WAYLAND_DISPLAY is set); quotameter-cli works without one")));
    return false;
}

// What must be set before the application object exists.
void prepareProcess() {
    // Nothing here needs OpenGL, and the browser process (which inherits these) shows only the
    // small sign-in page, which draws well in software: no GL driver (about 55 MB with Mesa)
    // is loaded into either. Either can still be set outside.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    if (!qEnvironmentVariableIsSet("QT_QUICK_BACKEND")) qputenv("QT_QUICK_BACKEND", "software");
}

void describeApplication() {
    QApplication::setOrganizationName(QStringLiteral("Quotameter"));
    QApplication::setApplicationName(QStringLiteral("Quotameter"));
    QApplication::setApplicationVersion(QStringLiteral(QM_VERSION));
    // Wayland compositors match windows to the installed menu entry by this name.
    QApplication::setDesktopFileName(QStringLiteral("org.quotameter.Quotameter"));
    QApplication::setWindowIcon(qm::gui::TrayIcon::appIcon());
    QApplication::setQuitOnLastWindowClosed(false);
}

// Each Claude snapshot goes to the history, which keeps the percentages; the status-bar title
// also says when they reset, kept beside it.
void keepClaudeReadings(qm::ClaudeUsageStore& claude, qm::UsageHistoryStore& history,
                        const QString& dataDirectory) {
    claude.setHistorySink(
        [&history, &claude, dataDirectory](const qm::ClaudeUsageSnapshot& snapshot) {
            history.appendClaudeSnapshot(snapshot);
            if (const auto latest = claude.latest()) {
                qm::ClaudeResetTimesFile::save(qm::ClaudeResetTimesFile::pathIn(dataDirectory),
                                               {snapshot.timestampMs, latest->sessionResetAt,
                                                latest->weekResetAt, latest->subResetAt});
            }
        });
}

// The other machines, whose figures are asked for once at start and then every quarter of an
// hour, in the background (ssh runs as a child process; nothing waits for it).
std::unique_ptr<qm::hosts::RemoteHostStore> remoteHostStore(const QString& dataDirectory) {
    auto store = std::make_unique<qm::hosts::RemoteHostStore>(
        qm::AccountConfigStore::pathIn(dataDirectory),
        qm::hosts::RemoteHostCache::defaultDirectory());
    auto* timer = new QTimer(store.get());
    timer->setInterval(15 * 60 * 1000);
    QObject::connect(timer, &QTimer::timeout, store.get(), [raw = store.get()] {
        raw->reload();
        raw->refresh();
    });
    timer->start();
    QTimer::singleShot(0, store.get(), &qm::hosts::RemoteHostStore::refresh);
    return store;
}

// Refreshes the remote sources once per chosen period; a new choice applies at once.
std::unique_ptr<qm::BackgroundRefresh> startBackgroundRefresh(qm::ClaudeUsageStore* claude,
                                                              qm::Preferences* preferences) {
    auto refresh =
        std::make_unique<qm::BackgroundRefresh>([claude] { return refreshRemote(claude); });
    qm::BackgroundRefresh* scheduler = refresh.get();
    scheduler->setPeriodMinutes(preferences->refreshEveryMinutes());
    QObject::connect(preferences, &qm::Preferences::changed, scheduler, [scheduler, preferences] {
        scheduler->setPeriodMinutes(preferences->refreshEveryMinutes());
    });
    scheduler->start();
    return refresh;
}

// While Claude Code's five hours are fresh, the site is not fetched for them and the browser
// stays unstarted.
void holdBackSiteFetches(qm::ClaudeUsageStore& claude,
                         const qm::ClaudeLimitReadingStore& readings) {
    claude.setAutomaticFetchNeeded(
        [&readings] { return !qm::gui::claudeCodeHoldsFiveHours(readings, qm::systemNow()); });
}

// A new price list reprices the local tools at once (relay records keep what they cost), and
// the list is checked weekly when the user asked for it.
void repriceOnUpdates(qm::PriceUpdateStore& prices, qm::UsageAggregator& aggregator) {
    QObject::connect(&prices, &qm::PriceUpdateStore::pricesUpdated, &aggregator,
                     &qm::UsageAggregator::refreshInBackground);
    prices.startWeeklyChecks();
}

// Shows the icon, and the window asked for; without a tray there is nothing to click, so the
// dashboard opens straight away. Whether there is a tray.
bool showTrayOrWindow(qm::gui::TrayIcon& tray, qm::gui::WindowRegistry& windows,
                      const QString& openRequest) {
    const bool hasTray = QSystemTrayIcon::isSystemTrayAvailable();
    if (hasTray) {
        tray.show();
        if (!openRequest.isEmpty()) windows.open(openRequest);
    } else {
        windows.open(openRequest.isEmpty() ? QStringLiteral("dashboard") : openRequest);
    }
    return hasTray;
}

// The desktop's notification service keeps an alert in its history whatever the tray; Qt's
// balloon beside the icon is only for a session without one.
qm::AlertStore::Show showAlert(qm::gui::TrayIcon& tray, bool hasTray) {
    return [&tray, hasTray](const QString& title, const QString& message) {
        if (qm::DesktopNotification::show(title, message)) return;
        if (hasTray) tray.tray()->showMessage(title, message, QSystemTrayIcon::Warning);
    };
}

}  // namespace

int main(int argc, char** argv) {
    const QString openRequest = requestedWindow(argc, argv);
    if (!hasDisplay(argc, argv)) return 1;
    prepareProcess();
    QApplication app(argc, argv);
    describeApplication();
    const QString instanceName = qm::AppPaths::instanceName();
    if (handOffToRunningInstance(
            instanceName, openRequest.isEmpty() ? QStringLiteral("dashboard") : openRequest)) {
        return 0;
    }

    // Creates the data folder (and copies an earlier installation's folder in) before any store
    // opens a file there.
    const QString dataDirectory = qm::AppPaths::ensureRoot();
    qm::PriceBook::use(dataDirectory);  // before any cost is computed
    qm::UsageAggregator aggregator(QDir::homePath());
    const qm::ledger::LedgerSources sources = qm::ledger::LedgerSources::forHome(QDir::homePath());
    qm::ledger::LocalUsageStore localUsage(
        qm::ledger::UsageLedger(qm::ledger::UsageLedger::defaultDirectory(), sources));
    // Every local refresh brings the index over all the logs up to date, once, and takes the
    // five-hour summaries the index serves from that update; the log watch may name the only
    // files to read (see refreshForLogs).
    QStringList nextFocus;
    aggregator.setIndexedSummaries([&localUsage, &nextFocus](qm::TimeMs since) {
        return localUsage.refreshWithSummaries(QDir::homePath(), since,
                                               std::exchange(nextFocus, QStringList()));
    });
    // The local figures are live: a tool's write reaches the tray and the alerts in seconds.
    qm::ledger::LogWatcher logWatch(
        sources, [&aggregator, &nextFocus](const qm::ledger::LogChanges& changes) {
            return refreshForLogs(&aggregator, &nextFocus, changes);
        });
    // The producers (relay, provider and Claude stores) hand their records to this one owner.
    qm::UsageHistoryStore history(
        qm::UsageHistoryFileStore(qm::UsageHistoryFileStore::pathIn(dataDirectory)));
    qm::AccountStore accounts(qm::AccountConfigStore(qm::AccountConfigStore::pathIn(dataDirectory)),
                              qm::KeychainStore::forDataDirectory(dataDirectory));
    // The browser process starts with the first Claude fetch or the login window, not here,
    // and exits when idle.
    qm::ClaudeUsageStore claude(dataDirectory);
    keepClaudeReadings(claude, history, dataDirectory);
    // The limits Claude Code hands its status line.
    qm::ClaudeLimitReadingStore claudeReadings(qm::ClaudeLimitReadingsFile::pathIn(dataDirectory));
    holdBackSiteFetches(claude, claudeReadings);
    // Not started by itself: the relay window starts and stops it.
    qm::GeminiRelayStore relay(qm::relayEnvironment(accounts, history));
    qm::PriceUpdateStore prices(dataDirectory);
    repriceOnUpdates(prices, aggregator);
    qm::Preferences preferences;
    const auto remoteHosts = remoteHostStore(dataDirectory);
    // Declared after the stores, so the windows are gone before the stores they show.
    qm::gui::WindowRegistry windows;
    qm::gui::declareWindows(
        windows, {&aggregator, &claude, &accounts, &history, &relay, &localUsage, &prices,
                  &preferences, remoteHosts.get(), &claudeReadings});

    QLocalServer instance;
    listenForHandOffs(instance, instanceName, windows);

    // A logout's SIGTERM ends the event loop, so the stores below finish their saves.
    qm::QuitOnSignals signalWatch;
    // The tool tip shows counts from the first hover on: the scan starts before the icon does,
    // right after the watch's first look, so that no write falls between the two.
    logWatch.start();
    keepFiveHoursCurrent(aggregator);
    const qm::gui::ClaudeLimitSources claudeLimits{&claude, &claudeReadings, &history};
    qm::gui::TrayIcon tray(&aggregator, &claude, &windows);
    tray.setClaudeLimitSources(claudeLimits);
    const bool hasTray = showTrayOrWindow(tray, windows, openRequest);
    // After the icon is shown, since the first check may already alert.
    qm::AlertStore alerts(qm::AlertMemory::pathIn(dataDirectory), showAlert(tray, hasTray));
    alerts.setEnabledSource([&preferences] { return preferences.notificationsEnabled(); });
    alertOnClaudeLimits(alerts, claudeLimits);
    alerts.watchCodex(&aggregator);
    alerts.watchSpend(&accounts, &history);
    const auto refresh = startBackgroundRefresh(&claude, &preferences);
    return app.exec();
}
