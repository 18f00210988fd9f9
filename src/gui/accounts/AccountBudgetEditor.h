#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <optional>

#include "accounts/ApiAccountModels.h"
#include "core/Clock.h"
#include "core/UsageModels.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace qm {
class AccountStore;
class UsageHistoryStore;
}  // namespace qm

namespace qm::gui {

class StoreChangeCoalescer;

// One account's "Daily budget", "Monthly budget" and "Alert at" fields, with today's and this
// month's spend against them. "Save" checks the three fields and hands them to the account
// store; input that is not a number, negative, or a threshold beyond 1 to 100% is named in a
// message and changes nothing. Fields the user is editing are not overwritten by store changes.
class AccountBudgetEditor : public QWidget {
    Q_OBJECT
public:
    AccountBudgetEditor(AccountStore* accounts, UsageHistoryStore* history,
                        ApiAccountProvider provider, QString accountId, Clock now = {},
                        QWidget* parent = nullptr);

    // How long "Budgets saved." stays; an error stays until a field changes.
    static constexpr std::chrono::milliseconds kConfirmationShownFor{std::chrono::seconds(4)};

    // The message under the fields, empty when there is none.
    QString message() const;

    // Reads the fields and saves them; false (with the reason shown) when nothing was saved.
    bool save();

private:
    void showStored();
    void showSpend();
    void showMessage(const QString& text, bool isError);

    QPointer<AccountStore> accounts_;
    QPointer<UsageHistoryStore> history_;
    ApiAccountProvider provider_;
    QString id_;
    Clock now_;
    bool edited_ = false;
    QLineEdit* daily_;
    QLineEdit* monthly_;
    QLineEdit* alertAt_;
    QPushButton* save_;
    QLabel* spend_;
    QLabel* message_;
    bool messageIsError_ = false;
    QTimer confirmationTimer_;
    StoreChangeCoalescer* spendUpdates_;
};

}  // namespace qm::gui
