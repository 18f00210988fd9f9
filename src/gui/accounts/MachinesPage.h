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
    explicit MachinesPage(hosts::RemoteHostStore* store, QWidget* parent = nullptr, Clock now = {});

    MachineListModel* model() const { return model_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void add();
    void removeSelected();
    void updateButtons();

    QPointer<hosts::RemoteHostStore> store_;
    MachineListModel* model_;
    QLineEdit* name_;
    QPushButton* add_;
    QLabel* error_;
    QTableView* table_;
    QPushButton* remove_;
    QPushButton* check_;
};

}  // namespace qm::gui
