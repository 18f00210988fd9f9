#include <QApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "accounts/AccountStore.h"
#include "alerts/AlertSettings.h"
#include "alerts/AlertStore.h"
#include "alerts/BackgroundRefresh.h"
#include "alerts/DesktopNotification.h"
#include "claude/ClaudeUsageStore.h"
#include "claude/ClaudeWebSession.h"
#include "core/AppPaths.h"
#include "core/QuitOnSignals.h"
#include "gui/AppStores.h"
#include "gui/AppWindows.h"
#include "gui/TrayIcon.h"
#include "gui/WindowRegistry.h"
#include "history/UsageHistoryStore.h"
#include "providers/ProviderUsageStore.h"
#include "readers/UsageAggregator.h"
#include "relay/GeminiRelayStoreEnvironment.h"

namespace {

// A second start asks the running instance to open a window and exits.
bool handOffToRunningInstance(const QString& instanceName, const QString& windowId) {
    QLocalSocket socket;
    socket.connectToServer(instanceName);
    if (!socket.waitForConnected(300)) return false;
    socket.write(windowId.toUtf8() + '\n');
    socket.waitForBytesWritten(300);
    return true;
}

// The window named by "--open ID", or empty without one. Exits with 2 on a bad id, before any
// display is needed.
QString requestedWindow(int argc, char** argv) {
    const QStringList known = qm::gui::windowIds();
    for (int i = 1; i < argc; ++i) {
        QString id;
        if (std::strcmp(argv[i], "--open") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quotameter: --open needs a window id (%s)\n",
                             qPrintable(known.join(QStringLiteral(", "))));
                std::exit(2);
            }
            id = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strncmp(argv[i], "--open=", 7) == 0) {
            id = QString::fromLocal8Bit(argv[i] + 7);
        } else {
            continue;
        }
        if (!known.contains(id)) {
            std::fprintf(stderr, "quotameter: unknown window \"%s\"; known windows: %s\n",
                         qPrintable(id), qPrintable(known.join(QStringLiteral(", "))));
            std::exit(2);
        }
        return id;
    }
    return {};
}

// The periodic refresh: the local scan, then the Claude limits, unless a fetch has already
// found nobody signed in (the login window fetches once someone is).
QCoro::Task<bool> refreshEverything(qm::UsageAggregator* aggregator, qm::ClaudeUsageStore* claude) {
    co_await aggregator->refresh();
    if (claude->hasSession() && claude->statusKind() == qm::ClaudeUsageStatusKind::needsLogin)
        co_return true;
    co_await claude->refresh();
    co_return claude->statusKind() != qm::ClaudeUsageStatusKind::error;
}

}  // namespace

int main(int argc, char** argv) {
    const QString openRequest = requestedWindow(argc, argv);
    // Chromium in this process needs shared contexts set before the application exists.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The only web view is the small sign-in page, which draws well in software. Without this,
    // linking the browser opens an OpenGL context at start and loads the GL driver (about 55 MB
    // with Mesa) into a program that mostly sits in the tray. Either can still be set outside.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    if (!qEnvironmentVariableIsSet("QT_QUICK_BACKEND")) qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quotameter"));
    QApplication::setApplicationName(QStringLiteral("Quotameter"));
    QApplication::setQuitOnLastWindowClosed(false);
    const QString instanceName = qm::AppPaths::instanceName();
    if (handOffToRunningInstance(
            instanceName, openRequest.isEmpty() ? QStringLiteral("dashboard") : openRequest)) {
        return 0;
    }

    // Creates the data folder (and copies an earlier installation's folder in) before any store
    // opens a file there.
    const QString dataDirectory = qm::AppPaths::ensureRoot();
    qm::UsageAggregator aggregator(QDir::homePath());
    // The producers (relay, provider and Claude stores) hand their records to this one owner.
    qm::UsageHistoryStore history(
        qm::UsageHistoryFileStore(qm::UsageHistoryFileStore::pathIn(dataDirectory)));
    qm::AccountStore accounts(qm::AccountConfigStore(qm::AccountConfigStore::pathIn(dataDirectory)),
                              qm::KeychainStore::forDataDirectory(dataDirectory));
    qm::ProviderUsageStore providerUsage;
    providerUsage.attachHistoryStore(&history);
    // Chromium starts with the first Claude fetch or the login window, not here.
    qm::ClaudeUsageStore claude(dataDirectory);
    claude.setHistorySink([&history](const qm::ClaudeUsageSnapshot& snapshot) {
        history.appendClaudeSnapshot(snapshot);
    });
    // Not started by itself: the relay window starts and stops it.
    qm::GeminiRelayStore relay(qm::relayEnvironment(accounts, history));

    // Declared after the stores, so the windows are gone before the stores they show.
    qm::gui::WindowRegistry windows;
    qm::gui::declareWindows(windows, {&aggregator, &claude, &accounts, &history, &relay});

    QLocalServer instance;
    QLocalServer::removeServer(instanceName);
    instance.listen(instanceName);
    QObject::connect(&instance, &QLocalServer::newConnection, [&] {
        while (QLocalSocket* peer = instance.nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::readyRead, peer, [&, peer] {
                if (!peer->canReadLine()) return;
                const QByteArray id = peer->readLine().trimmed();
                windows.open(QString::fromUtf8(id));
                peer->disconnectFromServer();
            });
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        }
    });

    // A logout's SIGTERM ends the event loop, so the stores below finish their saves.
    qm::QuitOnSignals signalWatch;
    qm::gui::TrayIcon tray(&aggregator, &claude, &windows);
    const bool hasTray = QSystemTrayIcon::isSystemTrayAvailable();
    if (hasTray) {
        tray.show();
        if (!openRequest.isEmpty()) windows.open(openRequest);
    } else {
        // Without a tray there is nothing to click: open the dashboard straight away.
        windows.open(openRequest.isEmpty() ? QStringLiteral("dashboard") : openRequest);
    }
    // After the icon is shown, since the first check may already alert. Through the icon where
    // there is one: Qt hands the message to the desktop's notification service (or shows a
    // balloon on older trays) and ties it to our icon.
    qm::AlertStore alerts(qm::AlertMemory::pathIn(dataDirectory),
                          [&tray, hasTray](const QString& title, const QString& message) {
                              if (hasTray)
                                  tray.tray()->showMessage(title, message,
                                                           QSystemTrayIcon::Warning);
                              else
                                  qm::DesktopNotification::show(title, message);
                          });
    alerts.setEnabledSource(&qm::AlertSettings::notificationsEnabled);
    alerts.watchClaude(&claude);
    alerts.watchCodex(&aggregator);
    alerts.watchSpend(&accounts, &history);
    qm::BackgroundRefresh backgroundRefresh(
        [&aggregator, &claude] { return refreshEverything(&aggregator, &claude); },
        &qm::AlertSettings::refreshEveryMinutes);
    backgroundRefresh.start();
    return app.exec();
}
