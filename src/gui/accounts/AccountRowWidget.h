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
    const AccountRowData& row() const { return m_row; }
    AccountUsagePanel* usagePanel() const { return m_usage; }
    // Places the account's budget fields above its usage panel.
    void addBudgetEditor(QWidget* editor);

signals:
    void selectRequested();
    void primaryRequested();
    void activeRequested(bool isActive);
    void deleteRequested();

private:
    ApiAccountProvider m_provider;
    AccountRowData m_row;
    QLabel* m_alias;
    StatusBadge* m_primaryBadge;
    StatusBadge* m_selectedBadge;
    StatusBadge* m_inactiveBadge;
    QLabel* m_keyPreview;
    QLabel* m_detail;
    QCheckBox* m_active;
    QPushButton* m_select;
    QPushButton* m_primary;
    QToolButton* m_delete;
    AccountUsagePanel* m_usage;
};

}  // namespace qm::gui
