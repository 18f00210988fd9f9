#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "ProviderTestSupport.h"
#include "accounts/AccountStore.h"
#include "accounts/MemorySecretBackend.h"
#include "core/Iso8601.h"
#include "history/UsageHistoryStore.h"
#include "providers/ProviderUsageStore.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"

using namespace qm;
using namespace qm::test;
using namespace qm::test::FakeProviderBodies;
using P = ApiAccountProvider;

namespace {

using test::kNow;

struct HandOff {
    std::vector<UsageBucket> buckets;
    QString provider;
    QString accountId;
};

// Four fake providers, an account store with a memory key store and a history file.
struct Fixture {
    TempDir dir;
    std::shared_ptr<MemorySecretBackend> secrets = std::make_shared<MemorySecretBackend>();
    AccountStore accounts{AccountConfigStore(AccountConfigStore::pathIn(dir.path())),
                          KeychainStore(secrets), [] { return kNow; }};
    UsageHistoryStore history{UsageHistoryFileStore(UsageHistoryFileStore::pathIn(dir.path())),
                              [] { return kNow; }};
    std::unique_ptr<FakeProviderServer> anthropic =
        FakeProviderServer::playing(FakeProvider::anthropic, "sk-ant-admin-good");
    std::unique_ptr<FakeProviderServer> openAi =
        FakeProviderServer::playing(FakeProvider::openAi, "sk-admin-good");
    std::unique_ptr<FakeProviderServer> xai =
        FakeProviderServer::playing(FakeProvider::xai, "xai-good");
    std::unique_ptr<FakeProviderServer> gemini =
        FakeProviderServer::playing(FakeProvider::gemini, "AIza-good");
    std::unique_ptr<ProviderUsageStore> store = makeStore();
    std::vector<HandOff> handOffs;

    std::unique_ptr<ProviderUsageStore> makeStore() {
        ProviderEndpoints endpoints;
        endpoints.anthropic = anthropic->baseUrl();
        endpoints.openAi = openAi->baseUrl();
        endpoints.xai = xai->baseUrl();
        endpoints.gemini = gemini->baseUrl();
        endpoints.apiTimeout = kShortTimeout;
        endpoints.geminiTimeout = kShortTimeout;
        auto made = std::make_unique<ProviderUsageStore>(endpoints, [] { return kNow; });
        made->attachHistoryStore(&history);
        made->setHistorySink([this](const std::vector<UsageBucket>& buckets,
                                    const QString& provider, const QString& accountId) {
            handOffs.push_back({buckets, provider, accountId});
        });
        return made;
    }
    QString account(P provider, const QString& key) {
        QString id;
        EXPECT_EQ(accounts.addAccount(provider, "acct", key, std::nullopt, &id), std::nullopt);
        return id;
    }
    void fetch(P provider, const QString& id) {
        QCoro::waitFor(store->fetchUsage(provider, id, accounts));
    }
    void validate(P provider, const QString& id) {
        QCoro::waitFor(store->validate(provider, id, accounts));
    }
};

}  // namespace

TEST(ProviderUsageStore, StatesDefaultPerAccountAndLookbackIsSevenOrThirty) {
    Fixture f;
    EXPECT_EQ(ProviderUsageStore::stateKey(P::anthropic, "abc"), "anthropic:abc");
    EXPECT_EQ(f.store->state(P::openAi, "x"), ProviderAccountUsageState{});
    f.store->setLookbackDays(30, P::openAi, "x");
    EXPECT_EQ(f.store->state(P::openAi, "x").lookbackDays, 30);
    EXPECT_EQ(f.store->state(P::anthropic, "x").lookbackDays, 7);  // keyed by provider too
    f.store->setLookbackDays(14, P::openAi, "x");
    EXPECT_EQ(f.store->state(P::openAi, "x").lookbackDays, 7);
    EXPECT_TRUE(f.openAi->requests().empty());
}

TEST(ProviderUsageStore, AnthropicFetchUsesTheRangeAndGoesToHistory) {
    Fixture f;
    const QString id = f.account(P::anthropic, "sk-ant-admin-good");
    f.store->setLookbackDays(30, P::anthropic, id);
    QSignalSpy changed(f.store.get(), &ProviderUsageStore::changed);
    f.fetch(P::anthropic, id);
    EXPECT_EQ(changed.count(), 2);  // running, done

    const ProviderAccountUsageState state = f.store->state(P::anthropic, id);
    EXPECT_FALSE(state.isFetching);
    ASSERT_TRUE(state.usageResult);
    EXPECT_TRUE(state.usageResult->ok);
    EXPECT_EQ(state.validation, std::nullopt);
    EXPECT_EQ(state.lastUpdatedAt, kNow);
    EXPECT_EQ(state.lookbackDays, 30);

    const auto request = f.anthropic->requests().at(0);
    const auto start = Iso8601::parse(request.query.queryItemValue("starting_at"));
    const auto end = Iso8601::parse(request.query.queryItemValue("ending_at"));
    ASSERT_TRUE(start && end);
    EXPECT_EQ(*end, kNow);
    EXPECT_NEAR(double(*end - *start), 30.0 * 86'400'000, 3'600'000);  // a clock change at most

    ASSERT_EQ(f.history.apiUsageRecords().size(), 1u);
    EXPECT_EQ(f.history.apiUsageRecords()[0].provider, "anthropic");
    EXPECT_EQ(f.history.apiUsageRecords()[0].accountId, id);
    EXPECT_EQ(f.history.apiUsageRecords()[0].model, "claude-sonnet-4-5");
}

TEST(ProviderUsageStore, FailedAdminFetchesAreStoredButNeverRecorded) {
    Fixture f;
    const QString id = f.account(P::anthropic, "sk-ant-admin-good");
    f.anthropic->route(
        "/v1/organizations/usage_report/messages",
        FakeProviderResponse::json(403, anthropicError("permission_error", "Admin only")));
    f.fetch(P::anthropic, id);
    const auto state = f.store->state(P::anthropic, id);
    ASSERT_TRUE(state.usageResult);
    EXPECT_EQ(state.usageResult->errorMessage, "HTTP 403: Admin only");
    EXPECT_EQ(state.errorMessage, std::nullopt);  // provider errors stay inside the result
    EXPECT_TRUE(f.handOffs.empty());
    EXPECT_TRUE(f.history.apiUsageRecords().empty());
}

TEST(ProviderUsageStore, AnEmptyOpenAIResultIsStillHandedOver) {
    Fixture f;
    const QString id = f.account(P::openAi, "sk-admin-good");
    f.openAi->route("/v1/organization/usage/completions",
                    FakeProviderResponse::json(200, openAiUsage({})));
    f.openAi->route("/v1/organization/usage/embeddings",
                    FakeProviderResponse::json(200, openAiUsage({{}})));
    f.fetch(P::openAi, id);
    ASSERT_EQ(f.handOffs.size(), 1u);
    EXPECT_TRUE(f.handOffs[0].buckets.empty());
    EXPECT_EQ(f.handOffs[0].provider, "openai");
    EXPECT_EQ(f.handOffs[0].accountId, id);
}

TEST(ProviderUsageStore, AMissingKeyKeepsTheLastResultAndShowsTheError) {
    Fixture f;
    const QString id = f.account(P::openAi, "sk-admin-good");
    f.fetch(P::openAi, id);
    const auto before = f.store->state(P::openAi, id).usageResult;
    ASSERT_TRUE(before && before->ok);

    f.secrets->update(KeychainStore::kDefaultService, id, " \n ");
    f.fetch(P::openAi, id);
    auto state = f.store->state(P::openAi, id);
    EXPECT_EQ(state.errorMessage, "API key is not available in Keychain.");
    EXPECT_EQ(state.usageResult, before);
    EXPECT_FALSE(state.isFetching);

    f.secrets->failWith(SecretStatus{-25308, QStringLiteral("Locked")});
    f.validate(P::openAi, id);
    state = f.store->state(P::openAi, id);
    EXPECT_EQ(state.errorMessage, "Keychain operation failed: Locked");
    EXPECT_FALSE(state.isValidating);
    EXPECT_EQ(f.openAi->requests().size(), 2u);  // only the first fetch's two calls
}

TEST(ProviderUsageStore, ValidationReplacesTheValidationAndClearsTheError) {
    Fixture f;
    const QString id = f.account(P::anthropic, "sk-ant-admin-good");
    f.secrets->failWith(SecretStatus{1, QStringLiteral("Locked")});
    f.validate(P::anthropic, id);
    EXPECT_TRUE(f.store->state(P::anthropic, id).errorMessage.has_value());
    f.secrets->failWith(std::nullopt);

    std::vector<ProviderAccountUsageState> seen;
    QObject::connect(f.store.get(), &ProviderUsageStore::changed,
                     [&] { seen.push_back(f.store->state(P::anthropic, id)); });
    f.validate(P::anthropic, id);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].isValidating);
    EXPECT_EQ(seen[0].errorMessage, std::nullopt);
    EXPECT_FALSE(seen[1].isValidating);
    ASSERT_TRUE(seen[1].validation);
    EXPECT_EQ(seen[1].validation->organizationId, "org-1");
    EXPECT_EQ(seen[1].lastUpdatedAt, kNow);
}

TEST(ProviderUsageStore, GeminiFetchIsAValidationWithTheDefaultText) {
    Fixture f;
    const QString good = f.account(P::gemini, "AIza-good");
    f.fetch(P::gemini, good);
    auto state = f.store->state(P::gemini, good);
    ASSERT_TRUE(state.usageResult && state.validation);
    EXPECT_TRUE(state.usageResult->ok);
    EXPECT_EQ(state.usageResult->message, state.validation->message);
    EXPECT_EQ(state.usageResult->keyInfo->modelCount, 2);

    const QString bad = f.account(P::gemini, "AIza-bad");
    f.fetch(P::gemini, bad);
    state = f.store->state(P::gemini, bad);
    EXPECT_FALSE(state.usageResult->ok);
    EXPECT_EQ(state.usageResult->errorMessage,
              "HTTP 400: API key not valid. Please pass a valid API key.");
    EXPECT_EQ(state.usageResult->message,
              "Gemini validation completed. Usage API is not available.");
    EXPECT_FALSE(state.validation->ok);
    EXPECT_TRUE(f.handOffs.empty());
}

TEST(ProviderUsageStore, XaiFetchListsModelsAndWarnsWhenTheyFail) {
    Fixture f;
    const QString id = f.account(P::grok, "xai-good");
    f.fetch(P::grok, id);
    auto result = f.store->state(P::grok, id).usageResult.value();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.message, "xAI key is reachable, but xAI does not expose a usage report API.");
    EXPECT_EQ(result.keyInfo->availableModels, (QStringList{"grok-4", "grok-3-mini"}));
    EXPECT_TRUE(result.warnings.isEmpty());

    f.xai->route("/v1/models", FakeProviderResponse::json(500, ""));
    f.fetch(P::grok, id);
    result = f.store->state(P::grok, id).usageResult.value();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.warnings, QStringList{"HTTP 500: unknown"});

    const QString bad = f.account(P::grok, "xai-bad");
    f.fetch(P::grok, bad);
    result = f.store->state(P::grok, bad).usageResult.value();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorMessage, "Invalid API key (401)");
    EXPECT_EQ(result.message, "xAI does not expose a usage report API.");
    EXPECT_FALSE(f.store->state(P::grok, bad).validation->ok);
    EXPECT_TRUE(f.handOffs.empty());
}

TEST(ProviderUsageStore, AStoreDestroyedDuringARequestIsLeftAlone) {
    Fixture f;
    const QString id = f.account(P::openAi, "sk-admin-good");
    f.openAi->route("/v1/organization/usage/completions", FakeProviderResponse::silence());
    QCoro::Task<void> task = f.store->fetchUsage(P::openAi, id, f.accounts);
    EXPECT_TRUE(f.store->state(P::openAi, id).isFetching);
    f.store.reset();
    // The request times out with nobody left to receive it; the task ends after the hand-off
    // it would have made.
    ASSERT_TRUE(QTest::qWaitFor([&] { return task.isReady(); }, 10000));
    EXPECT_TRUE(f.handOffs.empty());
}
