#pragma once

#include <QFrame>

#include "gui/accounts/AccountListModel.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QToolButton;

namespace qm::gui {

class AccountUsagePanel;
class StatusBadge;

// One account: alias and badges, key preview and detail, the Active switch, Select, Primary
// and delete, and its usage panel beneath. Reports the user's requests; the window calls the
// store and hands the outcome back through setRow().
class AccountRowWidget : public QFrame {
    Q_OBJECT
public:
    AccountRowWidget(ApiAccountProvider provider, const AccountRowData& row,
                     QWidget* parent = nullptr);
    // Shows `row` (also after a failed request, so the controls return to the stored state).
    void setRow(const AccountRowData& row);
    const AccountRowData& row() const { return row_; }
    AccountUsagePanel* usagePanel() const { return usage_; }
    // Places the account's budget fields above its usage panel.
    void addBudgetEditor(QWidget* editor);

Q_SIGNALS:
    void selectRequested();
    void primaryRequested();
    void activeRequested(bool isActive);
    void deleteRequested();

private:
    ApiAccountProvider provider_;
    AccountRowData row_;
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
