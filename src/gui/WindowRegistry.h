#pragma once

#include <QHash>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

namespace qm::gui {

// Creates each window once, by id, and raises it when it is opened again. Closing a window
// only hides it, so the stores it shows are never torn down with it. A window opens where the
// user last left it, or centred on the screen with the pointer (WindowPlaces). The registry owns
// the windows: declare it after the stores so the windows go first.
class WindowRegistry {
public:
    using Factory = std::function<QWidget*()>;

    WindowRegistry() = default;
    WindowRegistry(const WindowRegistry&) = delete;
    WindowRegistry& operator=(const WindowRegistry&) = delete;
    ~WindowRegistry();

    void declare(const QString& id, Factory factory);
    // A window another process shows: opening it calls `open`.
    void declareElsewhere(const QString& id, const std::function<void()>& open);
    // Shows (creating on first use) and raises the window; returns it, or nullptr for an unknown
    // id or one shown elsewhere.
    QWidget* open(const QString& id);
    QWidget* existing(const QString& id) const;

private:
    QHash<QString, Factory> factories_;
    QHash<QString, std::function<void()>> elsewhere_;
    QHash<QString, QPointer<QWidget>> windows_;
};

}  // namespace qm::gui
