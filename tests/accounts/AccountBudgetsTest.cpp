#include <gtest/gtest.h>

#include <cmath>

#include "accounts/AccountStore.h"
#include "accounts/MemorySecretBackend.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

using namespace qm;
using qm::test::readAll;
using qm::test::TempDir;
using P = ApiAccountProvider;

namespace {

TEST(AccountBudgets, BadValuesAreRefusedAndChangeNothing) {
    TempDir dir;
    const QString path = AccountConfigStore::pathIn(dir.path());
    AccountStore store(AccountConfigStore(path),
                       KeychainStore(std::make_shared<MemorySecretBackend>()));
    QString gemini, grok;
    ASSERT_FALSE(store.addAccount(P::gemini, QStringLiteral("g"), QStringLiteral("k"), std::nullopt,
                                  &gemini));
    ASSERT_FALSE(
        store.addAccount(P::grok, QStringLiteral("x"), QStringLiteral("k"), std::nullopt, &grok));
    const QByteArray before = readAll(path);

    const struct {
        P provider;
        QString id;
        double daily, monthly;
        int pct;
        const char* message;
    } refused[] = {
        {P::gemini, gemini, -1, 0, 80,
         "The daily budget must be a number of US dollars, zero or more."},
        {P::gemini, gemini, 0, std::nan(""), 80,
         "The monthly budget must be a number of US dollars, zero or more."},
        {P::gemini, gemini, 1, 1, 101, "Alert at must be a whole percent from 1 to 100."},
        {P::gemini, gemini, 1, 1, 0, "Alert at must be a whole percent from 1 to 100."},
        {P::gemini, QStringLiteral("missing"), 1, 1, 80, "There is no such account."},
        {P::grok, grok, 1, 1, 80, "xAI accounts have no budgets."},
    };
    for (const auto& attempt : refused) {
        const std::optional<AccountStoreError> error = store.setBudgets(
            attempt.provider, attempt.id, attempt.daily, attempt.monthly, attempt.pct);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->description, attempt.message);
    }
    EXPECT_EQ(readAll(path), before);
    EXPECT_EQ(store.data().geminiAccounts.at(0).alertThresholdPct, 80);
}

}  // namespace
