#include "accounts/AccountStore.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <algorithm>
#include <cmath>

#include "core/AtomicFile.h"
#include "core/SharedFile.h"

namespace qm {
namespace {

// Calls `f` with the provider's account array; the four arrays hold different record types.
template <typename Data, typename F>
decltype(auto) withAccounts(Data& data, ApiAccountProvider provider, F&& f) {
    switch (provider) {
        case ApiAccountProvider::gemini:
            return f(data.geminiAccounts);
        case ApiAccountProvider::anthropic:
            return f(data.anthropicApiAccounts);
        case ApiAccountProvider::openAi:
            return f(data.openAiApiAccounts);
        case ApiAccountProvider::grok:
            break;
    }
    return f(data.grokApiAccounts);
}

template <typename Account>
void normalisePrimary(std::vector<Account>& accounts) {
    if (accounts.empty()) return;
    if (std::none_of(accounts.begin(), accounts.end(),
                     [](const Account& a) { return a.isPrimary; }))
        accounts.front().isPrimary = true;
}

template <typename Account>
void markPrimary(std::vector<Account>& accounts, const QString& id) {
    for (Account& account : accounts) account.isPrimary = account.id == id;
}

const QString kUnreadable = QStringLiteral("config.json could not be read");

}  // namespace

AccountStore::AccountStore(AccountConfigStore storage, KeychainStore keychain, Clock now,
                           QObject* parent)
    : QObject(parent),
      storage_(std::move(storage)),
      keychain_(std::move(keychain)),
      now_(orSystemClock(std::move(now))) {
    // Keys without an account are only reported here: deleting them at start would delete
    // the keys of accounts a kept-aside or briefly missing config.json still names.
    AtomicFile::removeStaleTemporaries(storage_.configPath());
    reload();
    watchFile();
}

void AccountStore::reload() {
    stamp_ = FileStamp::of(storage_.configPath());
    AccountConfigStore::LoadResult loaded = storage_.load(this->now());
    using State = AccountConfigStore::LoadState;
    loadState_ = loaded.state;
    // The accounts of a file we cannot decode may still matter to the user: the file is kept
    // aside before the first save rather than replaced by what was added since. What this
    // process already knew stays.
    if (loaded.state == State::Undecodable || loaded.state == State::Unreadable) {
        moveAsideBeforeSave_ = true;
        lastError_ = kUnreadable + QStringLiteral("; it will be kept aside at the next save.");
        return;
    }
    moveAsideBeforeSave_ = false;
    data_ = std::move(loaded.data);
}

namespace {

QStringList knownIds(const ApiAccountStorageData& data) {
    QStringList known;
    for (ApiAccountProvider provider : kAllApiAccountProviders)
        for (const ApiAccountSummary& row : qm::summaries(data, provider)) known.append(row.id);
    return known;
}

QStringList withoutAccount(const QStringList& stored, const ApiAccountStorageData& data) {
    const QStringList known = knownIds(data);
    QStringList orphans;
    for (const QString& id : stored)
        if (!known.contains(id)) orphans.append(id);
    return orphans;
}

}  // namespace

std::optional<QStringList> AccountStore::orphanKeys() const {
    if (moveAsideBeforeSave_) return std::nullopt;  // the accounts are unknown
    const std::optional<QStringList> stored = keychain_.storedAccounts();
    if (!stored) return std::nullopt;
    return withoutAccount(*stored, data_);
}

AccountStore::PruneResult AccountStore::pruneOrphanKeys(
    const std::function<void(const QString&)>& removing) {
    PruneResult result;
    const QString path = storage_.configPath();
    const QFileInfo config(path);
    const QStringList aside =
        config.dir().entryList({config.fileName() + QStringLiteral(".corrupt-*")}, QDir::Files);
    if (!aside.isEmpty()) {
        result.error = QStringLiteral("Keys were not removed: ") +
                       aside.join(QStringLiteral(", ")) +
                       QStringLiteral(
                           " may name the accounts they belong to. Restore or delete "
                           "it first.");
        return result;
    }
    // Under the lock: an add in progress writes the key before the account, and that key
    // must not look like one without an account.
    std::optional<FileError> lockError;
    const FileLock lock = FileLock::acquire(path, &lockError);
    if (!lock.held()) {
        result.error = lockError->message;
        return result;
    }
    const AccountConfigStore::LoadResult loaded = storage_.load(now());
    if (loaded.state != AccountConfigStore::LoadState::Loaded) {
        result.error =
            loaded.state == AccountConfigStore::LoadState::Missing
                ? QStringLiteral("Keys were not removed: ") + path + QStringLiteral(" is missing.")
                : QStringLiteral("Keys were not removed: ") + path +
                      QStringLiteral(" could not be read.");
        return result;
    }
    const std::optional<QStringList> stored = keychain_.storedAccounts();
    if (!stored) {
        result.error = QStringLiteral("Keys were not removed: ") + keychain_.backendDescription() +
                       QStringLiteral(" could not list the stored keys.");
        return result;
    }
    for (const QString& id : withoutAccount(*stored, loaded.data)) {
        if (removing) removing(id);
        const SecretStatus status = keychain_.deleteItem(id);
        if (status.ok() || status.code == kSecretItemNotFound) {
            result.removed.append(id);
        } else if (!result.error) {
            result.error = KeychainStoreError{status.code, status.message}.description();
        }
    }
    return result;
}

void AccountStore::watchFile() {
    watcher_ = new QFileSystemWatcher(this);
    // The folder too: a file replaced by a rename drops out of a watch on the file alone.
    const QString folder = QFileInfo(storage_.configPath()).absolutePath();
    if (QFileInfo(folder).isDir()) watcher_->addPath(folder);
    if (QFileInfo::exists(storage_.configPath())) watcher_->addPath(storage_.configPath());
    const auto check = [this] {
        if (QFileInfo::exists(storage_.configPath()) &&
            !watcher_->files().contains(storage_.configPath()))
            watcher_->addPath(storage_.configPath());
        refreshIfChanged();
    };
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, check);
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, check);
}

bool AccountStore::refreshIfChanged() {
    if (FileStamp::of(storage_.configPath()) == stamp_) return false;
    const ApiAccountStorageData before = data_;
    const std::optional<QString> errorBefore = lastError_;
    reload();
    if (data_ == before && lastError_ == errorBefore) return false;
    Q_EMIT changed();
    return true;
}

std::int64_t AccountStore::now() const {
    return now_();
}

std::vector<ApiAccountSummary> AccountStore::summaries(ApiAccountProvider provider) const {
    return qm::summaries(data_, provider);
}

std::optional<QString> AccountStore::selectedAccountId(ApiAccountProvider provider) const {
    return data_.selectedId(provider);
}

std::optional<AccountStoreError> AccountStore::commit(const Edit& edit, const Undo& undo) {
    // Another process may have changed the file since this one read it: the change is applied
    // to the file as it is now, under its lock, so neither side loses the other's work.
    std::optional<FileError> lockError;
    const FileLock lock = FileLock::acquire(storage_.configPath(), &lockError);
    if (!lock.held()) return AccountStoreError::fileError(lockError->message);
    const bool reloaded = FileStamp::of(storage_.configPath()) != stamp_;
    if (reloaded) reload();

    ApiAccountStorageData next = data_;
    if (std::optional<AccountStoreError> refused = edit(next)) {
        if (reloaded) Q_EMIT changed();  // what another process wrote is published anyway
        return refused;
    }
    const auto failed = [&](AccountStoreError error) {
        if (undo) undo();
        Q_EMIT changed();
        return error;
    };
    std::optional<QString> notice;
    if (moveAsideBeforeSave_ && QFileInfo::exists(storage_.configPath())) {
        QString error;
        const std::optional<QString> aside = AtomicFile::moveAside(storage_.configPath(), &error);
        if (!aside) {
            const QString text = kUnreadable + QStringLiteral(" and was not replaced: ") + error;
            lastError_ = text;
            return failed(AccountStoreError::fileError(text));
        }
        notice = kUnreadable + QStringLiteral("; it was kept as ") + *aside;
    }
    moveAsideBeforeSave_ = false;
    if (std::optional<AccountStoreError> error = storage_.save(next)) {
        lastError_ =
            notice ? *notice + QStringLiteral("; ") + error->description : error->description;
        stamp_ = FileStamp::of(storage_.configPath());
        return failed(*error);
    }
    stamp_ = FileStamp::of(storage_.configPath());
    data_ = std::move(next);
    lastError_ = notice;
    Q_EMIT changed();
    return std::nullopt;
}

std::optional<AccountStoreError> AccountStore::addAccount(ApiAccountProvider provider,
                                                          const QString& alias,
                                                          const QString& apiKey,
                                                          const std::optional<QString>& detail,
                                                          QString* newId) {
    const QString cleanAlias = ApiAccounts::trimmed(alias);
    const QString cleanKey = ApiAccounts::trimmed(apiKey);
    if (cleanAlias.isEmpty()) return AccountStoreError::of(AccountStoreError::Kind::emptyAlias);
    if (cleanKey.isEmpty()) return AccountStoreError::of(AccountStoreError::Kind::emptyApiKey);

    const QString id = ApiAccounts::newId();
    const QString preview = ApiAccounts::keyPreview(cleanKey);
    std::optional<QString> cleanDetail;
    if (detail && !ApiAccounts::trimmed(*detail).isEmpty())
        cleanDetail = ApiAccounts::trimmed(*detail);

    const std::int64_t created = now();
    const auto edit = [&](ApiAccountStorageData& next) -> std::optional<AccountStoreError> {
        // The key first: a process killed between the two writes leaves a key without an
        // account, which `accounts list` reports and `accounts prune` removes, never an
        // account without its key.
        if (const std::optional<KeychainStoreError> error = keychain_.save(cleanKey, id))
            return AccountStoreError{AccountStoreError::Kind::keychain, error->description()};
        withAccounts(next, provider, [&](auto& accounts) {
            using Account = typename std::decay_t<decltype(accounts)>::value_type;
            Account account;
            account.id = id;
            account.alias = cleanAlias;
            account.keyPreview = preview;
            account.isPrimary = accounts.empty();
            account.isActive = true;
            account.createdAtMs = created;
            if constexpr (std::is_same_v<Account, GeminiAccount>) {
                account.projectId = cleanDetail;
            } else if constexpr (std::is_same_v<Account, AdminApiAccount>) {
                account.organizationId = cleanDetail;
            } else {
                account.teamId = cleanDetail;
            }
            accounts.push_back(std::move(account));
        });
        std::optional<QString>& selected = next.selectedId(provider);
        if (!selected) selected = id;
        return std::nullopt;
    };
    // The key of an account that was never saved would be an orphan nobody can remove.
    if (std::optional<AccountStoreError> error = commit(edit, [&] { keychain_.deleteItem(id); }))
        return error;
    if (newId) *newId = id;
    return std::nullopt;
}

std::optional<AccountStoreError> AccountStore::removeAccount(ApiAccountProvider provider,
                                                             const QString& id) {
    const auto edit = [&](ApiAccountStorageData& next) -> std::optional<AccountStoreError> {
        std::optional<QString> firstRemaining;
        withAccounts(next, provider, [&](auto& accounts) {
            std::erase_if(accounts, [&](const auto& account) { return account.id == id; });
            if (!accounts.empty()) firstRemaining = accounts.front().id;
            normalisePrimary(accounts);
        });
        std::optional<QString>& selected = next.selectedId(provider);
        if (selected == id) selected = firstRemaining;
        return std::nullopt;
    };
    if (std::optional<AccountStoreError> error = commit(edit)) return error;
    const SecretStatus status = keychain_.deleteItem(id);
    if (!status.ok() && status.code != kSecretItemNotFound) {
        return AccountStoreError{AccountStoreError::Kind::keychain,
                                 KeychainStoreError{status.code, status.message}.description()};
    }
    return std::nullopt;
}

std::optional<AccountStoreError> AccountStore::setSelected(ApiAccountProvider provider,
                                                           const std::optional<QString>& id) {
    return commit([&](ApiAccountStorageData& next) -> std::optional<AccountStoreError> {
        next.selectedId(provider) = id;
        return std::nullopt;
    });
}

std::optional<AccountStoreError> AccountStore::setPrimary(ApiAccountProvider provider,
                                                          const QString& id) {
    return commit([&](ApiAccountStorageData& next) -> std::optional<AccountStoreError> {
        withAccounts(next, provider, [&](auto& accounts) { markPrimary(accounts, id); });
        return std::nullopt;
    });
}

std::optional<AccountStoreError> AccountStore::setActive(ApiAccountProvider provider,
                                                         const QString& id, bool isActive) {
    return commit([&](ApiAccountStorageData& next) -> std::optional<AccountStoreError> {
        withAccounts(next, provider, [&](auto& accounts) {
            const auto it = std::find_if(accounts.begin(), accounts.end(),
                                         [&](const auto& account) { return account.id == id; });
            if (it != accounts.end()) it->isActive = isActive;
        });
        return std::nullopt;
    });
}

std::optional<AccountStoreError> AccountStore::setBudgets(ApiAccountProvider provider,
                                                          const QString& id, double dailyBudgetUsd,
                                                          double monthlyBudgetUsd,
                                                          int alertThresholdPct) {
    const auto refuse = [](const char* text) {
        return AccountStoreError{AccountStoreError::Kind::invalidBudget, QString::fromUtf8(text)};
    };
    if (provider == ApiAccountProvider::grok) return refuse("xAI accounts have no budgets.");
    if (!std::isfinite(dailyBudgetUsd) || dailyBudgetUsd < 0)
        return refuse("The daily budget must be a number of US dollars, zero or more.");
    if (!std::isfinite(monthlyBudgetUsd) || monthlyBudgetUsd < 0)
        return refuse("The monthly budget must be a number of US dollars, zero or more.");
    if (alertThresholdPct < 1 || alertThresholdPct > 100)
        return refuse("Alert at must be a whole percent from 1 to 100.");
    // Applied to the newest file contents, so another process's edits are kept.
    return commit([&](ApiAccountStorageData& next) -> std::optional<AccountStoreError> {
        const bool found = withAccounts(next, provider, [&](auto& accounts) {
            for (auto& account : accounts) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(account)>, GrokApiAccount>) {
                    if (account.id != id) continue;
                    account.dailyBudgetUsd = dailyBudgetUsd;
                    account.monthlyBudgetUsd = monthlyBudgetUsd;
                    account.alertThresholdPct = alertThresholdPct;
                    return true;
                }
            }
            return false;
        });
        if (!found) return refuse("There is no such account.");
        return std::nullopt;
    });
}

}  // namespace qm
