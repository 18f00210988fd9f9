#include "gui/AppWindows.h"

#include <QLabel>
#include <QVBoxLayout>
#include <array>

#include "gui/AppStores.h"
#include "gui/TrayIcon.h"
#include "gui/WindowRegistry.h"
#include "gui/claude/ClaudeLoginWindow.h"
#include "gui/dashboard/DashboardWindow.h"

namespace qm::gui {

namespace {

struct WindowName {
    const char* id;
    const char* title;
};

constexpr std::array<WindowName, 5> kWindows{{
    {"dashboard", "Quotameter"},
    {"claude-login", "Claude Login"},
    {"accounts", "API Accounts"},
    {"relay", "Gemini Relay"},
    {"trends", "Usage Trends"},
}};

// Stands in for a window that is not built yet.
QWidget* placeholder(const QString& id) {
    auto* window = new QWidget;
    window->setObjectName(id + QStringLiteral("Placeholder"));
    auto* layout = new QVBoxLayout(window);
    auto* text = new QLabel(QStringLiteral("%1 is not available yet.").arg(windowTitle(id)));
    text->setAlignment(Qt::AlignCenter);
    layout->addWidget(text);
    window->resize(480, 320);
    return window;
}

}  // namespace

QStringList windowIds() {
    QStringList ids;
    for (const WindowName& w : kWindows) ids << QString::fromLatin1(w.id);
    return ids;
}

QString windowTitle(const QString& id) {
    for (const WindowName& w : kWindows) {
        if (id == QLatin1String(w.id)) return QString::fromLatin1(w.title);
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
        return new DashboardWindow(stores.aggregator, stores.claude,
                                   [windows](const QString& id) { windows->open(id); });
    });
    declare(QStringLiteral("claude-login"),
            [stores] { return new ClaudeLoginWindow(stores.claude); });
    // The next three become AccountsWindow, RelayWindow and TrendsWindow.
    declare(QStringLiteral("accounts"), [] { return placeholder(QStringLiteral("accounts")); });
    declare(QStringLiteral("relay"), [] { return placeholder(QStringLiteral("relay")); });
    declare(QStringLiteral("trends"), [] { return placeholder(QStringLiteral("trends")); });
}

}  // namespace qm::gui
