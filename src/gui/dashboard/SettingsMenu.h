#pragma once

#include <QToolButton>
#include <initializer_list>

namespace qm::gui {

// The dashboard's settings button: a menu holding the choices a user sets once (given as
// widgets, shown in a panel at the top of the menu), below which others add their entries
// (the prices), so the header keeps only what is used every day.
class SettingsMenu : public QToolButton {
    Q_OBJECT
public:
    SettingsMenu(std::initializer_list<QWidget*> choices, QWidget* parent = nullptr);
};

}  // namespace qm::gui
