#pragma once

#include <QWidget>

class QCheckBox;
class QComboBox;

namespace qm {
class Preferences;
}

namespace qm::gui {

// The dashboard header's choices about work done unasked: "Refresh every" (off, 5, 15 or 30
// minutes) and "Notifications" (alerts before a limit or a budget is hit). Both are the
// preferences' own: set there at once, and shown again when they change elsewhere.
class BackgroundOptions : public QWidget {
    Q_OBJECT
public:
    explicit BackgroundOptions(Preferences* preferences, QWidget* parent = nullptr);

private:
    void showChoices();

    Preferences* preferences_;
    QComboBox* period_;
    QCheckBox* notifications_;
};

}  // namespace qm::gui
