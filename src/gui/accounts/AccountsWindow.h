#pragma once

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "accounts/AccountConfigStore.h"
#include "accounts/ApiAccountModels.h"
#include "gui/accounts/AddAccountDialog.h"
#include "providers/ProviderUsageStore.h"

class QLabel;
class QMessageBox;
class QPushButton;
class QStackedWidget;
class QTabBar;
class QVBoxLayout;

namespace qm {
class AccountStore;
class GeminiRelayStore;
class UsageHistoryStore;
}  // namespace qm

namespace qm::hosts {
class RemoteHostStore;
}

namespace qm::gui {

class AccountListModel;
class MachinesPage;
class AccountRowWidget;
class RelayToolbarStatus;
class StoreChangeCoalescer;

// "API Accounts": one provider's accounts at a time, with per-row controls that call the
// account store, and beneath each row the account's key check and usage from a provider usage
// store this window owns (recording fetched usage into the history store). A failed store
// operation raises the "Account Error" alert and leaves the row as it was.
class AccountsWindow : public QWidget {
    Q_OBJECT
public:
    using Clock = std::function<std::int64_t()>;  // ms since the epoch
    struct Options {
        ProviderEndpoints endpoints;  // where the usage store sends its requests
        Clock now;                    // for "Updated ..."; the system clock when empty
    };

    AccountsWindow(AccountStore* accounts, GeminiRelayStore* relay, UsageHistoryStore* history,
                   std::function<void(const QString& id)> openWindow, QWidget* parent = nullptr,
                   Options options = {});
    ~AccountsWindow() override;

    ApiAccountProvider provider() const;
    void setProvider(ApiAccountProvider provider);
    ProviderUsageStore* usageStore() const { return m_usage; }
    AccountListModel* accountModel() const { return m_model; }
    // The open add dialog, if any.
    AddAccountDialog* addDialog() const { return m_addDialog; }
    // The alert's text while it is shown.
    std::optional<QString> errorMessage() const { return m_errorMessage; }

    void openAddDialog();

    // Adds the "Machines" tab over the user's other machines.
    void setRemoteHosts(hosts::RemoteHostStore* store);
    MachinesPage* machinesPage() const { return m_machines; }

protected:
    void showEvent(QShowEvent* event) override;
    // The window is kept for the next opening, which starts afresh: the Gemini tab and no
    // usage results.
    void closeEvent(QCloseEvent* event) override;

private:
    void insertRows(int first, int last);
    void removeRows(int first, int last);
    void moveRow(int from, int to);
    void updateRows(int first, int last);
    void rebuildRows();
    void updateUsage();
    void setUsageStore(ProviderUsageStore* store);
    void retire(ProviderUsageStore* store);
    void updateRelayStatus();
    void updateEmptyState();
    void showTab(int index);
    bool machinesShown() const;
    AccountRowWidget* makeRow(int row);
    // Runs one account store operation; a failure shows the alert and restores the rows.
    void perform(const std::function<std::optional<AccountStoreError>()>& operation);
    void showError(const QString& message);
    std::int64_t now() const;

    QPointer<AccountStore> m_accounts;
    QPointer<GeminiRelayStore> m_relay;
    QPointer<UsageHistoryStore> m_history;
    std::function<void(const QString&)> m_openWindow;
    Clock m_now;
    ProviderEndpoints m_endpoints;
    ProviderUsageStore* m_usage = nullptr;
    AccountListModel* m_model;
    StoreChangeCoalescer* m_relayCoalescer;
    std::optional<QString> m_errorMessage;
    QPointer<QMessageBox> m_alert;
    QPointer<AddAccountDialog> m_addDialog;

    QTabBar* m_providers;
    RelayToolbarStatus* m_relayStatus;
    QPushButton* m_relayButton;
    MachinesPage* m_machines = nullptr;
    QLabel* m_keyStorage;
    QStackedWidget* m_body;
    QLabel* m_emptyText;
    QVBoxLayout* m_rowsLayout;
    std::vector<AccountRowWidget*> m_rows;
};

}  // namespace qm::gui
