#include "gui/AppWindows.h"

#include <QCoreApplication>
#include <array>

#include "gui/AppStores.h"
#include "gui/TrayIcon.h"
#include "gui/WindowRegistry.h"
#include "gui/accounts/AccountsWindow.h"
#include "gui/claude/ClaudeLoginFlow.h"
#include "gui/dashboard/DashboardWindow.h"
#include "gui/relay/RelayWindow.h"
#include "gui/trends/TrendsWindow.h"

namespace qm::gui {

namespace {

struct WindowName {
    const char* id;
    const char* title;
};

constexpr std::array<WindowName, 5> kWindows{{
    {"dashboard", QT_TRANSLATE_NOOP("AppWindows", "Quotameter")},
    {"claude-login", QT_TRANSLATE_NOOP("AppWindows", "Claude Login")},
    {"accounts", QT_TRANSLATE_NOOP("AppWindows", "API Accounts")},
    {"relay", QT_TRANSLATE_NOOP("AppWindows", "Gemini Relay")},
    {"trends", QT_TRANSLATE_NOOP("AppWindows", "Usage Trends")},
}};

}  // namespace

QStringList windowIds() {
    QStringList ids;
    for (const WindowName& w : kWindows) ids << QString::fromLatin1(w.id);
    return ids;
}

QString windowTitle(const QString& id) {
    for (const WindowName& w : kWindows) {
        if (id == QLatin1String(w.id)) return QCoreApplication::translate("AppWindows", w.title);
    }
    return {};
}

void declareWindows(WindowRegistry& registry, const AppStores& stores) {
    const auto declare = [&registry](const QString& id, std::function<QWidget*()> make) {
        registry.declare(id, [id, make = std::move(make)] {
            QWidget* window = make();
            window->setWindowTitle(windowTitle(id));
            window->setWindowIcon(TrayIcon::appIcon());
            return window;
        });
    };
    WindowRegistry* windows = &registry;
    declare(QStringLiteral("dashboard"), [stores, windows] {
        auto* window = new DashboardWindow(stores.aggregator, stores.claude, stores.preferences,
                                           [windows](const QString& id) { windows->open(id); });
        if (stores.localUsage) window->setLocalUsage(stores.localUsage);
        if (stores.remoteHosts) window->setRemoteHosts(stores.remoteHosts);
        if (stores.prices) window->setPrices(stores.prices);
        window->setHistory(stores.history);
        if (stores.claudeReadings) window->setClaudeReadings(stores.claudeReadings);
        return window;
    });
    // The login window belongs to the browser process; the flow opens it there.
    if (stores.claude) {
        auto* login = new ClaudeLoginFlow(stores.claude);
        registry.declareElsewhere(QStringLiteral("claude-login"), [login] { login->open(); });
    }
    declare(QStringLiteral("accounts"), [stores, windows] {
        auto* window = new AccountsWindow(stores.accounts, stores.relay, stores.history,
                                          [windows](const QString& id) { windows->open(id); });
        if (stores.remoteHosts) window->setRemoteHosts(stores.remoteHosts);
        return window;
    });
    declare(QStringLiteral("relay"), [stores] { return new RelayWindow(stores.relay); });
    declare(QStringLiteral("trends"), [stores] {
        auto* window = new TrendsWindow(stores.history);
        if (stores.localUsage) window->setLocalUsage(stores.localUsage);
        if (stores.remoteHosts) window->setRemoteHosts(stores.remoteHosts);
        return window;
    });
}

}  // namespace qm::gui
