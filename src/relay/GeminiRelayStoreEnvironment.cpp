#include "relay/GeminiRelayStoreEnvironment.h"

#include <QFileInfo>
#include <QHash>
#include <memory>

#include "accounts/AccountStore.h"
#include "history/UsageHistoryStore.h"

namespace qm {

GeminiRelayEnvironment relayEnvironment(AccountStore& accounts, UsageHistoryStore& history) {
    GeminiRelayEnvironment environment;
    environment.geminiAccounts = [&accounts] {
        // An account another process added a moment ago is served at once: one stat when
        // nothing changed.
        accounts.refreshIfChanged();
        std::vector<GeminiRelayAccounts::Candidate> candidates;
        for (const GeminiAccount& account : accounts.data().geminiAccounts) {
            candidates.push_back(
                {account.id, account.alias, account.isPrimary, account.customRelayKey});
        }
        return candidates;
    };
    // A secret-store read costs milliseconds (a D-Bus round trip) on the thread that also
    // draws the windows, so each key is read once and kept until the accounts change, here or,
    // through the file watch above, in another process. Failures are not kept: the next request
    // tries again.
    auto keys = std::make_shared<QHash<QString, QString>>();
    QObject::connect(&accounts, &AccountStore::changed, &accounts, [keys] { keys->clear(); });
    environment.readSecret = [&accounts, keys](const QString& accountId) {
        GeminiRelayAccounts::SecretRead result;
        if (const auto kept = keys->constFind(accountId); kept != keys->cend()) {
            result.value = *kept;
            return result;
        }
        const KeychainRead read = accounts.keychain().read(accountId);
        result.value = read.value;
        if (read.error) result.error = read.error->description();
        if (read.value && !read.error) keys->insert(accountId, *read.value);
        return result;
    };
    environment.recordUsage = [&history](const GeminiUsageRecord& record) {
        return history.appendGeminiRecord(record) == UsageHistoryStore::Outcome::saved;
    };
    environment.usageSaveProblem = [&history] { return history.saveProblem(); };
    environment.watchUsageSaving = [&history](QObject* context, std::function<void()> changed) {
        QObject::connect(&history, &UsageHistoryStore::changed, context, std::move(changed));
    };
    // Beside the history: the processes that share it share their relays' whereabouts.
    environment.presenceFolder =
        RelayPresence::folderIn(QFileInfo(history.historyPath()).absolutePath());
    return environment;
}

}  // namespace qm
