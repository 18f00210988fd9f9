#include <gtest/gtest.h>

#include "accounts/AccountStore.h"
#include "accounts/MemorySecretBackend.h"
#include "alerts/AlertStore.h"
#include "core/DisplayFormat.h"
#include "core/Iso8601.h"
#include "history/UsageHistoryStore.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"

using namespace qm;
using qm::test::TempDir;
using P = ApiAccountProvider;

namespace {

const TimeMs kBudgetStart = *Iso8601::parse(QStringLiteral("2026-12-07T10:00:00Z"));
using test::kHour;

// Real account and history stores in a private folder, watched by an alert store.
struct World {
    TempDir dir;
    TimeMs now = kBudgetStart;
    std::vector<QString> shown;  // "title | message"
    AccountStore accounts{AccountConfigStore(AccountConfigStore::pathIn(dir.path())),
                          KeychainStore(std::make_shared<MemorySecretBackend>()),
                          [this] { return now; }};
    std::unique_ptr<UsageHistoryStore> history;
    std::unique_ptr<AlertStore> alerts;

    World() { restart(); }
    void restart() {
        alerts.reset();
        history.reset();  // its last save ends before the file is read again
        history = std::make_unique<UsageHistoryStore>(
            UsageHistoryFileStore(UsageHistoryFileStore::pathIn(dir.path())),
            [this] { return now; });
        alerts = std::make_unique<AlertStore>(
            AlertMemory::pathIn(dir.path()),
            [this](const QString& title, const QString& message) {
                shown.push_back(title + QStringLiteral(" | ") + message);
            },
            [this] { return now; }, QTimeZone::utc());
        alerts->watchSpend(&accounts, history.get());
    }
    QString add(P provider, const QString& alias) {
        QString id;
        EXPECT_FALSE(accounts.addAccount(provider, alias, QStringLiteral("key-123456789"),
                                         std::nullopt, &id));
        return id;
    }
    void relay(const QString& accountId, double costUsd) {
        now += 60'000;
        history->appendGeminiRecord({now, accountId, QStringLiteral("gemini-2.5-pro"), 10, 10, 0, 0,
                                     0, costUsd, 100, QStringLiteral("relay"), std::nullopt});
    }
};

// The alert writes a share as `budgets` and the accounts window do: rounded down.
TEST(BudgetAlerts, TheShareIsWrittenAsTheBudgetsWriteIt) {
    World world;
    const QString id = world.add(P::gemini, QStringLiteral("team"));
    ASSERT_FALSE(world.accounts.setBudgets(P::gemini, id, 10, 0, 75));
    world.relay(id, 9.79);
    ASSERT_EQ(world.shown.size(), 1u);
    EXPECT_EQ(world.shown[0],
              "Gemini budget: team | Today's spend $9.79 is 97% of the $10.00 daily budget.");
    EXPECT_EQ(DisplayFormat::flooredPercent(97.95), "97");
}

TEST(BudgetAlerts, RelaySpendWarnsAtTheThresholdAndAtTheBudgetOncePerDay) {
    World world;
    const QString id = world.add(P::gemini, QStringLiteral("team"));
    ASSERT_FALSE(world.accounts.setBudgets(P::gemini, id, 10, 0, 75));

    world.relay(id, 5);
    world.relay(id, 2);
    EXPECT_TRUE(world.shown.empty());
    world.relay(id, 1);
    ASSERT_EQ(world.shown.size(), 1u);
    EXPECT_EQ(world.shown[0],
              "Gemini budget: team | Today's spend $8.00 is 80% of the $10.00 daily budget.");
    world.relay(id, 0.5);
    world.relay(id, 1.5);
    ASSERT_EQ(world.shown.size(), 2u);
    EXPECT_EQ(world.shown[1],
              "Gemini budget: team | Today's spend $10.00 has reached the $10.00 daily budget.");

    world.restart();
    world.relay(id, 1);
    EXPECT_EQ(world.shown.size(), 2u);

    // A new local day starts from nothing; a monthly budget set later sees the whole month.
    world.now = kBudgetStart + 24 * kHour;
    world.relay(id, 9);
    ASSERT_EQ(world.shown.size(), 3u);
    EXPECT_TRUE(world.shown[2].contains("Today's spend $9.00 is 90%"));
    ASSERT_FALSE(world.accounts.setBudgets(P::gemini, id, 10, 20, 75));
    ASSERT_EQ(world.shown.size(), 4u);
    EXPECT_EQ(world.shown[3],
              "Gemini budget: team | This month's spend $20.00 has reached the $20.00 monthly "
              "budget.");
}

TEST(BudgetAlerts, AdministrativeReportsCountOnlyWhatTheyAddWithinTheDay) {
    World world;
    const QString id = world.add(P::anthropic, QStringLiteral("org"));
    const QString other = world.add(P::openAi, QStringLiteral("other"));
    ASSERT_FALSE(world.accounts.setBudgets(P::anthropic, id, 10, 1000, 80));
    ASSERT_FALSE(world.accounts.setBudgets(P::openAi, other, 1, 0, 80));

    // Yesterday's report of the look-back range: the baseline, not today's spend.
    world.now = kBudgetStart - 20 * kHour;
    world.history->appendApiRecords({{QStringLiteral("claude-sonnet-4"), 1, 1, 0, 0, 0, 300}},
                                    QStringLiteral("anthropic"), id);
    world.now = kBudgetStart;
    world.history->appendApiRecords({{QStringLiteral("claude-sonnet-4"), 1, 1, 0, 0, 0, 305},
                                     {QStringLiteral("claude-haiku"), 1, 1, 0, 0, 0, 2}},
                                    QStringLiteral("anthropic"), id);
    EXPECT_TRUE(world.shown.empty());  // $7 of $10 today; yesterday's first report is no spend
    // The same report fetched again adds nothing.
    world.now += kHour;
    world.history->appendApiRecords({{QStringLiteral("claude-sonnet-4"), 1, 1, 0, 0, 0, 305},
                                     {QStringLiteral("claude-haiku"), 1, 1, 0, 0, 0, 2}},
                                    QStringLiteral("anthropic"), id);
    EXPECT_TRUE(world.shown.empty());
    world.now += kHour;
    world.history->appendApiRecords({{QStringLiteral("claude-sonnet-4"), 1, 1, 0, 0, 0, 309}},
                                    QStringLiteral("anthropic"), id);
    ASSERT_EQ(world.shown.size(), 1u);
    EXPECT_EQ(world.shown[0],
              "Anthropic budget: org | Today's spend $9.00 is 90% of the $10.00 daily budget.");
}

TEST(AccountSpend, LocalDaysAndMonthsFollowTheUsersZone) {
    const QTimeZone berlin("Europe/Berlin");
    // 23:30 UTC on the last day of November is already December 1st in Berlin.
    const TimeMs at = *Iso8601::parse(QStringLiteral("2026-11-30T23:30:00Z"));
    EXPECT_EQ(LocalPeriod::dayOf(at, berlin),
              (LocalPeriod{*Iso8601::parse(QStringLiteral("2026-11-30T23:00:00Z")),
                           *Iso8601::parse(QStringLiteral("2026-12-01T23:00:00Z"))}));
    EXPECT_EQ(LocalPeriod::monthOf(at, berlin).endMs,
              *Iso8601::parse(QStringLiteral("2026-12-31T23:00:00Z")));

    ApiAccountStorageData accounts;
    GeminiAccount account;
    account.id = QStringLiteral("g");
    accounts.geminiAccounts.push_back(account);
    const auto record = [](TimeMs stamp, const char* accountId, double cost) {
        GeminiUsageRecord r;
        r.timestampMs = stamp;
        r.accountId = QString::fromUtf8(accountId);
        r.costUsd = cost;
        return r;
    };
    const std::vector<GeminiUsageRecord> relay{record(at - kHour, "g", 4), record(at, "g", 1.5),
                                               record(at, "other", 7)};
    const std::vector<AccountBudgetUse> rows = accountBudgetUse(accounts, relay, {}, at, berlin);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_DOUBLE_EQ(rows[0].spentTodayUsd, 1.5);
    EXPECT_DOUBLE_EQ(rows[0].spentThisMonthUsd, 1.5);
    EXPECT_FALSE(budgetShare(3, 0));
    EXPECT_DOUBLE_EQ(*budgetShare(3, 4), 75);
}

}  // namespace
