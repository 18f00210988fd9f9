#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <memory>
#include <thread>

#include "core/ClaudeLimitReadings.h"
#include "core/ClaudeResetTimes.h"
#include "core/Iso8601.h"
#include "history/UsageHistoryFile.h"
#include "support/CliEnvironment.h"
#include "support/TempDir.h"

namespace qm {
namespace {

constexpr TimeMs kCodeMinute = 60'000;

QString clock(TimeMs at) {
    return QDateTime::fromMSecsSinceEpoch(at).toString("HH:mm");
}

// The figures Claude Code's status line reads since 2.1.80, about the limits of a home with no
// tool logs: the readings file Claude Code's status lines fill, and claude.ai snapshots the
// application recorded.
class ClaudeCodeLimitsTest : public ::testing::Test {
protected:
    // Claude Code's object in its real shape; `limits` is its "rate_limits" member, if any.
    static QByteArray statusInput(const std::optional<QJsonValue>& limits) {
        QJsonObject input{
            {"hook_event_name", "Status"},
            {"session_id", "4f1c2b7e-0000-4000-8000-00000000c0de"},
            {"transcript_path", "/nowhere/4f1c2b7e.jsonl"},
            {"cwd", "/home/dev/web"},
            {"model",
             QJsonObject{{"id", "claude-opus-4-5-20251101"}, {"display_name", "Opus 4.5"}}},
            {"workspace",
             QJsonObject{{"current_dir", "/home/dev/web"}, {"project_dir", "/home/dev/web"}}},
            {"version", "2.1.80"},
            {"output_style", QJsonObject{{"name", "default"}}},
            {"cost", QJsonObject{{"total_cost_usd", 0.42}, {"total_duration_ms", 45000}}},
            {"exceeds_200k_tokens", false}};
        if (limits) input["rate_limits"] = *limits;
        return QJsonDocument(input).toJson();
    }
    // {"five_hour": {...}, "seven_day": {...}} with reset times in Unix seconds.
    static QJsonObject rateLimits(std::optional<double> fiveHour, TimeMs fiveHourReset,
                                  std::optional<double> weekly, TimeMs weeklyReset) {
        QJsonObject limits;
        if (fiveHour)
            limits["five_hour"] = QJsonObject{{"used_percentage", *fiveHour},
                                              {"resets_at", double(fiveHourReset / 1000)}};
        if (weekly)
            limits["seven_day"] = QJsonObject{{"used_percentage", *weekly},
                                              {"resets_at", double(weeklyReset / 1000)}};
        return limits;
    }

    test::CliRun runCli(const QStringList& args, const QByteArray& input = {}) const {
        return test::runCli(test::cliEnvironment(home.path()), args, input);
    }
    QString statusLine(const QByteArray& input) const {
        const test::CliRun run = runCli({"statusline"}, input);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_EQ(run.out.count('\n'), 1) << run.out.toStdString();
        return QString::fromUtf8(run.out);
    }
    QJsonArray limitsJson() const {
        const test::CliRun run = runCli({"limits", "--json"});
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        return QJsonDocument::fromJson(run.out).object()["limits"].toArray();
    }
    std::vector<ClaudeLimitReading> stored() const {
        return ClaudeLimitReadingsFile::load(path, now);
    }
    void store(const std::vector<ClaudeLimitReading>& readings) const {
        ASSERT_EQ(ClaudeLimitReadingsFile::record(path, readings, now, 5000).outcome,
                  ClaudeLimitReadingsFile::RecordOutcome::stored);
    }
    // claude.ai read `minutesAgo`: 25% of the five-hour window, 31% of the week, 12% of Sonnet's.
    void siteRead(TimeMs minutesAgo) const {
        UsageHistoryData history;
        history.claudeSnapshots = {{now - minutesAgo * kCodeMinute, 25, 31, 12, "Sonnet"}};
        ASSERT_EQ(UsageHistoryFileStore(UsageHistoryFileStore::pathIn(data)).save(history),
                  std::nullopt);
        const ClaudeResetTimes resets{now - minutesAgo * kCodeMinute,
                                      Iso8601::formatMs(fiveHourReset),
                                      Iso8601::formatMs(weeklyReset), std::nullopt};
        ASSERT_EQ(ClaudeResetTimesFile::save(ClaudeResetTimesFile::pathIn(data), resets),
                  std::nullopt);
    }

    test::TempDir home;
    const QString data = home.filePath(".local/share/Quotameter");
    const QString path = ClaudeLimitReadingsFile::pathIn(data);
    const TimeMs now = QDateTime::currentMSecsSinceEpoch();
    // Whole seconds, as Claude Code hands them over.
    const TimeMs fiveHourReset = (now + 2 * 3'600'000) / 1000 * 1000;
    const TimeMs weeklyReset = (now + 3 * 24 * 3'600'000) / 1000 * 1000;
};

TEST_F(ClaudeCodeLimitsTest, TheStatusLineShowsTheFiguresItIsHandedAndKeepsThem) {
    // Two earlier status lines saw the five-hour window climb 1% a minute.
    store({{ClaudeLimitWindow::fiveHour, 20, fiveHourReset, now - 20 * kCodeMinute},
           {ClaudeLimitWindow::fiveHour, 30, fiveHourReset, now - 10 * kCodeMinute}});
    const QByteArray input = statusInput(rateLimits(40, fiveHourReset, 31, weeklyReset));
    const QString line = statusLine(input);

    const std::vector<ClaudeLimitReading> after = stored();
    ASSERT_EQ(after.size(), 4u);
    const TimeMs readAt = after.back().readAt;
    EXPECT_NEAR(double(readAt - now), 0, 60'000.0);
    EXPECT_EQ(after[2],
              (ClaudeLimitReading{ClaudeLimitWindow::fiveHour, 40, fiveHourReset, readAt}));
    EXPECT_EQ(after[3], (ClaudeLimitReading{ClaudeLimitWindow::weekly, 31, weeklyReset, readAt}));
    // 60 points to go at 60% an hour from the reading just made (the command reads its clock a
    // moment after the test: the pace is a hair off 60% an hour).
    EXPECT_TRUE(line.startsWith("Opus 4.5 · ")) << line.toStdString();
    const TimeMs full = readAt + 60 * kCodeMinute;
    const QString expected = " · 5h 40% (resets %1, full at %2) · 7d 31%\n";
    EXPECT_TRUE(line.endsWith(expected.arg(clock(fiveHourReset), clock(full - 10'000))) ||
                line.endsWith(expected.arg(clock(fiveHourReset), clock(full + 10'000))))
        << line.toStdString();

    // The same figures again within the minute are not kept twice; new ones are.
    const QByteArray before = test::readAll(path);
    EXPECT_TRUE(statusLine(input).contains(" · 5h 40% (resets "));
    EXPECT_EQ(test::readAll(path), before);
    EXPECT_TRUE(statusLine(statusInput(rateLimits(41.6, fiveHourReset, 31, weeklyReset)))
                    .contains(" · 5h 42% (resets "));
    ASSERT_EQ(stored().size(), 5u);
    EXPECT_EQ(stored().back().percent, 41.6);
}

TEST_F(ClaudeCodeLimitsTest, OddFiguresAreLeftOutOneByOneAndTheLineStillPrints) {
    // Without rate_limits and nothing read before: no limit part, nothing kept.
    EXPECT_FALSE(statusLine(statusInput(std::nullopt)).contains("5h"));
    // Each window on its own.
    EXPECT_TRUE(statusLine(statusInput(rateLimits(40, fiveHourReset, std::nullopt, 0)))
                    .endsWith(QString(" · 5h 40% (resets %1)\n").arg(clock(fiveHourReset))));
    EXPECT_TRUE(statusLine(statusInput(rateLimits(std::nullopt, 0, 31, weeklyReset)))
                    .endsWith(" · 5h 40% (resets " + clock(fiveHourReset) + ") · 7d 31%\n"));
    const std::vector<ClaudeLimitReading> kept = stored();
    ASSERT_EQ(kept.size(), 2u);

    const QJsonObject fine{{"used_percentage", 55}, {"resets_at", double(fiveHourReset / 1000)}};
    const auto fiveHour = [&](const char* key, const QJsonValue& value) {
        QJsonObject window = fine;
        window[key] = value;
        return QJsonObject{{"five_hour", window}};
    };
    // A window whose percentage is not one, or whose reset has passed, is not read at all.
    const double pastReset = double(now / 1000 - 60);
    for (const QJsonValue& limits :
         {QJsonValue(fiveHour("used_percentage", -5)),
          QJsonValue(fiveHour("used_percentage", 100.5)),
          QJsonValue(fiveHour("used_percentage", "55")),
          QJsonValue(fiveHour("used_percentage", QJsonValue())),
          QJsonValue(fiveHour("used_percentage", true)),
          QJsonValue(fiveHour("resets_at", pastReset)),
          QJsonValue(QJsonObject{{"five_hour", QJsonArray{55}}}), QJsonValue("full"),
          QJsonValue(QJsonArray{fine}), QJsonValue(1e308)}) {
        SCOPED_TRACE(
            QJsonDocument(QJsonArray{limits}).toJson(QJsonDocument::Compact).toStdString());
        const QString line = statusLine(statusInput(limits));
        EXPECT_TRUE(line.startsWith("Opus 4.5 · ")) << line.toStdString();
        EXPECT_FALSE(line.contains("55%")) << line.toStdString();
    }
    // A reset time no window reaches is left out; the percentage stands.
    const QJsonObject weeklyFine{{"used_percentage", 33},
                                 {"resets_at", double(weeklyReset / 1000)}};
    QJsonObject weeklyAhead = weeklyFine;
    weeklyAhead["resets_at"] = double(now / 1000 + 30 * 86400);
    for (const QJsonObject& limits :
         {fiveHour("resets_at", double(now / 1000 + 7 * 3600)),
          fiveHour("resets_at", double(fiveHourReset)),  // milliseconds, not seconds
          fiveHour("resets_at", "soon"), QJsonObject{{"seven_day", weeklyAhead}}}) {
        SCOPED_TRACE(QJsonDocument(limits).toJson(QJsonDocument::Compact).toStdString());
        statusLine(statusInput(limits));
        const ClaudeLimitReading newest = stored().back();
        EXPECT_EQ(newest.resetsAt, std::nullopt);
        EXPECT_TRUE(newest.percent == 55 || newest.percent == 33);
    }
    const std::vector<ClaudeLimitReading> all = stored();
    EXPECT_TRUE(std::ranges::all_of(all, [](const auto& r) { return r.percent <= 55; }));
}

TEST_F(ClaudeCodeLimitsTest, LimitsShowTheFreshestReadingOfEachWindowAndWhereItCameFrom) {
    const auto sources = [this] {
        QStringList names;
        for (const QJsonValue& limit : limitsJson())
            names << limit["window"].toString() + ":" + limit["source"].toString() + ":" +
                         QString::number(limit["usedPercent"].toDouble());
        return names;
    };
    // Claude Code alone.
    store({{ClaudeLimitWindow::fiveHour, 40, fiveHourReset, now - 2 * kCodeMinute},
           {ClaudeLimitWindow::weekly, 30, weeklyReset, now - 20 * kCodeMinute}});
    EXPECT_EQ(sources(), QStringList({"fiveHour:claudeCode:40", "weekly:claudeCode:30"}));
    const QJsonObject first = limitsJson()[0].toObject();
    EXPECT_EQ(first["readAt"].toString(), Iso8601::formatMs(now - 2 * kCodeMinute));
    EXPECT_EQ(first["resetsAt"].toString(), Iso8601::formatMs(fiveHourReset));

    // Both: claude.ai's reading ten minutes ago is fresher for the week only; Sonnet's limit
    // only the site reports.
    siteRead(10);
    EXPECT_EQ(sources(), QStringList({"fiveHour:claudeCode:40", "weekly:claudeWeb:31",
                                      "weeklySonnet:claudeWeb:12"}));
    const test::CliRun text = runCli({"limits"});
    const QStringList lines = QString::fromUtf8(text.out).trimmed().split('\n');
    ASSERT_EQ(lines.size(), 3) << text.out.toStdString();
    EXPECT_TRUE(lines[0].contains("read " + clock(now - 2 * kCodeMinute) + " from Claude Code"))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains("read " + clock(now - 10 * kCodeMinute) + " from claude.ai"))
        << lines[1].toStdString();

    const test::CliRun title = runCli({"title", "--json"});
    const QJsonObject bar = QJsonDocument::fromJson(title.out).object();
    EXPECT_EQ(bar["percentage"].toInt(), 40);
    EXPECT_EQ(bar["class"].toString(), "good");
    const QString tip = bar["tooltip"].toString();
    for (const QString& expected :
         {QString("\nClaude (from Claude Code, 2 min ago):\n  5-hour session 40%, resets "),
          "\n  7-day 31%, resets " +
              QDateTime::fromMSecsSinceEpoch(weeklyReset).toString("MM/dd HH:mm") +
              " (from claude.ai, " + clock(now - 10 * kCodeMinute) + ")\n"})
        EXPECT_TRUE(tip.contains(expected)) << expected.toStdString() << "\n" << tip.toStdString();

    // The exporter says the same.
    const QByteArray metrics = runCli({"metrics"}).out;
    for (const char* series :
         {"quotameter_limit_used_ratio{tool=\"claude\",window=\"fiveHour\"} 0.4\n",
          "quotameter_limit_read_timestamp_seconds{source=\"claudeCode\",tool=\"claude\","
          "window=\"fiveHour\"} ",
          "quotameter_limit_read_timestamp_seconds{source=\"claudeWeb\",tool=\"claude\","
          "window=\"weekly\"} "})
        EXPECT_TRUE(metrics.contains(series)) << series;

    // claude.ai alone (the Claude Code readings older than half an hour).
    ASSERT_TRUE(QFile::remove(path));
    store({{ClaudeLimitWindow::fiveHour, 90, fiveHourReset, now - 40 * kCodeMinute}});
    EXPECT_EQ(sources(), QStringList({"fiveHour:claudeWeb:25", "weekly:claudeWeb:31",
                                      "weeklySonnet:claudeWeb:12"}));
}

TEST_F(ClaudeCodeLimitsTest, StatusLinesAndTheAppRecordingAtOnceLoseNothingButRepeats) {
    // Two Claude Code sessions, each updating its status line four times at once, and the
    // application recording claude.ai's readings meanwhile.
    std::vector<std::unique_ptr<QProcess>> lines;
    std::vector<double> percents;
    for (const double base : {10.0, 50.0}) {
        for (int i = 0; i < 4; ++i) {
            percents.push_back(base + i);
            auto process = std::make_unique<QProcess>();
            process->setProcessEnvironment(test::cliEnvironment(home.path()));
            process->start(QM_CLI_PATH, {"statusline"});
            process->write(statusInput(rateLimits(base + i, fiveHourReset, 31, weeklyReset)));
            process->closeWriteChannel();
            lines.push_back(std::move(process));
        }
    }
    std::vector<ClaudeLimitReadingsFile::RecordOutcome> appOutcomes;
    std::thread app([&] {
        for (int i = 0; i < 10; ++i) {
            const TimeMs at = now + i;
            const ClaudeLimitReading reading{ClaudeLimitWindow::weekly, 60.0 + i, weeklyReset, at,
                                             LimitSource::claudeWeb};
            appOutcomes.push_back(ClaudeLimitReadingsFile::record(path, {reading}, at).outcome);
        }
    });
    QStringList dropped;
    for (const auto& process : lines) {
        ASSERT_TRUE(process->waitForFinished(60000));
        EXPECT_EQ(process->exitCode(), 0);
        dropped << QString::fromUtf8(process->readAllStandardError());
    }
    app.join();

    // The file is whole: every entry in it reads back.
    const QJsonArray raw =
        QJsonDocument::fromJson(test::readAll(path)).object()["readings"].toArray();
    const std::vector<ClaudeLimitReading> kept = stored();
    ASSERT_EQ(std::size_t(raw.size()), kept.size());
    // Every status line's five-hour figure is there unless that status line said it dropped it
    // (the lock busy past 50 ms); the weekly 31% is kept once, the repeats within the minute not.
    int keptByStatusLines = 0;
    for (std::size_t i = 0; i < percents.size(); ++i) {
        const bool there = std::ranges::any_of(kept, [&](const auto& r) {
            return r.window == ClaudeLimitWindow::fiveHour && r.percent == percents[i];
        });
        EXPECT_TRUE(there || dropped[qsizetype(i)].contains("not recorded")) << percents[i];
        keptByStatusLines += there;
    }
    EXPECT_GT(keptByStatusLines, 0);
    const auto weeklyFromCode = std::ranges::count_if(kept, [](const auto& r) {
        return r.window == ClaudeLimitWindow::weekly && r.source == LimitSource::claudeCode;
    });
    EXPECT_EQ(weeklyFromCode, keptByStatusLines > 0 ? 1 : 0);
    for (int i = 0; i < 10; ++i) {
        const bool there = std::ranges::any_of(kept, [&](const auto& r) {
            return r.source == LimitSource::claudeWeb && r.percent == 60.0 + i;
        });
        EXPECT_EQ(there,
                  appOutcomes[std::size_t(i)] == ClaudeLimitReadingsFile::RecordOutcome::stored)
            << i;
    }
}

}  // namespace
}  // namespace qm
