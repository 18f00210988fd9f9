#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimeZone>
#include <memory>

#include "support/CliEnvironment.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm {
namespace {

// quotameter-cli report, run as a user would against a private home and cache folder.
class ReportCommandTest : public ::testing::Test {
protected:
    void SetUp() override { test::writeSampleHome(home.path()); }

    QProcessEnvironment environment(const QString& zone) const {
        QProcessEnvironment env = qm::test::cliEnvironment(home.path());
        env.insert("TZ", zone);
        return env;
    }

    std::unique_ptr<QProcess> start(const QStringList& args, const QString& zone = "UTC") const {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment(zone));
        process->start(QStringLiteral(QM_CLI_PATH), QStringList{"report"} + args);
        return process;
    }

    std::pair<int, QByteArray> run(const QStringList& args, const QString& zone = "UTC") const {
        auto process = start(args, zone);
        EXPECT_TRUE(process->waitForFinished(60000));
        return {process->exitCode(), process->readAllStandardOutput()};
    }

    static QJsonObject totals(const QByteArray& json) {
        return QJsonDocument::fromJson(json).object()["totals"].toObject();
    }

    test::TempDir home;
};

TEST_F(ReportCommandTest, SeveralProcessesBuildingTheIndexAtOnceAgree) {
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < 4; ++i) processes.push_back(start({"daily", "--json"}));
    QByteArray first;
    for (auto& process : processes) {
        ASSERT_TRUE(process->waitForFinished(60000));
        EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().toStdString();
        const QByteArray out = process->readAllStandardOutput();
        if (first.isEmpty()) first = out;
        EXPECT_EQ(out, first);
    }
    // Codex 1000, Gemini 2 x 100, Claude Code 100 + 1000 read + 200 written, and Grok's session
    // that logged no usage: its context of 5000, an estimate, as the five-hour summary counts it.
    const QJsonObject sum = totals(first);
    EXPECT_EQ(sum["inputTokens"].toInteger(), 1000 + 200 + 1300 + 5000);
    EXPECT_EQ(sum["prompts"].toInteger(), 3 + 2 + 2 + 1);
    EXPECT_TRUE(sum["estimated"].toBool());
    // The index they left behind is whole: a later run reads it and says the same.
    EXPECT_EQ(run({"daily", "--json"}).second, first);
}

TEST_F(ReportCommandTest, InputCountsAsInTheUsageCommand) {
    const auto [code, out] = run({"daily", "--json", "--tool", "claudeCode", "--tool", "codex"});
    ASSERT_EQ(code, 0);
    QProcess scan;
    scan.setProcessEnvironment(environment("UTC"));
    scan.start(QStringLiteral(QM_CLI_PATH), {"usage", "--json"});
    ASSERT_TRUE(scan.waitForFinished(60000));
    std::int64_t input = 0;
    std::int64_t output = 0;
    for (const QJsonValue provider :
         QJsonDocument::fromJson(scan.readAllStandardOutput()).object()["providers"].toArray()) {
        const QString kind = provider["kind"].toString();
        if (kind != "codex" && kind != "claudeCode") continue;
        input += provider["totalInputTokens"].toInteger();
        output += provider["totalOutputTokens"].toInteger();
    }
    EXPECT_EQ(totals(out)["inputTokens"].toInteger(), input);
    EXPECT_EQ(totals(out)["outputTokens"].toInteger(), output);
}

// The age of the oldest call writeSampleHome writes (Gemini's first prompt).
constexpr int kOldestSampleCallSeconds = 900;

TEST_F(ReportCommandTest, DaysFollowTheTimeZoneAndBadArgumentsAreRefused) {
    // The sample calls are up to a quarter of an hour old: the first day each zone shows is the
    // day, in that zone, of the oldest (just before a midnight there, yesterday).
    const auto dayIn = [&](const QString& zone) {
        const QJsonArray rows = QJsonDocument::fromJson(run({"daily", "--json"}, zone).second)
                                    .object()["rows"]
                                    .toArray();
        return rows.isEmpty() ? QString() : rows.first()["period"].toString();
    };
    const auto oldestCallDay = [](const char* zone) {
        return QDateTime::currentDateTimeUtc()
            .addSecs(-kOldestSampleCallSeconds)
            .toTimeZone(QTimeZone(zone))
            .date()
            .toString(Qt::ISODate);
    };
    EXPECT_EQ(dayIn("UTC"), oldestCallDay("UTC"));
    EXPECT_EQ(dayIn("Pacific/Kiritimati"), oldestCallDay("Pacific/Kiritimati"));

    for (const QStringList& bad :
         {QStringList{"yearly"}, QStringList{}, QStringList{"daily", "--since", "2026-13-01"},
          QStringList{"daily", "--tool", "cursor"}, QStringList{"daily", "--by", "day"},
          QStringList{"daily", "--since", "2026-12-02", "--until", "2026-12-01"},
          QStringList{"daily", "--until"}}) {
        EXPECT_EQ(run(bad).first, 2) << bad.join(' ').toStdString();
    }
    const auto [code, csv] = run({"monthly", "--csv", "--by", "project"});
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(csv.startsWith("period,project,inputTokens,"));
}

// A home with one Claude Code and one Codex session at known times two days ago (UTC), each
// written as its tool writes it.
class SessionReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Claude Code in /home/dev/web: Sonnet at 09:20, Opus at 11:40.
        const test::ClaudeLine morning{.secondsAgo = secondsTo("09:20:00")};
        const test::ClaudeLine noon{.secondsAgo = secondsTo("11:40:00")};
        home.write(".claude/projects/-home-dev-web/" + morning.sessionId + ".jsonl",
                   test::claudePromptLine("Make the header sticky", morning) +
                       test::claudeAssistantLines(
                           {.requestId = "req_01", .messageId = "msg_01", .input = 100}, morning) +
                       test::claudePromptLine("Now the footer", noon) +
                       test::claudeAssistantLines({.requestId = "req_02",
                                                   .messageId = "msg_02",
                                                   .model = "claude-opus-4-1-20250805",
                                                   .input = 200},
                                                  noon));
        // Codex in /home/dev/app: gpt-5 from 14:05 to 14:10.
        home.write(day.toString("'.codex/sessions/'yyyy/MM/dd'/rollout-later.jsonl'"),
                   test::codexMetaLine("0199c0de-later", "/home/dev/app", secondsTo("14:05:00")) +
                       test::codexTurnLine("gpt-5", secondsTo("14:05:00")) +
                       test::codexUserMessageLine("Fix the build", secondsTo("14:05:00")) +
                       test::codexTotalsLine(1000, 100, 0, secondsTo("14:10:00")));
    }

    // How long ago `time` of the day two days back (UTC) was.
    double secondsTo(const char* time) const {
        const QDateTime at(day, QTime::fromString(QString::fromUtf8(time)), QTimeZone::utc());
        return double(at.msecsTo(QDateTime::currentDateTimeUtc())) / 1000;
    }
    QString iso(const char* time) const {
        return day.toString(Qt::ISODate) + "T" + QString::fromUtf8(time) + ".000Z";
    }
    test::CliRun report(const QStringList& args, const QString& zone) const {
        QProcessEnvironment env = test::cliEnvironment(home.path());
        env.insert("TZ", zone);
        const QString date = day.toString(Qt::ISODate);
        return test::runCli(
            env, QStringList{"report", "session", "--since", date, "--until", date} + args);
    }

    const QDate day = QDateTime::currentDateTimeUtc().date().addDays(-2);
    test::TempDir home;
};

TEST_F(SessionReportTest, SessionRowsSayTheirProjectHoursAndModels) {
    const test::CliRun json = report({"--json"}, "UTC");
    ASSERT_EQ(json.exitCode, 0) << json.err.toStdString();
    const QJsonArray rows = QJsonDocument::fromJson(json.out).object()["rows"].toArray();
    ASSERT_EQ(rows.size(), 2) << json.out.toStdString();
    // In the order they began; each from the start of its first hour to the end of its last.
    const QJsonObject claude = rows[0].toObject();
    EXPECT_EQ(claude["period"].toString(), "5f0c2b1e-0000-4000-8000-000000000001");
    EXPECT_EQ(claude["project"].toString(), "web");
    EXPECT_EQ(claude["start"].toString(), iso("09:00:00"));
    EXPECT_EQ(claude["end"].toString(), iso("12:00:00"));
    EXPECT_EQ(claude["models"].toArray(),
              (QJsonArray{"claude-opus-4-1-20250805", "claude-sonnet-4-5-20250929"}));
    const QJsonObject codex = rows[1].toObject();
    EXPECT_EQ(codex["project"].toString(), "app");
    EXPECT_EQ(codex["start"].toString(), iso("14:00:00"));
    EXPECT_EQ(codex["end"].toString(), iso("15:00:00"));
    EXPECT_EQ(codex["models"].toArray(), QJsonArray{"gpt-5"});

    // The table shows the project and the local start: India is 5:30 ahead of UTC.
    const test::CliRun table = report({}, "Asia/Kolkata");
    ASSERT_EQ(table.exitCode, 0) << table.err.toStdString();
    const QStringList lines = QString::fromUtf8(table.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5) << table.out.toStdString();  // header, two rows, rule, totals
    EXPECT_TRUE(lines[0].startsWith("Session")) << lines[0].toStdString();
    const QStringList header = lines[0].split(' ', Qt::SkipEmptyParts);
    EXPECT_EQ(header.mid(1, 3), (QStringList{"Project", "Start", "Tool"}));
    const QString date = day.toString(Qt::ISODate);
    EXPECT_EQ(lines[1].split(' ', Qt::SkipEmptyParts).mid(1, 5),
              (QStringList{"web", date, "14:30", "Claude", "Code"}));
    EXPECT_EQ(lines[2].split(' ', Qt::SkipEmptyParts).mid(1, 4),
              (QStringList{"app", date, "19:30", "Codex"}));
    // Names to the left: the project column starts where its header does.
    EXPECT_EQ(lines[1].indexOf("web"), lines[0].indexOf("Project"));
}

TEST_F(SessionReportTest, ToolsAreTakenAsPeopleTypeThem) {
    const QByteArray claudeOnly = report({"--json", "--tool", "claudeCode"}, "UTC").out;
    ASSERT_EQ(QJsonDocument::fromJson(claudeOnly).object()["rows"].toArray().size(), 1);
    for (const QString alias :
         {"claude-code", "claude_code", "claudecode", "claude", "Claude Code", "CLAUDE"}) {
        const test::CliRun run = report({"--json", "--tool", alias}, "UTC");
        EXPECT_EQ(run.exitCode, 0) << alias.toStdString();
        EXPECT_EQ(run.out, claudeOnly) << alias.toStdString();
    }
    const test::CliRun both = report({"--json", "--tool", "codex-cli", "--tool", "Claude"}, "UTC");
    EXPECT_EQ(QJsonDocument::fromJson(both.out).object()["rows"].toArray().size(), 2);
}

}  // namespace
}  // namespace qm
