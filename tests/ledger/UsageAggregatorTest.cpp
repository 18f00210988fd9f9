#include <gtest/gtest.h>

#include <qcoro/qcorotask.h>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QMutex>
#include <QSignalSpy>
#include <cmath>
#include <limits>

#include "core/Iso8601.h"
#include "ledger/UsageAggregator.h"
#include "readers/CliLogParsing.h"
#include "readers/UsageJson.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

using namespace qm;
using qm::test::TempDir;

namespace {}  // namespace

TEST(MenuBarTitle, CountsGeminiOnlyWhenUsedAndRoundsClaudeHalfAway) {
    EXPECT_EQ(composeMenuBarTitle(3, 0, 0, std::nullopt), "Codex 3 Grok 0");
    EXPECT_EQ(composeMenuBarTitle(3, 1, 1, std::nullopt), "Codex 3 Grok 1 Gemini 1");
    EXPECT_EQ(composeMenuBarTitle(3, 1, 2, 41.6), "Codex 3 Grok 1 Gemini 2 Claude 42%");
    EXPECT_EQ(composeMenuBarTitle(1234, 0, 0, std::nullopt), "Codex 1234 Grok 0");
    const auto claude = [](double pct) {
        return composeMenuBarTitle(0, 0, 0, pct).section(QLatin1Char(' '), 4);
    };
    EXPECT_EQ(claude(99.5), "Claude 100%");
    EXPECT_EQ(claude(0.4), "Claude 0%");
    EXPECT_EQ(claude(2.5), "Claude 3%");
    EXPECT_EQ(claude(-0.4), "Claude 0%");
    EXPECT_EQ(claude(-2.5), "Claude -3%");
    // Values that cannot be shown as a whole percentage leave the Claude part out.
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), 1e19, -1e300}) {
        EXPECT_EQ(composeMenuBarTitle(0, 0, 0, bad), "Codex 0 Grok 0") << bad;
    }
}

TEST(UsageAggregator, PlaceholdersBeforeTheFirstRefresh) {
    TempDir home;
    UsageAggregator aggregator(home.path());
    const auto providers = aggregator.providers();
    ASSERT_EQ(providers.size(), 6u);
    EXPECT_EQ(providers[0], ProviderUsage::placeholder(ProviderKind::codex));
    EXPECT_EQ(providers[1].kind, ProviderKind::grok);
    EXPECT_EQ(providers[2].kind, ProviderKind::gemini);
    EXPECT_EQ(providers[3].kind, ProviderKind::claudeCode);
    EXPECT_EQ(providers[3].providerName, "Claude Code");
    EXPECT_EQ(providers[4].providerName, "OpenCode");
    EXPECT_EQ(providers[5].providerName, "Qwen Code");
    EXPECT_EQ(aggregator.usage(ProviderKind::gemini),
              ProviderUsage::placeholder(ProviderKind::gemini));
    EXPECT_FALSE(aggregator.isRefreshing());
    EXPECT_FALSE(aggregator.lastRefreshAt());
    EXPECT_EQ(aggregator.menuBarTitle(std::nullopt), "Codex 0 Grok 0");
}

TEST(UsageAggregator, RefreshWithNoToolFolders) {
    TempDir home;
    qunsetenv("CLAUDE_CONFIG_DIR");
    UsageAggregator aggregator(home.path());
    QCoro::waitFor(aggregator.refresh());
    const auto providers = aggregator.providers();
    ASSERT_EQ(providers.size(), 6u);
    EXPECT_EQ(providers[0].warnings, QStringList{"Codex sessions directory was not found."});
    EXPECT_EQ(providers[1].warnings, QStringList{"Grok sessions directory was not found."});
    EXPECT_EQ(providers[2].warnings, QStringList{"Gemini directory was not found."});
    EXPECT_EQ(providers[3].warnings, QStringList{"Claude Code projects directory was not found."});
    for (const ProviderUsage& p : providers) {
        EXPECT_EQ(p.statusText, "No local data");
        EXPECT_EQ(p.statusLevel, UsageStatusLevel::unknown);
    }
    EXPECT_TRUE(aggregator.lastRefreshAt());
    EXPECT_FALSE(aggregator.isRefreshing());
}

// A tool whose logs are all older than the five hours has data, only none of it recent: its
// card says so rather than that there is nothing at all.
TEST(UsageAggregator, OldLogsOnlyAreNothingRecentNotNoData) {
    TempDir home;
    qunsetenv("CLAUDE_CONFIG_DIR");
    test::ClaudeLine line;
    line.secondsAgo = 2 * 86'400;
    const QByteArray transcript =
        test::claudePromptLine(QStringLiteral("Fix the parser"), line) +
        test::claudeAssistantLines({QStringLiteral("req_old"), QStringLiteral("msg_old"),
                                    QStringLiteral("claude-sonnet-4-5-20250929"), 100, 50},
                                   line);
    const QString path =
        home.filePath(".claude/projects/-home-dev-web/" + line.sessionId + ".jsonl");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(transcript);
    file.close();  // a close after writing stamps the file now: aged once the bytes are out
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addDays(-2),
                                 QFileDevice::FileModificationTime));
    file.close();

    UsageAggregator aggregator(home.path());
    QCoro::waitFor(aggregator.refresh());
    const std::optional<ProviderUsage> claudeCode = aggregator.usage(ProviderKind::claudeCode);
    EXPECT_EQ(claudeCode->statusText, "Nothing in the last 5 hours");
    EXPECT_EQ(claudeCode->statusLevel, UsageStatusLevel::unknown);
    EXPECT_EQ(claudeCode->lastFiveHourTokens, 0);
    EXPECT_EQ(aggregator.usage(ProviderKind::gemini)->statusText, "No local data");
}

TEST(UsageAggregator, ASecondRefreshWhileOneRunsDoesNothing) {
    TempDir home;
    test::writeSampleHome(home.path());
    qunsetenv("CLAUDE_CONFIG_DIR");
    UsageAggregator aggregator(home.path());
    QSignalSpy changed(&aggregator, &UsageAggregator::changed);

    QCoro::Task<> first = aggregator.refresh();
    EXPECT_TRUE(aggregator.isRefreshing());
    EXPECT_EQ(changed.count(), 1);
    QCoro::Task<> second = aggregator.refresh();
    EXPECT_TRUE(second.isReady());  // returned at once, without waiting for the first
    QCoro::waitFor(std::move(first));

    EXPECT_FALSE(aggregator.isRefreshing());
    EXPECT_EQ(changed.count(), 2);
    EXPECT_EQ(aggregator.menuBarTitle(std::nullopt), "Codex 3 Grok 1 Gemini 2");
    EXPECT_EQ(aggregator.menuBarTitle(41.6), "Codex 3 Grok 1 Gemini 2 Claude 42%");

    const auto codex = aggregator.usage(ProviderKind::codex);
    ASSERT_TRUE(codex);
    EXPECT_TRUE(codex->isAuthenticated);
    EXPECT_EQ(codex->latestProject, "app");
    EXPECT_EQ(codex->latestModel, "gpt-5");
    EXPECT_EQ(codex->totalInputTokens, 1000);
    EXPECT_EQ(aggregator.usage(ProviderKind::grok)->totalContextTokens, 5000);
    EXPECT_EQ(aggregator.usage(ProviderKind::gemini)->lastFiveHourTokens, 240);
    // The fourth tool is read in the same refresh, and the title stays as it was.
    const auto claudeCode = aggregator.usage(ProviderKind::claudeCode);
    ASSERT_TRUE(claudeCode);
    EXPECT_EQ(claudeCode->lastFiveHourPrompts, 2);
    EXPECT_EQ(claudeCode->lastFiveHourTokens, 1350);
    EXPECT_EQ(claudeCode->latestProject, "web");

    // Once idle, a refresh runs again.
    QCoro::waitFor(aggregator.refresh());
    EXPECT_EQ(changed.count(), 4);
}

TEST(UsageJson, RecordFieldsRawValuesAndOmittedTimes) {
    ProviderUsage usage = ProviderUsage::placeholder(ProviderKind::grok);
    QJsonObject json = UsageJson::toJson(usage);
    EXPECT_EQ(json.value("kind").toString(), "grok");
    EXPECT_EQ(json.value("statusLevel").toString(), "unknown");
    EXPECT_EQ(json.value("providerName").toString(), "Grok");
    EXPECT_FALSE(json.contains("latestActivityAt"));
    EXPECT_FALSE(json.contains("planLimits"));
    EXPECT_TRUE(json.value("models").isArray());

    usage.planLimits =
        CodexPlanLimits{PlanWindow{12.5, 300, 1748772000000}, std::nullopt, "plus", 1748771000000};
    const QJsonObject limits = UsageJson::toJson(usage).value("planLimits").toObject();
    EXPECT_EQ(limits.value("planType").toString(), "plus");
    EXPECT_EQ(limits.value("fiveHour").toObject().value("usedPercent").toDouble(), 12.5);
    EXPECT_EQ(limits.value("fiveHour").toObject().value("resetsAt").toString(),
              "2025-06-01T10:00:00.000Z");
    EXPECT_FALSE(limits.contains("weekly"));
    usage.planLimits.reset();

    SessionUsage session;
    session.id = "s";
    session.provider = ProviderKind::gemini;
    session.lastActiveAt = 1748772000123;
    session.inputTokens = 9'007'199'254'740'993;  // beyond a double's exact range
    usage.sessions = {session};
    usage.latestActivityAt = 1748772000123;
    usage.costTotal = 0.5;
    json = UsageJson::toJson(usage);
    EXPECT_EQ(json.value("latestActivityAt").toString(), "2025-06-01T10:00:00.123Z");
    EXPECT_EQ(json.value("costTotal").toDouble(), 0.5);
    const QJsonObject s = json.value("sessions").toArray().at(0).toObject();
    EXPECT_EQ(s.value("provider").toString(), "gemini");
    EXPECT_EQ(s.value("lastActiveAt").toString(), "2025-06-01T10:00:00.123Z");
    EXPECT_FALSE(s.contains("startedAt"));
    EXPECT_EQ(s.value("inputTokens").toInteger(), 9'007'199'254'740'993);
    for (const char* key : {"id", "project", "task", "model", "prompts", "outputTokens",
                            "cachedTokens", "contextTokens", "cost"}) {
        EXPECT_TRUE(s.contains(key)) << key;
    }
}
