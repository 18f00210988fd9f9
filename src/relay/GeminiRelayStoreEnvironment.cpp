#include "relay/GeminiRelayStoreEnvironment.h"

#include "accounts/AccountStore.h"
#include "history/UsageHistoryStore.h"

namespace qm {

GeminiRelayEnvironment relayEnvironment(const AccountStore& accounts, UsageHistoryStore& history) {
    GeminiRelayEnvironment environment;
    environment.geminiAccounts = [&accounts] {
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
