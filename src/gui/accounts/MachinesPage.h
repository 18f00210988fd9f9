#pragma once

#include <QPointer>
#include <QWidget>

#include "gui/accounts/MachineListModel.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace qm::gui {

// "Machines" in the accounts window: the other machines whose logs the reports add, with the
// state of their last check. Adding, removing and checking go to the store; a refused name
// shows its reason under the field and the list stays as it was.
class MachinesPage : public QWidget {
    Q_OBJECT
public:
    explicit MachinesPage(hosts::RemoteHostStore* store, QWidget* parent = nullptr,
                          MachineListModel::Clock now = {});

    MachineListModel* model() const { return m_model; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void add();
    void removeSelected();
    void updateButtons();

    QPointer<hosts::RemoteHostStore> m_store;
    MachineListModel* m_model;
    QLineEdit* m_name;
    QPushButton* m_add;
    QLabel* m_error;
    QTableView* m_table;
    QPushButton* m_remove;
    QPushButton* m_check;
};

}  // namespace qm::gui
