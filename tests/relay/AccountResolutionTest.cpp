#include <gtest/gtest.h>

#include <map>

#include "relay/GeminiRelayAccountResolution.h"
#include "support/QtPrinters.h"

namespace qm {
namespace {

using namespace GeminiRelayAccounts;

GeminiHttpRequest request(std::vector<GeminiHttpRequest::QueryItem> query,
                          std::map<QString, QString> headers = {}) {
    GeminiHttpRequest r;
    r.method = QStringLiteral("GET");
    r.path = QStringLiteral("/v1beta/models");
    r.queryItems = std::move(query);
    r.headers = std::move(headers);
    return r;
}

TEST(RelayCredential, TakenFromHeaderThenQueryThenBearer) {
    EXPECT_EQ(extractCredential(request({{"key", "from-query"}}, {{"x-goog-api-key", " head "}})),
              QStringLiteral("head"));
    EXPECT_EQ(extractCredential(request({{"KEY", "quotameter-work"}})),
              QStringLiteral("quotameter-work"));
    // Only the first "key" item counts, even when it is blank.
    EXPECT_EQ(extractCredential(request({{"key", " "}, {"key", "later"}})), std::nullopt);
    EXPECT_EQ(extractCredential(request({{"key", std::nullopt}}, {{"authorization", "Bearer b"}})),
              QStringLiteral("b"));
    EXPECT_EQ(extractCredential(request({}, {{"authorization", "bearer  tok "}})),
              QStringLiteral("tok"));
    EXPECT_EQ(extractCredential(request({}, {{"authorization", "Basic abc"}})), std::nullopt);
    EXPECT_EQ(extractCredential(request({}, {{"authorization", "Bearer   "}})), std::nullopt);
    EXPECT_EQ(extractCredential(request({}, {{"x-goog-api-key", "  "}})), std::nullopt);
}

class RelayResolution : public ::testing::Test {
protected:
    std::vector<Candidate> accounts{
        {"id-personal", "personal", false, std::nullopt},
        {"id-work", "Work", true, QStringLiteral("  team-secret ")},
        {"id-prefixed", "other", false, QStringLiteral("quotameter-personal")},
    };
    std::map<QString, SecretRead> secrets{
        {"id-personal", {QStringLiteral(" key-p \n"), std::nullopt}},
        {"id-work", {QStringLiteral("key-w"), std::nullopt}},
        {"id-prefixed", {QStringLiteral("key-x"), std::nullopt}},
    };
    SecretReader reader = [this](const QString& id) {
        const auto it = secrets.find(id);
        return it == secrets.end() ? SecretRead{} : it->second;
    };
    GeminiRelayAccountResolution resolve(const std::optional<QString>& key) {
        return resolveAccount(key, accounts, reader);
    }
};

TEST_F(RelayResolution, MissingAndUnmatchedCredentials) {
    GeminiRelayAccountResolution missing;
    missing.missingCredentials = true;
    EXPECT_EQ(resolve(std::nullopt), missing);
    EXPECT_EQ(resolve(QStringLiteral(" \n")), missing);

    EXPECT_EQ(resolve(QStringLiteral("AIzaRealProviderKey")), GeminiRelayAccountResolution{});
    GeminiRelayAccountResolution prefixOnly;
    prefixOnly.aliasUsed = QString();
    EXPECT_EQ(resolve(QStringLiteral("quotameter-")), prefixOnly);
    GeminiRelayAccountResolution nobody;
    nobody.aliasUsed = QStringLiteral("nobody");
    EXPECT_EQ(resolve(QStringLiteral("quotameter-nobody")), nobody);
}

TEST_F(RelayResolution, PrefixKeysMatchAliasesInAnyCase) {
    for (const char* key : {"quotameter-Work", "QUOTAMETER-WORK", "Quotameter- work "}) {
        const auto r = resolve(QString::fromLatin1(key));
        EXPECT_EQ(r.accountId, QStringLiteral("id-work")) << key;
        EXPECT_EQ(r.accountAlias, QStringLiteral("Work"));
        EXPECT_EQ(r.apiKey, QStringLiteral("key-w"));
        EXPECT_FALSE(r.missingCredentials);
    }
    EXPECT_EQ(resolve(QStringLiteral("quotameter- work ")).aliasUsed, QStringLiteral("work"));
}

TEST_F(RelayResolution, CustomKeysAreExactAndWinOverPrefixes) {
    const auto custom = resolve(QStringLiteral(" team-secret"));
    EXPECT_EQ(custom.accountId, QStringLiteral("id-work"));
    EXPECT_EQ(custom.aliasUsed, QStringLiteral("Work"));
    EXPECT_EQ(resolve(QStringLiteral("TEAM-SECRET")), GeminiRelayAccountResolution{});
    // "quotameter-personal" is someone's custom key before it is the alias "personal".
    EXPECT_EQ(resolve(QStringLiteral("quotameter-personal")).accountId,
              QStringLiteral("id-prefixed"));
    EXPECT_EQ(resolve(QStringLiteral("quotameter-PERSONAL")).accountId,
              QStringLiteral("id-personal"));
}

TEST_F(RelayResolution, DefaultWordsPickThePrimaryOrFirstAccount) {
    EXPECT_EQ(resolve(QStringLiteral("quotameter-default")).accountId, QStringLiteral("id-work"));
    EXPECT_EQ(resolve(QStringLiteral("quotameter-Primary")).aliasUsed, QStringLiteral("Primary"));
    accounts[1].isPrimary = false;
    EXPECT_EQ(resolve(QStringLiteral("quotameter-primary")).accountId,
              QStringLiteral("id-personal"));
    // An account named "default" is found by its alias first.
    accounts[2].alias = QStringLiteral("Default");
    EXPECT_EQ(resolve(QStringLiteral("quotameter-default")).accountId,
              QStringLiteral("id-prefixed"));
    accounts.clear();
    GeminiRelayAccountResolution none;
    none.aliasUsed = QStringLiteral("default");
    EXPECT_EQ(resolve(QStringLiteral("quotameter-default")), none);
}

TEST_F(RelayResolution, SecretOutcomes) {
    EXPECT_EQ(resolve(QStringLiteral("quotameter-PERSONAL")).apiKey, QStringLiteral("key-p"));
    secrets["id-work"] = SecretRead{QStringLiteral("   "), std::nullopt};
    auto blank = resolve(QStringLiteral("quotameter-work"));
    EXPECT_EQ(blank.accountId, QStringLiteral("id-work"));
    EXPECT_FALSE(blank.apiKey);
    EXPECT_FALSE(blank.keychainError);
    secrets["id-work"] = SecretRead{std::nullopt, QStringLiteral("The secret service is locked.")};
    auto failed = resolve(QStringLiteral("quotameter-work"));
    EXPECT_FALSE(failed.apiKey);
    EXPECT_EQ(failed.keychainError, QStringLiteral("The secret service is locked."));
    secrets.erase("id-work");
    EXPECT_EQ(resolve(QStringLiteral("quotameter-work")).apiKey, std::nullopt);
}

}  // namespace
}  // namespace qm
