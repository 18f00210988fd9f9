#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "core/ClaudeResetTimes.h"
#include "core/Iso8601.h"
#include "core/UsageModels.h"
#include "history/UsageHistoryFile.h"
#include "support/CliEnvironment.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm {
namespace {

// `quotameter-cli title` as a status bar runs it: a home with the sample tool logs and a
// usage history holding the Claude snapshots the application recorded.
class TitleCommandTest : public ::testing::Test {
protected:
    TitleCommandTest() { test::writeSampleHome(home.path()); }

    QString historyPath() const {
        return UsageHistoryFileStore::pathIn(home.filePath(".local/share/Quotameter"));
    }
    void recordClaude(double sessionPct, TimeMs minutesAgo) const {
        const TimeMs now = QDateTime::currentMSecsSinceEpoch();
        UsageHistoryData data;
        data.claudeSnapshots = {{now - 3 * 60 * 60 * 1000, 5, 5, 5, "Sonnet"},
                                {now - minutesAgo * 60 * 1000, sessionPct, 31, 12, "Sonnet"}};
        ASSERT_EQ(UsageHistoryFileStore(historyPath()).save(data), std::nullopt);
    }

    using Finished = test::CliRun;
    Finished runCli(const QStringList& args) const {
        return test::runCli(test::cliEnvironment(home.path()), args);
    }
    QByteArray run(const QStringList& args) const {
        const Finished title = runCli(QStringList{"title"} + args);
        EXPECT_EQ(title.exitCode, 0) << title.err.toStdString();
        return title.out;
    }
    QJsonObject runJson() const {
        const QByteArray out = run({"--json"});
        // waybar reads one object per line.
        EXPECT_EQ(out.count('\n'), 1) << out.toStdString();
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(out, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << out.toStdString();
        return document.object();
    }

    test::TempDir home;
};

TEST_F(TitleCommandTest, WithoutAFreshSnapshotTheBarShowsTheToolsOnly) {
    EXPECT_EQ(run({}), "Codex 3 Grok 1 Gemini 2\n");
    QJsonObject bar = runJson();
    EXPECT_EQ(bar["text"].toString(), "Codex 3 Grok 1 Gemini 2");
    // Every sample tool was active minutes ago, but no limit is known: activity never colours
    // the bar.
    EXPECT_EQ(bar["class"].toString(), "unknown");
    EXPECT_FALSE(bar.contains("percentage"));
    const QStringList tooltip = bar["tooltip"].toString().split('\n');
    ASSERT_EQ(tooltip.size(), 5);
    EXPECT_TRUE(tooltip[0].startsWith("Codex: 3 prompts, 1.2k tokens")) << tooltip[0].toStdString();
    EXPECT_TRUE(tooltip[3].startsWith("Claude Code: ")) << tooltip[3].toStdString();
    EXPECT_TRUE(tooltip[4].startsWith("Claude: no limits")) << tooltip[4].toStdString();

    // A snapshot older than 30 minutes is not shown as current.
    recordClaude(95, 31);
    bar = runJson();
    EXPECT_EQ(bar["text"].toString(), "Codex 3 Grok 1 Gemini 2");
    EXPECT_EQ(bar["class"].toString(), "unknown");
    EXPECT_FALSE(bar.contains("percentage"));
}

TEST_F(TitleCommandTest, AFreshSnapshotAddsClaudeAndSetsTheLevel) {
    struct Case {
        double sessionPct;
        const char* text;
        const char* level;
        int percentage;
    };
    // The level thresholds are tested with the shared text rules; here, that each level reaches
    // the bar.
    for (const Case& c : {Case{41.6, "Claude 42%", "good", 42}, Case{75, "Claude 75%", "warn", 75},
                          Case{101, "Claude 101%", "bad", 100}}) {
        SCOPED_TRACE(c.sessionPct);
        recordClaude(c.sessionPct, 10);
        EXPECT_EQ(run({}), QByteArray("Codex 3 Grok 1 Gemini 2 ") + c.text + "\n");
        const QJsonObject bar = runJson();
        EXPECT_EQ(bar["text"].toString(), QString("Codex 3 Grok 1 Gemini 2 ") + c.text);
        EXPECT_EQ(bar["class"].toString(), c.level);
        EXPECT_EQ(bar["percentage"].toInt(-1), c.percentage);
        const QString tooltip = bar["tooltip"].toString();
        EXPECT_TRUE(tooltip.contains(QString("5-hour session %1%").arg(c.percentage)))
            << tooltip.toStdString();
        EXPECT_TRUE(tooltip.contains("7-day 31%")) << tooltip.toStdString();
        EXPECT_TRUE(tooltip.contains("7-day Sonnet 12%")) << tooltip.toStdString();
    }
    // A percentage no limit can reach is a fault in the file, not a reading: it is refused.
    recordClaude(123, 10);
    EXPECT_EQ(run({}), QByteArray("Codex 3 Grok 1 Gemini 2\n"));
}

TEST_F(TitleCommandTest, TheTooltipSaysWhenTheLimitsResetWhenTheyWereReadWithTheSnapshot) {
    recordClaude(50, 10);
    const TimeMs snapshotAt = QDateTime::currentMSecsSinceEpoch() - 10 * 60 * 1000;
    const QString resets = ClaudeResetTimesFile::pathIn(home.filePath(".local/share/Quotameter"));
    const QDateTime sessionReset = QDateTime::currentDateTime().addSecs(2 * 3600);
    ClaudeResetTimes times{snapshotAt + 1000, Iso8601::formatMs(sessionReset.toMSecsSinceEpoch()),
                           QStringLiteral("next week"), std::nullopt};
    ASSERT_EQ(ClaudeResetTimesFile::save(resets, times), std::nullopt);
    QString tooltip = runJson()["tooltip"].toString();
    EXPECT_TRUE(tooltip.contains("5-hour session 50%, resets " +
                                 sessionReset.toString("MM/dd HH:mm") + "\n"))
        << tooltip.toStdString();
    EXPECT_TRUE(tooltip.contains("7-day 31%, resets next week\n")) << tooltip.toStdString();
    EXPECT_TRUE(tooltip.endsWith("7-day Sonnet 12%")) << tooltip.toStdString();

    // Times read before the snapshot shown belong to an older reading.
    times.snapshotAt = snapshotAt - 60 * 60 * 1000;
    ASSERT_EQ(ClaudeResetTimesFile::save(resets, times), std::nullopt);
    tooltip = runJson()["tooltip"].toString();
    EXPECT_FALSE(tooltip.contains("resets")) << tooltip.toStdString();
}

TEST_F(TitleCommandTest, AnUnreadableHistoryStillGivesTheToolsAndIsLeftAlone) {
    home.write(".local/share/Quotameter/usage-history.json", "{not json");
    const QJsonObject bar = runJson();
    EXPECT_EQ(bar["text"].toString(), "Codex 3 Grok 1 Gemini 2");
    EXPECT_TRUE(bar["tooltip"].toString().contains("could not be read"));
    EXPECT_EQ(test::readAll(historyPath()), "{not json");
}

TEST_F(TitleCommandTest, HelpListsEveryCommandAndEachCommandHasItsOwn) {
    const Finished help = runCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* line : {"\n  accounts list [--provider P] ", "\n  history [--json] ",
                             "\n  relay [--port N] [--upstream URL]\n", "\n  title [--json] ",
                             "\n  usage [--json] ", "--version"}) {
        EXPECT_TRUE(help.out.contains(line)) << line << "\n" << help.out.toStdString();
    }
    // One command's help runs nothing and names only that command.
    const Finished title = runCli({"title", "--help"});
    EXPECT_EQ(title.exitCode, 0);
    EXPECT_TRUE(title.out.contains("title [--json]"));
    EXPECT_FALSE(title.out.contains("usage [--json]"));
    EXPECT_FALSE(title.out.contains("Codex"));

    const Finished wrong = runCli({"--frobnicate"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_TRUE(wrong.err.contains("frobnicate"));
    EXPECT_TRUE(wrong.out.isEmpty());
    EXPECT_EQ(runCli({"title", "--frobnicate"}).exitCode, 2);
}

}  // namespace
}  // namespace qm
