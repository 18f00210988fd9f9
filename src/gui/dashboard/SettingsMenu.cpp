#include "gui/dashboard/SettingsMenu.h"

#include <QMenu>
#include <QVBoxLayout>
#include <QWidgetAction>

#include "gui/widgets/Symbols.h"

namespace qm::gui {

SettingsMenu::SettingsMenu(std::initializer_list<QWidget*> choices, QWidget* parent)
    : QToolButton(parent) {
    setObjectName(QStringLiteral("settingsButton"));
    setIcon(Symbols::settings());
    setText(tr("Settings"));
    setToolTip(tr("Settings"));
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setPopupMode(QToolButton::InstantPopup);

    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("settingsMenu"));
    auto* panel = new QWidget(menu);
    panel->setObjectName(QStringLiteral("settingsPanel"));
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(12, 8, 12, 8);
    column->setSpacing(8);
    for (QWidget* choice : choices) {
        choice->setParent(panel);
        column->addWidget(choice);
    }
    auto* holder = new QWidgetAction(menu);
    holder->setDefaultWidget(panel);
    menu->addAction(holder);
    menu->addSeparator();
    setMenu(menu);
}

}  // namespace qm::gui
