#pragma once

#include <QWidget>

class QCheckBox;
class QComboBox;

namespace qm::gui {

// The dashboard header's choices about work done unasked: "Refresh every" (off, 5, 15 or 30
// minutes) and "Notifications" (alerts before a limit or a budget is hit). Both are saved in
// the settings at once; the running refresh and the alerts read them from there.
class BackgroundOptions : public QWidget {
    Q_OBJECT
public:
    explicit BackgroundOptions(QWidget* parent = nullptr);

private:
    QComboBox* period_;
    QCheckBox* notifications_;
};

}  // namespace qm::gui
