#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "accounts/AccountConfigStore.h"
#include "accounts/ApiAccountModels.h"
#include "accounts/KeychainStore.h"
#include "core/Clock.h"
#include "core/SharedFile.h"

namespace qm {

// The one owner of the API account records while the program runs. Every change is saved to
// config.json before it becomes visible; keys go to the secret store under the account id.
// Main thread only. Operations never throw: a failure comes back as an error and changes
// nothing that was published.
class AccountStore : public QObject {
    Q_OBJECT
public:
    AccountStore(AccountConfigStore storage, KeychainStore keychain, Clock now = {},
                 QObject* parent = nullptr);

    ApiAccountStorageData data() const { return data_; }
    std::vector<ApiAccountSummary> summaries(ApiAccountProvider provider) const;
    std::optional<QString> selectedAccountId(ApiAccountProvider provider) const;
    const KeychainStore& keychain() const { return keychain_; }
    const AccountConfigStore& storage() const { return storage_; }
    // That config.json could not be read (and, after the first save, where it was kept), or
    // why the last save failed. Cleared by a save without either.
    std::optional<QString> lastError() const { return lastError_; }

    // On success `newId` (when given) receives the new account's id.
    std::optional<AccountStoreError> addAccount(ApiAccountProvider provider, const QString& alias,
                                                const QString& apiKey,
                                                const std::optional<QString>& detail,
                                                QString* newId = nullptr);
    // The account is gone from memory and file even when deleting its key then fails.
    std::optional<AccountStoreError> removeAccount(ApiAccountProvider provider, const QString& id);
    std::optional<AccountStoreError> setSelected(ApiAccountProvider provider,
                                                 const std::optional<QString>& id);
    std::optional<AccountStoreError> setPrimary(ApiAccountProvider provider, const QString& id);
    std::optional<AccountStoreError> setActive(ApiAccountProvider provider, const QString& id,
                                               bool isActive);
    // Budgets in US dollars (0: none), each zero or more; the alert threshold a whole percent
    // from 1 to 100. Gemini, Anthropic and OpenAI accounts only; nothing changes on a refusal.
    std::optional<AccountStoreError> setBudgets(ApiAccountProvider provider, const QString& id,
                                                double dailyBudgetUsd, double monthlyBudgetUsd,
                                                int alertThresholdPct);

    // Reads config.json again when another process changed it, and publishes what changed.
    // A watcher calls this on its own; callers that must see the newest accounts at once
    // (the relay resolving a key) call it too: it costs one stat when nothing changed.
    bool refreshIfChanged();

    // Ids that hold a key in the secret store but name no account of config.json as last
    // read (a process killed while adding an account leaves one). Nothing when that cannot be
    // told: the backend cannot list its keys, or config.json could not be read.
    std::optional<QStringList> orphanKeys() const;

    struct PruneResult {
        QStringList removed;
        std::optional<QString> error;  // why nothing (or not everything) was removed
    };
    // Deletes the keys without an account, judged under the file's lock against config.json
    // as it is now; `removing` hears of each one before it goes. Keys are never deleted on
    // a guess: refused while config.json is missing or unreadable, or while a copy kept aside
    // ("config.json.corrupt-*") may name the accounts that own them.
    PruneResult pruneOrphanKeys(const std::function<void(const QString& id)>& removing = {});

Q_SIGNALS:
    void changed();

private:
    using Edit = std::function<std::optional<AccountStoreError>(ApiAccountStorageData&)>;
    using Undo = std::function<void()>;
    // Under the file's lock: re-reads the file if another process changed it, applies `edit`
    // to what it holds, saves, and publishes only when the save succeeded; `undo` runs when
    // the save failed after `edit` succeeded.
    std::optional<AccountStoreError> commit(const Edit& edit, const Undo& undo = {});
    void reload();
    void watchFile();
    std::int64_t now() const;

    AccountConfigStore storage_;
    KeychainStore keychain_;
    Clock now_;
    ApiAccountStorageData data_;
    std::optional<QString> lastError_;
    bool moveAsideBeforeSave_ = false;
    AccountConfigStore::LoadState loadState_ = AccountConfigStore::LoadState::Missing;
    FileStamp stamp_;  // config.json as this process last read or wrote it
    QFileSystemWatcher* watcher_ = nullptr;
};

}  // namespace qm
