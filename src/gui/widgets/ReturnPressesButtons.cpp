#include "gui/widgets/ReturnPressesButtons.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialog>
#include <QKeyEvent>

namespace qm::gui {

void ReturnPressesButtons::installOnApplication() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || app->findChild<ReturnPressesButtons*>(QString(), Qt::FindDirectChildrenOnly))
        return;
    app->installEventFilter(new ReturnPressesButtons(app));
}

bool ReturnPressesButtons::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
    if (key->modifiers() & ~Qt::KeyboardModifiers(Qt::KeypadModifier)) return false;
    // The key goes to the focused widget, then up through its parents: only a button that
    // has its window's focus takes it.
    auto* button = qobject_cast<QAbstractButton*>(watched);
    if (!button || button->window()->focusWidget() != button || !button->isEnabled()) return false;
    if (qobject_cast<QDialog*>(button->window())) return false;
    if (!key->isAutoRepeat()) button->click();
    return true;
}

}  // namespace qm::gui

namespace {
// At the application's start, before the first window or the tray's panel exists.
void installReturnPressesButtons() {
    qm::gui::ReturnPressesButtons::installOnApplication();
}
}  // namespace
Q_COREAPP_STARTUP_FUNCTION(installReturnPressesButtons)
