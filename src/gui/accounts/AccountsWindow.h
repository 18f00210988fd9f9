#pragma once

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "accounts/AccountConfigStore.h"
#include "accounts/ApiAccountModels.h"
#include "core/Clock.h"
#include "gui/accounts/AddAccountDialog.h"
#include "providers/ProviderUsageStore.h"

class QLabel;
class QLayout;
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
    ProviderUsageStore* usageStore() const { return usage_; }
    AccountListModel* accountModel() const { return model_; }
    // The open add dialog, if any.
    AddAccountDialog* addDialog() const { return addDialog_; }
    // The alert's text while it is shown.
    std::optional<QString> errorMessage() const { return errorMessage_; }

    void openAddDialog();

    // Adds the "Machines" tab over the user's other machines.
    void setRemoteHosts(hosts::RemoteHostStore* store);
    MachinesPage* machinesPage() const { return machines_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void watchOtherRelays(bool watching);
    // The window is kept for the next opening, which starts afresh: the Gemini tab and no
    // usage results.
    void closeEvent(QCloseEvent* event) override;

private:
    QLayout* makeHeader();
    QWidget* makeEmptyPage();
    QWidget* makeRowsPage();
    void insertRows(int first, int last);
    void removeRows(int first, int last);
    void dropRow(AccountRowWidget* widget);
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

    QPointer<AccountStore> accounts_;
    QPointer<GeminiRelayStore> relay_;
    bool watchingOtherRelays_ = false;
    QPointer<UsageHistoryStore> history_;
    std::function<void(const QString&)> openWindow_;
    Clock now_;
    ProviderEndpoints endpoints_;
    ProviderUsageStore* usage_ = nullptr;
    AccountListModel* model_;
    StoreChangeCoalescer* relayCoalescer_;
    std::optional<QString> errorMessage_;
    QPointer<QMessageBox> alert_;
    QPointer<AddAccountDialog> addDialog_;

    QTabBar* providers_;
    RelayToolbarStatus* relayStatus_;
    QPushButton* relayButton_;
    MachinesPage* machines_ = nullptr;
    QLabel* keyStorage_;
    QStackedWidget* body_;
    QLabel* emptyText_;
    QVBoxLayout* rowsLayout_;
    std::vector<AccountRowWidget*> rows_;
};

}  // namespace qm::gui
