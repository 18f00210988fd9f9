#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QDateTime>
#include <QDir>
#include <QMutex>
#include <cmath>

#include "core/Pricing.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/UsageLedger.h"
#include "readers/CliLogParsing.h"
#include "readers/CodexCliReader.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

using namespace qm;
using qm::test::codexMetaLine;
using qm::test::codexPromptLine;
using qm::test::codexTotalsLine;
using qm::test::codexTurnLine;
using qm::test::codexUserMessageLine;
using qm::test::isoSecondsAgo;
using qm::test::TempDir;

namespace {

constexpr double kHour = 3600;

ProviderUsage summaryOf(const QString& home, TimeMs since) {
    const TempDir cache;
    const auto snapshot =
        ledger::UsageLedger(cache.path(), ledger::LedgerSources::forHome(home)).update(1);
    return ledger::codexUsage(snapshot.files, CodexCliReader::homeFor(home), since);
}

TimeMs nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}
TimeMs windowStart() {
    return nowMs() - 5 * 3600 * 1000;
}

QByteArray usageLine(int input, int output = 0) {
    return "{\"timestamp\":\"" + isoSecondsAgo(60) +
           "\",\"usage\":{\"input_tokens\":" + QByteArray::number(input) +
           ",\"output_tokens\":" + QByteArray::number(output) + "}}\n";
}

class CodexReaderTest : public ::testing::Test {
protected:
    QString sessions() const { return home.filePath(QStringLiteral(".codex/sessions")); }
    QString write(const QString& name, const QByteArray& bytes) const {
        return home.write(QStringLiteral(".codex/sessions/2025/06/01/") + name, bytes);
    }
    // The summary as a first build of the usage index gives it.
    ProviderUsage read() const { return summaryOf(home.path(), windowStart()); }
    // One rollout as the interpreter reads it and the summary takes it.
    CodexCliReader::ParseResult parse(const QByteArray& bytes) const {
        const QString path = write("rollout-p.jsonl", bytes);
        return ledger::codexResult(ledger::readAlone(path, ProviderKind::codex), windowStart());
    }
    TempDir home;
};

}  // namespace

TEST_F(CodexReaderTest, PromptsAreWhatThePersonTyped) {
    // Today's shape: injected context arrives as user messages too, but only the typed prompts
    // have a user_message event.
    QByteArray bytes = codexMetaLine("s1", "/home/dev/my%20app", 7 * kHour) +
                       codexPromptLine(
                           "# AGENTS.md instructions for /home/dev/app\n\n"
                           "<INSTRUCTIONS>be terse</INSTRUCTIONS>",
                           7 * kHour) +
                       codexPromptLine(
                           "<environment_context>\n  <cwd>/home/dev/app</cwd>\n"
                           "</environment_context>",
                           7 * kHour) +
                       codexTurnLine("gpt-5-codex", 7 * kHour);
    for (const auto& [text, ago] : {std::pair{"An old prompt from before the window", 6 * kHour},
                                    std::pair{"<b>bold</b> is what I typed", 120.0}}) {
        bytes += codexPromptLine(text, ago) + codexUserMessageLine(text, ago);
    }
    bytes += codexPromptLine("<turn_aborted>\n  interrupted\n</turn_aborted>", 100) +
             codexTotalsLine(1000, 10, 0, 40);
    auto result = parse(bytes);
    EXPECT_EQ(result.prompts, 2);
    EXPECT_EQ(result.recentPrompts, 1);
    EXPECT_EQ(result.task, "An old prompt from before the window");
    EXPECT_EQ(result.project, "my app");
    EXPECT_EQ(result.model, "gpt-5-codex");

    // Files written before the events existed: the user messages, less the injected ones.
    result = parse("{\"timestamp\":\"" + isoSecondsAgo(600) +
                   "\",\"type\":\"session_meta\",\"model\":\"early-model\","
                   "\"payload\":{\"cwd\":\"/w/app\"}}\n" +
                   codexPromptLine("<user_instructions>\nbe kind\n</user_instructions>", 590) +
                   codexPromptLine("<environment_context>cwd</environment_context>", 590) +
                   codexPromptLine(QString(100, QLatin1Char('x')), 500) + "{\"timestamp\":\"" +
                   isoSecondsAgo(60) +
                   "\",\"payload\":{\"role\":\"user\",\"text\":\"second\"}}\n"
                   "{\"timestamp\":\"" +
                   isoSecondsAgo(50) +
                   "\",\"payload\":{\"role\":\"assistant\",\"content\":\"not a prompt\"}}\n" +
                   codexTotalsLine(10, 1, 0, 40));
    EXPECT_EQ(result.prompts, 2);
    EXPECT_EQ(result.task, QString(60, QLatin1Char('x')) + "...");
    EXPECT_EQ(result.model, "early-model");
}

TEST_F(CodexReaderTest, ModelSwitchIsPricedPerModel) {
    write("rollout-a.jsonl",
          codexMetaLine("s1", "/home/dev/app", 900) + codexTurnLine("gpt-5", 900) +
              codexUserMessageLine("Plan the change", 890) + codexTotalsLine(1000, 100, 400, 880) +
              codexTotalsLine(1000, 100, 400, 879) +  // a repeated event adds nothing
              codexTurnLine("gpt-5-mini-2025-08-07", 600) + codexUserMessageLine("Now do it", 590) +
              codexTotalsLine(3000, 300, 1400, 580));
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 1u);
    const SessionUsage& session = usage.sessions[0];
    EXPECT_EQ(session.model, "gpt-5-mini-2025-08-07");  // the last turn's model
    EXPECT_EQ(session.inputTokens, 3000);
    EXPECT_EQ(session.cachedTokens, 1400);
    EXPECT_EQ(session.outputTokens, 300);
    // gpt-5 (1.25 / 0.125 cached / 10 per million): 1000 input of which 400 cached, 100 output:
    //   600 x 1.25 + 400 x 0.125 + 100 x 10 = 750 + 50 + 1000 = 1800 per million.
    // gpt-5-mini (0.25 / 0.025 / 2): 2000 input of which 1000 cached, 200 output:
    //   1000 x 0.25 + 1000 x 0.025 + 200 x 2 = 250 + 25 + 400 = 675 per million.
    EXPECT_DOUBLE_EQ(session.cost, 2475 / 1e6);
    EXPECT_DOUBLE_EQ(usage.costTotal, 2475 / 1e6);
    ASSERT_EQ(usage.models.size(), 2u);
    EXPECT_EQ(usage.models[0].model, "gpt-5");
    EXPECT_DOUBLE_EQ(usage.models[0].cost, 1800 / 1e6);
    EXPECT_EQ(usage.models[0].inputTokens, 1000);
    EXPECT_EQ(usage.models[1].model, "gpt-5-mini-2025-08-07");
    EXPECT_EQ(usage.models[1].inputTokens, 2000);
    EXPECT_EQ(usage.models[1].cachedTokens, 1000);
    EXPECT_DOUBLE_EQ(usage.models[1].cost, 675 / 1e6);
    EXPECT_EQ(usage.lastFiveHourTokens, 3300);
}

TEST_F(CodexReaderTest, ResumedSessionBringsOnlyTodaysTokensIntoTheWindow) {
    const QString path = write(
        "rollout-r.jsonl", codexMetaLine("s1", "/home/dev/app", 50 * kHour) +
                               codexTurnLine("gpt-5", 50 * kHour) +
                               codexUserMessageLine("Start the port", 50 * kHour) +
                               codexTotalsLine(50'000, 5000, 0, 49 * kHour) +
                               // resumed today: the totals go on from the earlier days' values
                               codexTurnLine("gpt-5", 300) + codexUserMessageLine("Carry on", 300) +
                               codexTotalsLine(51'000, 5100, 0, 200));
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 1u);
    EXPECT_EQ(usage.sessions[0].inputTokens, 51'000);  // the session stays whole
    EXPECT_EQ(usage.sessions[0].prompts, 2);
    EXPECT_EQ(usage.lastFiveHourTokens, 1000 + 100);
    EXPECT_EQ(usage.lastFiveHourPrompts, 1);
    EXPECT_EQ(usage.latestTask, "Start the port");
    EXPECT_EQ(usage.sessions[0].id, path);
}

TEST_F(CodexReaderTest, ForkAndSubagentCountOnlyTheirOwnPart) {
    // A fork: its own session_meta, then the parent's lines with their original times, then
    // its own turns, whose totals go on from the parent's.
    const QByteArray parent = codexMetaLine("parent", "/home/dev/app", 3 * kHour) +
                              codexTurnLine("gpt-5", 3 * kHour) +
                              codexPromptLine("Parent prompt", 3 * kHour) +
                              codexUserMessageLine("Parent prompt", 3 * kHour) +
                              codexTotalsLine(10'000, 1000, 2000, 3 * kHour - 10);
    write("rollout-fork.jsonl",
          codexMetaLine("child", "/home/dev/app", 100, R"({"forked_from_id":"parent"})") + parent +
              codexUserMessageLine("Try the other way", 90) +
              codexTotalsLine(12'000, 1200, 3000, 80));
    // A sub-agent: its own meta, the parent's history replayed with fresh stamps, then its own
    // turns counted from zero under its own model.
    write("rollout-sub.jsonl",
          codexMetaLine("sub", "/home/dev/app", 60,
                        R"({"source":{"subagent":{"thread_spawn":{"parent_thread_id":"parent",)"
                        R"("depth":1}}}})") +
              codexMetaLine("parent", "/home/dev/app", 60) + codexTurnLine("gpt-5", 60) +
              codexPromptLine("Parent prompt", 60) + codexUserMessageLine("Parent prompt", 60) +
              codexTotalsLine(10'000, 1000, 2000, 60) + codexTurnLine("gpt-5-mini", 59) +
              codexPromptLine("Look for every caller of parse()", 59) +
              codexTotalsLine(300, 30, 100, 50) + codexTotalsLine(700, 70, 100, 40));
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 2u);
    const SessionUsage& sub = usage.sessions[0];
    const SessionUsage& fork = usage.sessions[1];
    EXPECT_TRUE(fork.id.endsWith("rollout-fork.jsonl"));
    EXPECT_EQ(fork.inputTokens, 2000);
    EXPECT_EQ(fork.cachedTokens, 1000);
    EXPECT_EQ(fork.outputTokens, 200);
    EXPECT_EQ(fork.prompts, 1);
    EXPECT_EQ(fork.task, "Try the other way");
    ASSERT_TRUE(fork.startedAt);
    EXPECT_NEAR(double(nowMs() - *fork.startedAt), 100'000, 5000);  // at the fork, not before
    // gpt-5: 1000 x 1.25 + 1000 x 0.125 + 200 x 10 = 1250 + 125 + 2000 = 3375 per million.
    EXPECT_DOUBLE_EQ(fork.cost, 3375 / 1e6);

    EXPECT_EQ(sub.model, "gpt-5-mini");
    EXPECT_EQ(sub.inputTokens, 700);
    EXPECT_EQ(sub.cachedTokens, 100);
    EXPECT_EQ(sub.outputTokens, 70);
    EXPECT_EQ(sub.prompts, 0);
    EXPECT_EQ(sub.task, "");
    // gpt-5-mini: 600 x 0.25 + 100 x 0.025 + 70 x 2 = 150 + 2.5 + 140 = 292.5 per million.
    EXPECT_DOUBLE_EQ(sub.cost, 292.5 / 1e6);

    EXPECT_EQ(usage.lastFiveHourPrompts, 1);
    EXPECT_EQ(usage.latestTask, "Try the other way");  // a sub-agent never takes the task over
    EXPECT_EQ(usage.latestModel, "gpt-5-mini");
    EXPECT_EQ(usage.lastFiveHourTokens, 2200 + 770);
}

TEST_F(CodexReaderTest, ArchivedSessionsAndCodexHome) {
    write("rollout-a.jsonl", codexTotalsLine(10, 1, 0, 60));
    home.write(".codex/archived_sessions/rollout-b.jsonl", codexTotalsLine(20, 2, 0, 60));
    const ProviderUsage usage = read();
    EXPECT_EQ(usage.sessionsTotal, 2);
    EXPECT_EQ(usage.totalInputTokens, 30);

    // Only archived sessions left is still a tree to read.
    QDir(sessions()).removeRecursively();
    EXPECT_EQ(read().totalInputTokens, 20);

    const QByteArray saved = qgetenv("CODEX_HOME");
    qputenv("CODEX_HOME", "/somewhere/codex");
    EXPECT_EQ(CodexCliReader::homeFor("/home/me"), "/somewhere/codex");
    qputenv("CODEX_HOME", "");
    EXPECT_EQ(CodexCliReader::homeFor("/home/me"), "/home/me/.codex");
    if (saved.isNull()) {
        qunsetenv("CODEX_HOME");
    } else {
        qputenv("CODEX_HOME", saved);
    }
}

TEST_F(CodexReaderTest, PlanLimitsFromTheNewestEvent) {
    const auto limitsLine = [](double usedFive, double usedWeek, double ago,
                               const QByteArray& resets) {
        return "{\"timestamp\":\"" + isoSecondsAgo(ago) +
               "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"token_count\",\"info\":null,"
               "\"rate_limits\":{\"primary\":{\"used_percent\":" +
               QByteArray::number(usedFive) + ",\"window_minutes\":300," + resets +
               "},\"secondary\":{\"used_percent\":" + QByteArray::number(usedWeek) +
               ",\"window_minutes\":10080," + resets + "},\"plan_type\":\"plus\"}}}\n";
    };
    write("rollout-a.jsonl", codexTotalsLine(10, 1, 0, 300) +
                                 limitsLine(12.5, 40, 200, "\"resets_at\":1765000000") +
                                 limitsLine(99, 99, 250, "\"resets_at\":1"));
    write("rollout-b.jsonl",
          codexTotalsLine(10, 1, 0, 900) + limitsLine(5, 30, 800, "\"resets_in_seconds\":60"));
    const ProviderUsage usage = read();
    ASSERT_TRUE(usage.planLimits);
    ASSERT_TRUE(usage.planLimits->fiveHour && usage.planLimits->weekly);
    EXPECT_EQ(usage.planLimits->fiveHour->usedPercent, 12.5);
    EXPECT_EQ(usage.planLimits->fiveHour->windowMinutes, 300);
    EXPECT_EQ(usage.planLimits->fiveHour->resetsAt, TimeMs(1'765'000'000'000));
    EXPECT_EQ(usage.planLimits->weekly->usedPercent, 40);
    EXPECT_EQ(usage.planLimits->planType, "plus");

    // Older versions give the seconds left from the event.
    const auto older =
        parse(codexTotalsLine(10, 1, 0, 900) + limitsLine(5, 30, 800, "\"resets_in_seconds\":60"));
    ASSERT_TRUE(older.planLimits && older.planLimits->fiveHour);
    EXPECT_EQ(*older.planLimits->fiveHour->resetsAt, older.planLimits->observedAt + 60'000);
}

TEST_F(CodexReaderTest, EveryLimitReportOfTheWindowIsKeptInTimeOrderAcrossSessions) {
    using qm::test::codexRateLimitsLine;
    const std::int64_t resets = nowMs() / 1000 + 3600;
    // Two sessions side by side; a fork repeats its parent's report with the original stamp,
    // and a report older than the window says nothing about its pace.
    write("rollout-a.jsonl", codexMetaLine("a", "/home/dev/app", 7 * kHour) +
                                 codexRateLimitsLine(5, 1, resets, resets, 6 * kHour) +
                                 codexRateLimitsLine(20, 2, resets, resets, 1800) +
                                 codexRateLimitsLine(40, 4, resets, resets, 600));
    write("rollout-b.jsonl", codexMetaLine("b", "/home/dev/app", 900, R"({"forked_from_id":"a"})") +
                                 codexRateLimitsLine(20, 2, resets, resets, 1800) +
                                 codexRateLimitsLine(30, 3, resets, resets, 300) +
                                 codexRateLimitsLine(50, 5, resets, resets, 60));
    const ProviderUsage usage = read();
    std::vector<double> fiveHour;
    for (const CodexPlanLimits& reading : usage.planReadings) {
        ASSERT_TRUE(reading.fiveHour);
        fiveHour.push_back(reading.fiveHour->usedPercent);
    }
    EXPECT_EQ(fiveHour, (std::vector<double>{20, 40, 30, 50}));
    ASSERT_TRUE(usage.planLimits && usage.planLimits->fiveHour);
    EXPECT_EQ(usage.planLimits->fiveHour->usedPercent, 50);
}

TEST_F(CodexReaderTest, BrokenLinesCountForNothing) {
    const auto result =
        parse(codexTotalsLine(100, 1, 0, 60) +
              // trailing garbage, a second object, not an object, broken escapes
              codexTotalsLine(900, 9, 0, 50).trimmed() + " x\n" +
              codexTotalsLine(800, 8, 0, 50).trimmed() + "{}\n" + "[1,2,3]\n" +
              // broken inside a value nothing else reads
              codexTotalsLine(600, 6, 0, 50)
                  .replace("\"model_context_window\":272000", "\"model_context_window\":[1,}") +
              codexUserMessageLine("bad \\q escape", 45).replace("\\\\q", "\\q") +
              // a prompt with a raw line separator inside stays one record
              codexUserMessageLine(QString::fromUtf8("first\xE2\x80\xA8second"), 40) +
              // the last line of a log still being written
              codexTotalsLine(700, 7, 0, 30).left(40));
    EXPECT_EQ(result.tokens.input, 100);
    EXPECT_EQ(result.tokens.output, 1);
    EXPECT_EQ(result.prompts, 1);
    EXPECT_EQ(result.task, QString::fromUtf8("first\xE2\x80\xA8second"));

    // Early per-line usage counts only where no cumulative totals exist.
    EXPECT_EQ(parse(usageLine(10) + usageLine(20)).tokens.input, 30);
    EXPECT_EQ(parse(usageLine(10) + codexTotalsLine(25, 0, 0, 30) + usageLine(99)).tokens.input,
              25);
    EXPECT_EQ(parse(usageLine(-50, 5)).tokens.input, 0);
}

TEST_F(CodexReaderTest, FilesOfAnySizeAreRead) {
    // Over 50 MB, with one line longer than any kept line and records after it.
    QByteArray bytes = codexMetaLine("big", "/home/dev/app", 600) + codexTurnLine("gpt-5", 600) +
                       codexUserMessageLine("Take screenshots", 590);
    const QByteArray filler = "{\"timestamp\":\"" + isoSecondsAgo(580) +
                              "\",\"type\":\"response_item\",\"payload\":{\"type\":"
                              "\"function_call_output\",\"output\":\"" +
                              QByteArray(1 << 20, 'A') + "\"}}\n";
    for (int i = 0; i < 34; ++i) bytes += filler;
    bytes += "{\"timestamp\":\"" + isoSecondsAgo(570) +
             "\",\"type\":\"response_item\",\"payload\":{\"output\":\"" +
             QByteArray(int(CliLogParsing::LineStream::kMaxLineBytes) + 1000, 'B') + "\"}}\n";
    bytes += codexTotalsLine(5000, 50, 0, 560);
    for (int i = 0; i < 16; ++i) bytes += filler;
    bytes += codexUserMessageLine("And one more", 100) + codexTotalsLine(6000, 60, 0, 90);
    ASSERT_GT(bytes.size(), 50'000'000);
    write("rollout-big.jsonl", bytes);
    bytes.clear();
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 1u);
    EXPECT_EQ(usage.sessions[0].inputTokens, 6000);
    EXPECT_EQ(usage.sessions[0].prompts, 2);
}

TEST_F(CodexReaderTest, ListsTwentyMostRecentButTotalsCoverAll) {
    for (int i = 0; i < 25; ++i) {
        const QString path = write(QStringLiteral("rollout-%1.jsonl").arg(i),
                                   codexTotalsLine(10, 1, 0, 1000 + i * 60));
        TempDir::setModifiedSecondsAgo(path, 1000 + i * 60);
    }
    const ProviderUsage usage = read();
    EXPECT_EQ(usage.sessionsTotal, 25);
    EXPECT_EQ(usage.totalInputTokens, 250);
    EXPECT_EQ(usage.lastFiveHourSessions, 25);
    ASSERT_EQ(usage.sessions.size(), 20u);
    for (std::size_t i = 0; i < usage.sessions.size(); ++i) {
        EXPECT_TRUE(usage.sessions[i].id.endsWith(QStringLiteral("/rollout-%1.jsonl").arg(i)))
            << usage.sessions[i].id.toStdString();
    }
    EXPECT_EQ(usage.models.size(), 1u);
    EXPECT_EQ(usage.models[0].sessions, 25);
    EXPECT_EQ(usage.statusText, "Recent");  // the latest was 1000 s ago
}

TEST_F(CodexReaderTest, OnlyRolloutsInsideTheWindowCount) {
    const QString recent = write("rollout-new.jsonl", codexTotalsLine(10, 1, 0, 60));
    const QString old = write("rollout-old.jsonl", codexTotalsLine(1'000'000, 1, 0, 6 * kHour));
    TempDir::setModifiedSecondsAgo(old, 6 * 3600);
    // Only regular "rollout-*.jsonl" files are candidates at all.
    QDir().mkpath(sessions() + "/rollout-dir.jsonl");
    const QString other = write("session-x.jsonl", codexTotalsLine(5, 5, 0, 60));
    write("rollout-y.json", codexTotalsLine(5, 5, 0, 60));
    const QString fifo = sessions() + "/rollout-fifo.jsonl";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    const ProviderUsage usage = read();
    EXPECT_EQ(usage.sessionsTotal, 1);
    EXPECT_EQ(usage.sessions.at(0).id, recent);
    EXPECT_EQ(usage.totalInputTokens, 10);
    EXPECT_TRUE(usage.warnings.isEmpty());
}

TEST_F(CodexReaderTest, MissingDirectoryAndEmptyTree) {
    ProviderUsage usage = read();
    EXPECT_EQ(usage.warnings, QStringList{"Codex sessions directory was not found."});
    EXPECT_EQ(usage.statusText, "No local data");
    EXPECT_EQ(usage.dataSourceLabel, "Local rollout logs");
    EXPECT_EQ(usage.dataSourceDetail, sessions());
    EXPECT_FALSE(usage.isAuthenticated);

    home.write(".codex/auth.json", "{}");
    QDir().mkpath(sessions() + "/2025");
    usage = read();
    EXPECT_EQ(usage.warnings, QStringList{"No rollout JSONL files were found."});
    EXPECT_TRUE(usage.isAuthenticated);
    EXPECT_EQ(usage.statusLevel, UsageStatusLevel::unknown);

    // A file without usage is not a session.
    write("rollout-z.jsonl", codexPromptLine("hello", 10));
    usage = read();
    EXPECT_TRUE(usage.warnings.isEmpty());
    EXPECT_EQ(usage.sessionsTotal, 0);
    EXPECT_FALSE(usage.latestActivityAt);
}
