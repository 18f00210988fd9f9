#include <QApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSystemTrayIcon>

#include "accounts/AccountStore.h"
#include "core/AppPaths.h"
#include "core/QuitOnSignals.h"
#include "gui/TrayIcon.h"
#include "gui/WindowRegistry.h"
#include "gui/dashboard/DashboardWindow.h"
#include "history/UsageHistoryStore.h"
#include "providers/ProviderUsageStore.h"
#include "readers/UsageAggregator.h"
#include "relay/GeminiRelayStoreEnvironment.h"

namespace {

// One name per user, so two users on one machine each get their own instance.
const QString kInstanceName = qm::AppPaths::instanceName();

// A second start asks the running instance to show its dashboard and exits.
bool handOffToRunningInstance() {
    QLocalSocket socket;
    socket.connectToServer(kInstanceName);
    if (!socket.waitForConnected(300)) return false;
    socket.write("dashboard\n");
    socket.waitForBytesWritten(300);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quotameter"));
    QApplication::setApplicationName(QStringLiteral("Quotameter"));
    QApplication::setQuitOnLastWindowClosed(false);
    if (handOffToRunningInstance()) return 0;

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
    // Not started by itself: the relay window starts and stops it.
    qm::GeminiRelayStore relay(qm::relayEnvironment(accounts, history));

    qm::gui::WindowRegistry windows;
    windows.declare(QStringLiteral("dashboard"), [&] {
        auto* window = new qm::gui::DashboardWindow(&aggregator);
        window->setWindowIcon(qm::gui::TrayIcon::appIcon());
        return window;
    });

    QLocalServer instance;
    QLocalServer::removeServer(kInstanceName);
    instance.listen(kInstanceName);
    QObject::connect(&instance, &QLocalServer::newConnection, [&] {
        while (QLocalSocket* peer = instance.nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::readyRead, peer, [&, peer] {
                const QByteArray id = peer->readLine().trimmed();
                windows.open(QString::fromUtf8(id));
                peer->disconnectFromServer();
            });
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        }
    });

    // A logout's SIGTERM ends the event loop, so the stores below finish their saves.
    qm::QuitOnSignals signalWatch;
    qm::gui::TrayIcon tray(&aggregator, &windows);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray.show();
    } else {
        // Without a tray there is nothing to click: open the dashboard straight away.
        windows.open(QStringLiteral("dashboard"));
    }
    return app.exec();
}
