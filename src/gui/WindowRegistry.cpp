#include "gui/WindowRegistry.h"

#include "gui/WindowPlaces.h"

namespace qm::gui {

WindowRegistry::~WindowRegistry() {
    for (auto it = windows_.cbegin(); it != windows_.cend(); ++it) {
        // The application quits with the window open: it opens there next time.
        if (*it && (*it)->isVisible()) WindowPlaces::keep(*it, it.key());
        delete it->data();
    }
}

void WindowRegistry::declare(const QString& id, Factory factory) {
    factories_.emplace(id, std::move(factory));
}

void WindowRegistry::declareElsewhere(const QString& id, const std::function<void()>& open) {
    elsewhere_.insert(id, open);
}

QWidget* WindowRegistry::open(const QString& id) {
    if (const auto elsewhere = elsewhere_.find(id); elsewhere != elsewhere_.end()) {
        (*elsewhere)();
        return nullptr;
    }
    QPointer<QWidget>& slot = windows_[id];
    if (!slot) {
        auto factory = factories_.value(id);
        if (!factory) {
            windows_.remove(id);
            return nullptr;
        }
        slot = factory();
        WindowPlaces::place(slot, id);
        WindowPlaces::follow(slot, id);
    }
    slot->show();
    slot->raise();
    slot->activateWindow();
    return slot;
}

QWidget* WindowRegistry::existing(const QString& id) const {
    return windows_.value(id);
}

}  // namespace qm::gui
