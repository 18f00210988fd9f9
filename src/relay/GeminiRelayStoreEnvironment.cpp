#include "relay/GeminiRelayStoreEnvironment.h"

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
    environment.readSecret = [&accounts](const QString& accountId) {
        const KeychainRead read = accounts.keychain().read(accountId);
        GeminiRelayAccounts::SecretRead result;
        result.value = read.value;
        if (read.error) result.error = read.error->description();
        return result;
    };
    environment.recordUsage = [&history](const GeminiUsageRecord& record) {
        history.appendGeminiRecord(record);
    };
    return environment;
}

}  // namespace qm
