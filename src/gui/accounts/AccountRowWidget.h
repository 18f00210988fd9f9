#pragma once

#include <QFrame>
#include <QPersistentModelIndex>

#include "gui/accounts/AccountListModel.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QToolButton;

namespace qm::gui {

class AccountUsagePanel;
class StatusBadge;

// One row of the accounts model: alias and badges, key preview and detail, the Active switch,
// Select, Primary and delete, and its usage panel beneath. It keeps no copy of the account:
// it shows what the model holds at its row, which follows the account through inserts, moves
// and removals of other rows. Reports the user's requests; the window calls the store.
class AccountRowWidget : public QFrame {
    Q_OBJECT
public:
    AccountRowWidget(const AccountListModel* model, int row, QWidget* parent = nullptr);
    // Shows the model's row again (also after a failed request, so the controls return to the
    // stored state).
    void refresh();
    // The account shown; empty once its row has left the model.
    QString accountId() const;
    AccountUsagePanel* usagePanel() const { return usage_; }
    // Places the account's budget fields above its usage panel.
    void addBudgetEditor(QWidget* editor);

Q_SIGNALS:
    void selectRequested();
    void primaryRequested();
    void activeRequested(bool isActive);
    void deleteRequested();

private:
    const AccountListModel* model_;
    QPersistentModelIndex index_;
    ApiAccountProvider provider_;
    QLabel* alias_;
    StatusBadge* primaryBadge_;
    StatusBadge* selectedBadge_;
    StatusBadge* inactiveBadge_;
    QLabel* keyPreview_;
    QLabel* detail_;
    QCheckBox* active_;
    QPushButton* select_;
    QPushButton* primary_;
    QToolButton* delete_;
    AccountUsagePanel* usage_;
};

}  // namespace qm::gui
