#include <gtest/gtest.h>

#include <QCoroTask>

#include "accounts/AccountStore.h"
#include "accounts/MemorySecretBackend.h"
#include "alerts/AlertStore.h"
#include "core/Iso8601.h"
#include "history/UsageHistoryStore.h"
#include "providers/ProviderUsageStore.h"
#include "support/FakeProviderServer.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;

namespace {

const TimeMs kMorning = *Iso8601::parse(QStringLiteral("2026-12-07T08:00:00Z"));

// Usage fetched from a fake Anthropic administrative interface into the real history, whose
// report holds `outputMillions` million output tokens.
TEST(ProviderBudgetAlerts, FetchedReportsWarnOnlyForWhatTheyAddToday) {
    TempDir dir;
    TimeMs now = kMorning;
    const auto clock = [&now] { return now; };
    AccountStore accounts(AccountConfigStore(AccountConfigStore::pathIn(dir.path())),
                          KeychainStore(std::make_shared<MemorySecretBackend>()), clock);
    UsageHistoryStore history(UsageHistoryFileStore(UsageHistoryFileStore::pathIn(dir.path())),
                              clock);
    int outputMillions = 1;
    auto anthropic = FakeProviderServer::playing(FakeProvider::anthropic, "sk-ant-admin-good");
    anthropic->route(QStringLiteral("/v1/organizations/usage_report/messages"),
                     [&outputMillions](const FakeProviderRequest&) {
                         return FakeProviderResponse::json(
                             200, FakeProviderBodies::anthropicUsageReport(
                                      {{QStringLiteral(R"({"model":"claude-sonnet-4-5",)"
                                                       R"("uncached_input_tokens":0,)"
                                                       R"("output_tokens":%1000000})")
                                            .arg(outputMillions)
                                            .toUtf8()}}));
                     });
    ProviderEndpoints endpoints;
    endpoints.anthropic = anthropic->baseUrl();
    ProviderUsageStore usage(endpoints, clock);
    usage.attachHistoryStore(&history);

    std::vector<QString> shown;
    AlertStore alerts(
        AlertMemory::pathIn(dir.path()),
        [&shown](const QString& title, const QString& message) {
            shown.push_back(title + QStringLiteral(" | ") + message);
        },
        clock, QTimeZone::utc());
    alerts.watchSpend(&accounts, &history);

    QString id;
    ASSERT_FALSE(accounts.addAccount(ApiAccountProvider::anthropic, QStringLiteral("org"),
                                     QStringLiteral("sk-ant-admin-good"), std::nullopt, &id));
    const auto fetch = [&] {
        now += 3'600'000;
        QCoro::waitFor(usage.fetchUsage(ApiAccountProvider::anthropic, id, accounts));
    };

    fetch();  // the first report of the day is the baseline: earlier usage
    ASSERT_EQ(history.apiUsageRecords().size(), 1u);
    const double perMillion = history.apiUsageRecords().back().costUsd;
    ASSERT_GT(perMillion, 0);
    // One more million output tokens is 75% of the daily budget.
    ASSERT_FALSE(accounts.setBudgets(ApiAccountProvider::anthropic, id, perMillion / 0.75, 0, 50));
    fetch();  // the same report again
    EXPECT_TRUE(shown.empty());
    outputMillions = 2;
    fetch();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].startsWith("Anthropic budget: org | Today's spend $"))
        << shown[0].toStdString();
    EXPECT_TRUE(shown[0].contains(" is 75% of the $")) << shown[0].toStdString();
    outputMillions = 3;
    fetch();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_TRUE(shown[1].contains(" daily budget.") && shown[1].contains("has reached"))
        << shown[1].toStdString();
    ASSERT_EQ(
        anthropic->requestsTo(QStringLiteral("/v1/organizations/usage_report/messages")).size(),
        4u);
}

}  // namespace
