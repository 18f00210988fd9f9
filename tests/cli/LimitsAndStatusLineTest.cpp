#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "core/ClaudeResetTimes.h"
#include "core/Iso8601.h"
#include "core/Pricing.h"
#include "history/UsageHistoryFile.h"
#include "support/CliEnvironment.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm {
namespace {

constexpr TimeMs kMinute = 60'000;

// A home as `limits` and `statusline` find it: the sample tool logs, Claude snapshots the
// application recorded (climbing 10% every ten minutes) with their reset times, a Codex
// session whose logs report its plan limits, and two Claude Code sessions with known costs.
class LimitsAndStatusLineTest : public ::testing::Test {
protected:
    LimitsAndStatusLineTest() {
        test::writeSampleHome(home.path());
        const QString data = home.filePath(".local/share/Quotameter");
        UsageHistoryData history;
        for (int i = 0; i < 4; ++i)
            history.claudeSnapshots.push_back(
                {now - (40 - 10 * i) * kMinute, 20.0 + 10 * i, 31, 12, "Sonnet"});
        EXPECT_EQ(UsageHistoryFileStore(UsageHistoryFileStore::pathIn(data)).save(history),
                  std::nullopt);
        ClaudeResetTimes resets{now - 10 * kMinute, Iso8601::formatMs(sessionReset),
                                Iso8601::formatMs(now + 3 * 24 * 60 * kMinute), std::nullopt};
        EXPECT_EQ(ClaudeResetTimesFile::save(ClaudeResetTimesFile::pathIn(data), resets),
                  std::nullopt);

        const qint64 seconds = now / 1000;
        home.write(
            ".codex/sessions/2026/12/07/rollout-2026-12-07T09-00-00-b.jsonl",
            test::codexMetaLine("019a0000-0000-7000-8000-0000000000b1", "/home/dev/app", 1200) +
                test::codexRateLimitsLine(10, 40, seconds + 7200, seconds + 86400, 1200) +
                test::codexRateLimitsLine(30, 41, seconds + 7200, seconds + 86400, 600));
    }

    using Finished = test::CliRun;
    Finished runCli(const QStringList& args, const QByteArray& input = {}) const {
        return test::runCli(test::cliEnvironment(home.path()), args, input);
    }

    // A Claude Code transcript under the sample project holding one request per `ago` entry.
    double writeSession(const QString& id, std::initializer_list<double> secondsAgo,
                        double* todayUsd) const {
        QByteArray lines;
        double total = 0;
        int n = 0;
        for (const double ago : secondsAgo) {
            const test::ClaudeLine line{.sessionId = id, .secondsAgo = ago};
            const test::ClaudeRequest request{.requestId = QString("req_%1_%2").arg(id).arg(n),
                                              .messageId = QString("msg_%1_%2").arg(id).arg(n),
                                              .input = 100'000,
                                              .output = 20'000};
            ++n;
            lines += test::claudePromptLine("Refactor the parser", line) +
                     test::claudeAssistantLines(request, line);
            const double cost = UsagePricing::anthropicCost(request.model, {100'000, 20'000});
            total += cost;
            if (QDateTime::currentDateTime().addSecs(-qint64(ago)).date() == QDate::currentDate())
                *todayUsd += cost;
        }
        home.write(".claude/projects/-home-dev-web/" + id + ".jsonl", lines);
        return total;
    }

    test::TempDir home;
    const TimeMs now = QDateTime::currentMSecsSinceEpoch();
    const TimeMs sessionReset = now + 3 * 60 * kMinute;
};

TEST_F(LimitsAndStatusLineTest, LimitsJsonListsEveryLimitWithItsProjection) {
    const Finished run = runCli({"limits", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out.count('\n'), 1);
    const QJsonArray limits = QJsonDocument::fromJson(run.out).object()["limits"].toArray();
    ASSERT_EQ(limits.size(), 5) << run.out.toStdString();
    QStringList names;
    for (const QJsonValue& limit : limits)
        names << limit["tool"].toString() + "." + limit["window"].toString();
    EXPECT_EQ(names, QStringList({"claude.fiveHour", "claude.weekly", "claude.weeklySonnet",
                                  "codex.fiveHour", "codex.weekly"}));

    const QJsonObject fiveHour = limits[0].toObject();
    EXPECT_EQ(fiveHour["usedPercent"].toDouble(), 50.0);
    EXPECT_EQ(fiveHour["source"].toString(), "claudeWeb");
    EXPECT_EQ(limits[3].toObject()["source"].toString(), "codexLogs");
    EXPECT_EQ(fiveHour["resetsAt"].toString(), Iso8601::formatMs(sessionReset));
    EXPECT_EQ(fiveHour["readAt"].toString(), Iso8601::formatMs(now - 10 * kMinute));
    // 60% an hour from 50% ten minutes ago: full 40 minutes from now.
    const std::optional<TimeMs> full = Iso8601::parse(fiveHour["projectedFullAt"].toString());
    ASSERT_TRUE(full) << run.out.toStdString();
    EXPECT_NEAR(double(*full - now), double(40 * kMinute), 1000.0);
    // Before its reset a window is the one that was read.
    EXPECT_EQ(fiveHour["freshWindow"], false);
    EXPECT_TRUE(fiveHour["resetAt"].isNull());
    // Flat readings and a reset time not read with the snapshot: nothing to project.
    EXPECT_TRUE(limits[1].toObject()["projectedFullAt"].isNull());
    EXPECT_TRUE(limits[2].toObject()["resetsAt"].isNull());

    // Codex from its logs: 10% then 30% ten minutes apart is 120% an hour, full in 35 min.
    const QJsonObject codex = limits[3].toObject();
    EXPECT_EQ(codex["usedPercent"].toDouble(), 30.0);
    EXPECT_EQ(codex["resetsAt"].toString(), Iso8601::formatMs(now / 1000 * 1000 + 7200'000));
    const std::optional<TimeMs> codexFull = Iso8601::parse(codex["projectedFullAt"].toString());
    ASSERT_TRUE(codexFull) << run.out.toStdString();
    EXPECT_NEAR(double(*codexFull - now), double(25 * kMinute), 2000.0);

    const Finished text = runCli({"limits"});
    ASSERT_EQ(text.exitCode, 0);
    const QStringList lines = QString::fromUtf8(text.out).trimmed().split('\n');
    ASSERT_EQ(lines.size(), 5) << text.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith("Claude  5-hour")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains("50%  resets ")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains("full at ")) << lines[0].toStdString();
    EXPECT_TRUE(lines[3].startsWith("Codex   5-hour")) << lines[3].toStdString();
    // The percentages share their right edge.
    for (const QString& line : lines) EXPECT_EQ(line.indexOf('%'), lines[0].indexOf('%'));
}

TEST_F(LimitsAndStatusLineTest, AWindowPastItsResetIsShownAsTheNewOne) {
    // Codex last reported two hours ago, of a five-hour window that reset an hour ago; the
    // Claude session reset five minutes ago, after its last snapshot.
    const qint64 seconds = now / 1000;
    const TimeMs codexReset = (seconds - 3600) * 1000;
    home.write(".codex/sessions/2026/12/07/rollout-2026-12-07T09-00-00-b.jsonl",
               test::codexMetaLine("019a0000-0000-7000-8000-0000000000b1", "/home/dev/app", 7300) +
                   test::codexRateLimitsLine(52.8, 41, seconds - 3600, seconds + 86400, 7200));
    const TimeMs claudeReset = now - 5 * kMinute;
    const QString data = home.filePath(".local/share/Quotameter");
    ClaudeResetTimes resets{now - 10 * kMinute, Iso8601::formatMs(claudeReset),
                            Iso8601::formatMs(now + 3 * 24 * 60 * kMinute), std::nullopt};
    ASSERT_EQ(ClaudeResetTimesFile::save(ClaudeResetTimesFile::pathIn(data), resets), std::nullopt);
    const auto shown = [this](TimeMs at) {
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(at);
        const bool today = when.date() == QDateTime::fromMSecsSinceEpoch(now).date();
        return when.toString(today ? "HH:mm" : "MM/dd HH:mm");
    };

    const Finished run = runCli({"limits", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QJsonArray limits = QJsonDocument::fromJson(run.out).object()["limits"].toArray();
    ASSERT_EQ(limits.size(), 5) << run.out.toStdString();
    for (const auto& [index, resetAt] : {std::pair{0, claudeReset}, {3, codexReset}}) {
        const QJsonObject fresh = limits[index].toObject();
        EXPECT_EQ(fresh["usedPercent"].toDouble(), 0.0) << index;
        EXPECT_EQ(fresh["freshWindow"], true) << index;
        EXPECT_EQ(fresh["resetAt"].toString(), Iso8601::formatMs(resetAt)) << index;
        EXPECT_TRUE(fresh["resetsAt"].isNull()) << index;
        EXPECT_TRUE(fresh["projectedFullAt"].isNull()) << index;
    }
    // The weekly windows still hold.
    EXPECT_EQ(limits[1].toObject()["usedPercent"].toDouble(), 31.0);
    EXPECT_EQ(limits[4].toObject()["usedPercent"].toDouble(), 41.0);
    EXPECT_EQ(limits[4].toObject()["freshWindow"], false);

    const Finished text = runCli({"limits"});
    const QStringList lines = QString::fromUtf8(text.out).trimmed().split('\n');
    ASSERT_EQ(lines.size(), 5) << text.out.toStdString();
    EXPECT_TRUE(lines[0].contains(" 0%  reset at " + shown(claudeReset) + " "))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[3].contains(" 0%  reset at " + shown(codexReset) + " "))
        << lines[3].toStdString();

    const Finished title = runCli({"title", "--json"});
    ASSERT_EQ(title.exitCode, 0) << title.err.toStdString();
    const QJsonObject bar = QJsonDocument::fromJson(title.out).object();
    EXPECT_TRUE(bar["text"].toString().endsWith(" Claude 0%")) << title.out.toStdString();
    EXPECT_EQ(bar["percentage"].toInt(), 0);
    const QString tip = bar["tooltip"].toString();
    for (const QString& expected :
         {"Codex limits: 5-hour 0% (reset at " + shown(codexReset) + "), weekly 41% (resets ",
          "  5-hour session 0%, reset at " + shown(claudeReset) + "\n",
          QString("  7-day 31%, resets ")})
        EXPECT_TRUE(tip.contains(expected)) << expected.toStdString() << "\n" << tip.toStdString();
}

TEST_F(LimitsAndStatusLineTest, TheStatusBarClassWeighsTheCodexLimitsToo) {
    // Claude at 50% alone would be good; Codex's five-hour window at 92% is bad.
    const qint64 seconds = now / 1000;
    home.write(".codex/sessions/2026/12/07/rollout-2026-12-07T09-30-00-c.jsonl",
               test::codexMetaLine("019a0000-0000-7000-8000-0000000000c2", "/home/dev/app", 300) +
                   test::codexRateLimitsLine(92, 41, seconds + 7200, seconds + 86400, 120));
    const Finished run = runCli({"title", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QJsonObject bar = QJsonDocument::fromJson(run.out).object();
    EXPECT_EQ(bar["text"].toString(), "Codex 3 Grok 1 Gemini 2 Claude 50%");
    EXPECT_EQ(bar["class"].toString(), "bad");
    EXPECT_EQ(bar["percentage"].toInt(), 50);
    EXPECT_TRUE(bar["tooltip"].toString().contains("Codex limits: 5-hour 92% (resets "))
        << bar["tooltip"].toString().toStdString();
}

TEST_F(LimitsAndStatusLineTest, StatusLineFromClaudeCodesDocumentedInput) {
    double today = 0;
    const QString id = "9b2e6f1c-0000-4000-8000-00000000a001";
    // One request two days ago counts for the session, not for today.
    const double session = writeSession(id, {2 * 86400.0, 120}, &today);
    writeSession("9b2e6f1c-0000-4000-8000-00000000a002", {300}, &today);
    today += UsagePricing::anthropicCost("claude-sonnet-4-5-20250929", {100, 50, 1000, 200});
    const QString transcript = home.filePath(".claude/projects/-home-dev-web/" + id + ".jsonl");
    const QJsonObject input{
        {"hook_event_name", "Status"},
        {"session_id", id},
        {"transcript_path", transcript},
        {"cwd", "/home/dev/web"},
        {"model", QJsonObject{{"id", "claude-opus-4-5-20251101"}, {"display_name", "Opus 4.5"}}},
        {"workspace",
         QJsonObject{{"current_dir", "/home/dev/web"}, {"project_dir", "/home/dev/web"}}},
        {"version", "2.0.14"},
        {"output_style", QJsonObject{{"name", "default"}}},
        {"cost", QJsonObject{{"total_cost_usd", 0.01234}, {"total_duration_ms", 45000}}}};
    const Finished run = runCli({"statusline"}, QJsonDocument(input).toJson());
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QString reset = QDateTime::fromMSecsSinceEpoch(sessionReset).toString("HH:mm");
    const QString fullAt =
        QDateTime::fromMSecsSinceEpoch(now - 10 * kMinute + 50 * kMinute).toString("HH:mm");
    const QString expected = QString(
                                 "Opus 4.5 · session $%1 · today $%2 · 5h 50% (resets %3, "
                                 "full at %4) · 7d 31%\n")
                                 .arg(session, 0, 'f', 2)
                                 .arg(today, 0, 'f', 2)
                                 .arg(reset, fullAt);
    EXPECT_EQ(QString::fromUtf8(run.out), expected);

    // A session the logs do not hold yet: no session figure, the rest stands.
    QJsonObject unknown = input;
    unknown["session_id"] = "00000000-0000-4000-8000-000000000000";
    unknown["transcript_path"] = home.filePath(".claude/projects/-home-dev-web/none.jsonl");
    const Finished other = runCli({"statusline"}, QJsonDocument(unknown).toJson());
    EXPECT_EQ(other.exitCode, 0);
    EXPECT_TRUE(QString::fromUtf8(other.out).startsWith(
        QString("Opus 4.5 · today $%1 · 5h 50%").arg(today, 0, 'f', 2)))
        << other.out.toStdString();
}

TEST_F(LimitsAndStatusLineTest, StatusLineSurvivesGarbageWithAShortLine) {
    for (const QByteArray& garbage :
         {QByteArray(), QByteArray("not json"), QByteArray("[1,2,3]"), QByteArray("{}"),
          QByteArray(R"({"session_id":42,"model":{"display_name":"Opus"}})"),
          QByteArray("{\"session_id\":\"x\"", 17), QByteArray("\xff\xfe\x00\x01garbage", 11),
          QByteArray(2 << 20, '{')}) {
        SCOPED_TRACE(garbage.left(40).toStdString());
        const Finished run = runCli({"statusline"}, garbage);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "Quotameter: no session data\n");
    }
}

}  // namespace
}  // namespace qm
