#include <gtest/gtest.h>

#include "accounts/AccountStore.h"
#include "accounts/MemorySecretBackend.h"
#include "history/UsageHistoryStore.h"
#include "relay/GeminiRelayStoreEnvironment.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

namespace qm {
namespace {

// Counts the reads that reach the secret store.
class CountingBackend : public MemorySecretBackend {
public:
    SecretStatus copy(const QString& service, const QString& account, QByteArray& value) override {
        ++reads;
        return MemorySecretBackend::copy(service, account, value);
    }
    int reads = 0;
};

TEST(RelayEnvironment, KeysAreReadOncePerAccountUntilTheAccountsChange) {
    test::TempDir folder;
    auto backend = std::make_shared<CountingBackend>();
    AccountStore accounts(AccountConfigStore(AccountConfigStore::pathIn(folder.path())),
                          KeychainStore(backend));
    UsageHistoryStore history(UsageHistoryFileStore(UsageHistoryFileStore::pathIn(folder.path())));
    QString work;
    ASSERT_FALSE(accounts.addAccount(ApiAccountProvider::gemini, QStringLiteral("work"),
                                     QStringLiteral("KEY-1"), std::nullopt, &work));
    const GeminiRelayEnvironment environment = relayEnvironment(accounts, history);

    backend->reads = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(environment.readSecret(work).value, "KEY-1");
    EXPECT_EQ(backend->reads, 1);

    // Any change of the accounts may have changed a key: the next request reads again.
    QString home;
    ASSERT_FALSE(accounts.addAccount(ApiAccountProvider::gemini, QStringLiteral("home"),
                                     QStringLiteral("KEY-2"), std::nullopt, &home));
    EXPECT_EQ(environment.readSecret(work).value, "KEY-1");
    EXPECT_EQ(environment.readSecret(home).value, "KEY-2");
    EXPECT_EQ(backend->reads, 3);

    // A failed read is not kept, so a locked keyring that opens again is noticed.
    ASSERT_FALSE(accounts.removeAccount(ApiAccountProvider::gemini, home));
    backend->failWith(SecretStatus{-25308, QStringLiteral("The keyring is locked.")});
    EXPECT_TRUE(environment.readSecret(work).error);
    backend->failWith(std::nullopt);
    EXPECT_EQ(environment.readSecret(work).value, "KEY-1");
    EXPECT_FALSE(environment.readSecret(home).value) << "a removed account's key is gone";
}

}  // namespace
}  // namespace qm
