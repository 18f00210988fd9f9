#pragma once

#include <QObject>

namespace qm::gui {

// Return and Enter press the focused button, as Space does, in every window of the
// application: Qt's buttons take them only in a dialog. A dialog keeps its own rule (Return
// presses the focused push button or the default one), and anything that is not a button (a
// line edit, a spin box, a list) gets the key as before. One filter on the whole application,
// put there when the application starts, so that windows which install nothing (the tray's
// panel) follow it too.
class ReturnPressesButtons : public QObject {
    Q_OBJECT
public:
    // Once per application; later calls do nothing.
    static void installOnApplication();

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using QObject::QObject;
};

}  // namespace qm::gui
