#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>

#include "ledger/FiveHourSummaries.h"
#include "ledger/UsageLedger.h"
#include "ledger/UsageReport.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

// Grok's session folders read by the index and composed into the summary and the reports:
// billed turns, sessions of versions that logged no usage (estimated from their context),
// spawned agents, and folders whose files change.
namespace qm::ledger::groklogtest {
namespace {

using test::TempDir;

TimeMs nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// The tool's times carry nanoseconds.
QByteArray isoNs(double secondsAgo) {
    QByteArray at = test::isoSecondsAgo(secondsAgo);
    return at.insert(at.size() - 1, "417253");
}

// summary.json as the tool writes it.
QByteArray summaryJson(const QByteArray& id, double lastActiveAgo, const QByteArray& model,
                       const QByteArray& extra = {}) {
    return R"({"info":{"id":")" + id + R"(","cwd":"/w/repo/sub"},"git_root_dir":"/w/repo",)" +
           R"("created_at":")" + isoNs(lastActiveAgo + 900) + R"(","updated_at":")" +
           isoNs(lastActiveAgo) + R"(","last_active_at":")" + isoNs(lastActiveAgo) +
           R"(","current_model_id":")" + model + R"(","session_summary":"  Task of )" + id +
           R"(  ","generated_title":"Title of )" + id + "\"" + extra + "}";
}

QByteArray signalsJson(int context, int prompts, const QByteArray& primaryModel = {}) {
    return R"({"contextTokensUsed":)" + QByteArray::number(context) +
           R"(,"contextWindowUsage":0.4,"userMessageCount":)" + QByteArray::number(prompts) +
           R"(,"turnCount":9,"toolCallCount":4)" +
           (primaryModel.isEmpty() ? QByteArray()
                                   : R"(,"primaryModelId":")" + primaryModel + "\"") +
           "}";
}

QByteArray updateLine(const QByteArray& inner) {
    return R"({"jsonrpc":"2.0","method":"_x.ai/session/update","params":{"sessionId":"s",)"
           R"("update":)" +
           inner + "}}\n";
}

// One finished turn of updates.jsonl.
QByteArray turnLine(const QByteArray& usage) {
    return updateLine(R"({"sessionUpdate":"turn_completed","stopReason":"end_turn","usage":)" +
                      usage + "}");
}

class GrokLogTest : public ::testing::Test {
protected:
    QString sessions() const { return home.filePath(".grok/sessions"); }
    QString write(const QString& relative, const QByteArray& bytes) const {
        return home.write(".grok/sessions/%2Fw%2Frepo/" + relative, bytes);
    }
    LedgerSnapshot update() const {
        return UsageLedger(cache.path(), {{}, {}, {}, sessions()}).update(1);
    }
    ProviderUsage summary(const LedgerSnapshot& snapshot, TimeMs window = 5 * 3'600'000) const {
        return grokUsage(snapshot.files, sessions(), home.filePath(".grok/auth.json"),
                         nowMs() - window);
    }
    // The index's figures of one session, and whether they are estimated.
    static std::pair<Counts, bool> sessionFigures(const LedgerSnapshot& snapshot,
                                                  const QString& session) {
        Counts sum;
        bool estimated = false;
        for (const UsageSlice& slice : snapshot.slices()) {
            if (slice.session != session) continue;
            sum += slice.counts;
            estimated = estimated || (slice.flags & kEstimated);
        }
        return {sum, estimated};
    }
    TempDir home;
    TempDir cache;
};

TEST_F(GrokLogTest, BilledTurnsEstimatesAndSpawnedAgentsInTheSummaryAndTheIndex) {
    // A Grok Build session: a streamed chunk that merely mentions a finished turn, a turn with
    // the tool's own cost, one priced from the table, one split by model, one out of range.
    write("b1/summary.json", summaryJson("b1", 60, "grok-code-fast-1"));
    write("b1/signals.json", signalsJson(90000, 2, "grok-build"));
    write("b1/updates.jsonl",
          updateLine(R"({"sessionUpdate":"agent_message_chunk","content":{"type":"text",)"
                     R"("text":"turn_completed"}})") +
              turnLine(R"({"inputTokens":10000,"outputTokens":500,"cachedReadTokens":8000,)"
                       R"("reasoningTokens":200,"modelCalls":3,"costUsdTicks":123450000})") +
              turnLine(R"({"inputTokens":2000,"outputTokens":100,"cachedReadTokens":0,)"
                       R"("reasoningTokens":0,"modelCalls":1})") +
              turnLine(R"({"inputTokens":700,"outputTokens":70,"modelUsage":{"grok-4":)"
                       R"({"inputTokens":600,"outputTokens":60},"grok-code-fast-1":)"
                       R"({"inputTokens":100,"outputTokens":10,"costUsdTicks":5000}}})") +
              turnLine(R"({"inputTokens":-5,"outputTokens":3})"));
    // An agent the tool spawned: its usage counts, its prompts and session do not.
    write("h1/summary.json",
          summaryJson("h1", 30, "grok-code-fast-1",
                      R"(,"session_kind":"subagent","hidden":true,"parent_session_id":"b1")"));
    write("h1/chat_history.jsonl",
          R"({"type":"user","content":"<user_query>Find the callers</user_query>"})"
          "\n");
    write("h1/updates.jsonl",
          turnLine(R"({"inputTokens":1000,"outputTokens":100,"cachedReadTokens":500,)"
                   R"("modelUsage":{"grok-code-fast-1":{"inputTokens":1000,"outputTokens":100,)"
                   R"("cachedReadTokens":500}}})"));
    // Sessions of a version that logged no usage: estimated from the context fill.
    write("o1/summary.json", summaryJson("o1", 120, "grok-code-fast-1"));
    write("o1/signals.json", signalsJson(100000, 1));
    write("x1/summary.json", summaryJson("x1", 6 * 3600, "grok-code-fast-1"));
    write("x1/signals.json", signalsJson(5000, 4));

    const LedgerSnapshot built = update();
    EXPECT_EQ(built.stats.files, 6u);  // two updates.jsonl, four sessions' small files
    EXPECT_EQ(skippedLines(built.files), 1);
    for (const LedgerSnapshot& snapshot : {built, update()}) {
        const ProviderUsage usage = summary(snapshot);
        EXPECT_EQ(usage.sessionsTotal, 2);
        EXPECT_EQ(usage.lastFiveHourPrompts, 3);
        ASSERT_EQ(usage.sessions.size(), 2u);
        const SessionUsage& build = usage.sessions[0];
        EXPECT_EQ(build.id, "b1");
        EXPECT_EQ(build.project, "repo");
        EXPECT_EQ(build.task, "Task of b1");
        EXPECT_EQ(build.model, "grok-build");
        EXPECT_EQ(build.inputTokens, 12700);
        EXPECT_EQ(build.contextTokens, 90000);  // shown, not priced
        // The tool's 123 450 000 ticks; 2000 x 0.2 + 100 x 0.5 per million at grok-build;
        // grok-4 600 x 3 + 60 x 15 per million; the tool's 5000 ticks.
        const double billed = 0.012345 + 0.00045 + 0.0027 + 0.0000005;
        EXPECT_NEAR(build.cost, billed, 1e-12);
        // 100 000 context tokens at grok-code-fast-1's 0.2 per million.
        EXPECT_NEAR(usage.sessions[1].cost, 0.02, 1e-12);
        EXPECT_EQ(usage.sessions[1].prompts, 1);
        // The agent: 500 x 0.2 + 500 x 0.02 + 100 x 1.5 per million.
        EXPECT_NEAR(usage.costTotal, billed + 0.02 + 0.00026, 1e-12);
        EXPECT_EQ(usage.totalInputTokens, 12700 + 1000);
        EXPECT_EQ(usage.lastFiveHourTokens, 12700 + 670 + 1100 + 100000);
        ASSERT_EQ(usage.models.size(), 3u);  // by cost: then grok-build, grok-4
        EXPECT_EQ(usage.models[0].model, "grok-code-fast-1");
        EXPECT_EQ(usage.models[0].sessions, 3);
        EXPECT_EQ(usage.models[0].prompts, 3);  // b1's go to the last model it used
    }

    // The index: turns and a prompt each, the agent without prompts, the estimates marked.
    for (const auto& [id, input, prompts, estimate] :
         {std::tuple("b1", 12700, 3, false), std::tuple("h1", 1000, 0, false),
          std::tuple("o1", 100000, 1, true), std::tuple("x1", 5000, 4, true)}) {
        const auto [counts, estimated] = sessionFigures(built, id);
        EXPECT_EQ(estimated, estimate) << id;
        EXPECT_EQ(counts.input, input) << id;
        EXPECT_EQ(counts.prompts, prompts) << id;
    }
}

TEST_F(GrokLogTest, AnOldSessionCountsInTheReportsAsEstimatedAtTheSummarysCost) {
    write("o1/summary.json", summaryJson("o1", 120, "grok-code-fast-1"));
    write("o1/signals.json", signalsJson(5000, 1));
    write("n1/summary.json", summaryJson("n1", 60, "grok-4"));
    write("n1/updates.jsonl", turnLine(R"({"inputTokens":1000,"outputTokens":100})"));
    const LedgerSnapshot snapshot = update();
    const std::vector<UsageSlice> slices = snapshot.slices();
    const double fiveHours = summary(snapshot).sessions.at(1).cost;
    EXPECT_NEAR(fiveHours, 0.001, 1e-12);  // 5000 x 0.2 per million

    const QDate today = QDate::currentDate();
    ReportQuery query;
    query.since = today.addDays(-1);  // the session may have been active before midnight
    query.until = today;
    query.grouping = ReportGrouping::model;
    const UsageReport report = buildReport(slices, query);
    const QJsonObject json = reportJson(report);
    int estimatedRows = 0;
    for (const QJsonValue& value : json["rows"].toArray()) {
        const QJsonObject row = value.toObject();
        if (row["model"].toString() == "grok-4") {
            EXPECT_FALSE(row.contains("estimated"));
            continue;
        }
        ++estimatedRows;
        EXPECT_EQ(row["model"].toString(), "grok-code-fast-1");
        EXPECT_EQ(row["estimated"], QJsonValue(true));
        EXPECT_DOUBLE_EQ(row["costUsd"].toDouble(), 0.001);
        EXPECT_EQ(row["inputTokens"].toInteger(), 5000);
        EXPECT_EQ(row["prompts"].toInteger(), 1);
    }
    EXPECT_EQ(estimatedRows, 1);
    EXPECT_EQ(json["totals"].toObject()["estimated"], QJsonValue(true));
    // The cards' Today and This month sum the same slices.
    const ReportFigures cards =
        figuresBetween(slices, nowMs() - 2 * 86'400'000, nowMs() + 1, ProviderKind::grok);
    EXPECT_TRUE(cards.estimated);
    EXPECT_NEAR(cards.costUsd, fiveHours + (1000 * 3 + 100 * 15) / 1e6, 1e-12);
    EXPECT_TRUE(reportTable(report).contains("$0.00~"));
    EXPECT_FALSE(reportCsv(report).contains("~"));
}

TEST_F(GrokLogTest, AGrownLogIsReadOnAndAChangedSmallFileReadAgain) {
    const QString summaryPath =
        write("s1/summary.json", summaryJson("s1", 100, "grok-code-fast-1"));
    const QString updates =
        write("s1/updates.jsonl", turnLine(R"({"inputTokens":1000,"outputTokens":100})"));
    const QString oldSummary = write("o2/summary.json", summaryJson("o2", 200, "grok-code-fast-1"));
    const QString signals = write("o2/signals.json", signalsJson(50000, 2));
    // Written a while ago, so that a rewrite is newer.
    for (const QString& path : {summaryPath, updates, oldSummary, signals})
        TempDir::setModifiedSecondsAgo(path, 100);
    const LedgerSnapshot built = update();
    EXPECT_EQ(built.stats.files, 3u);

    const QByteArray turn = turnLine(R"({"inputTokens":3000,"outputTokens":300})");
    test::append(updates, turn);
    const LedgerSnapshot readOn = update();
    EXPECT_EQ(readOn.stats.filesRead, 1u);
    EXPECT_EQ(readOn.stats.bytesRead, turn.size());  // the new turn, not the file again
    EXPECT_EQ(summary(readOn).sessions.at(0).inputTokens, 4000);

    // The model changes in summary.json: the session is read again, and its turns that name
    // no model are priced at the new one.
    write("s1/summary.json", summaryJson("s1", 10, "grok-4"));
    const LedgerSnapshot remodelled = update();
    EXPECT_EQ(remodelled.stats.filesRead, 1u);
    const ProviderUsage usage = summary(remodelled);
    EXPECT_EQ(usage.sessions.at(0).model, "grok-4");
    EXPECT_NEAR(usage.sessions.at(0).cost, (4000 * 3 + 400 * 15) / 1e6, 1e-12);

    // The context grows and the model changes in signals.json: the estimate follows, in the
    // summary and in the index alike.
    write("o2/signals.json", signalsJson(80000, 3, "grok-4"));
    const LedgerSnapshot grown = update();
    EXPECT_EQ(grown.stats.filesRead, 1u);
    const auto [counts, estimated] = sessionFigures(grown, "o2");
    EXPECT_TRUE(estimated);
    EXPECT_EQ(counts.input, 80000);
    EXPECT_EQ(counts.prompts, 3);
    EXPECT_NEAR(summary(grown).sessions.at(1).cost, 80000 * 3 / 1e6, 1e-12);

    const LedgerSnapshot again = update();
    EXPECT_EQ(again.stats.filesRead, 0u);
    EXPECT_EQ(summary(again), summary(grown));
}

TEST_F(GrokLogTest, TitlesTimesDuplicatesAndPromptsFromTheHistory) {
    EXPECT_EQ(summary(update()).warnings, QStringList{"Grok sessions directory was not found."});

    // No last activity: created_at stands in; a blank summary gives way to the title.
    write("created/summary.json",
          R"({"info":{"id":"created"},"generated_title":"Generated\ntitle",)"
          R"("session_summary":"   ","created_at":")" +
              isoNs(120) + "\"}");
    // No time at all: the summary file's modification time.
    TempDir::setModifiedSecondsAgo(write("untimed/summary.json", R"({"info":{"id":"untimed"}})"),
                                   1800);
    TempDir::setModifiedSecondsAgo(write("stale/summary.json", R"({"info":{"id":"stale"}})"),
                                   6 * 3600);
    write("broken/summary.json", R"({"info":)");
    write("broken/signals.json", signalsJson(7000, 1));
    const QString noId = write("noid/summary.json", R"({"updated_at":")" + isoNs(10) + "\"}");
    // One id in two folders: the later active one stays.
    write("a/summary.json", summaryJson("dup", 600, "grok-code-fast-1"));
    write("a/signals.json", signalsJson(0, 1, "grok-4"));
    write("b/summary.json", summaryJson("dup", 50, "grok-code-fast-1"));
    write("b/signals.json", signalsJson(0, 5));
    // Without signals.json, the prompts the history marks as the person's.
    write("h/summary.json", summaryJson("h", 40, "grok-code-fast-1"));
    write("h/chat_history.jsonl",
          R"({"type":"user","content":"<user_query>one</user_query>"})"
          "\n"
          R"({"type":"user","content":[{"type":"text","text":"x <user_query>two"}]})"
          "\n"
          R"({"type":"user","content":"no marker"})"
          "\n"
          R"({"type":"assistant","content":"<user_query>quoted</user_query>"})"
          "\n"
          "not json\n");

    const LedgerSnapshot snapshot = update();
    const ProviderUsage usage = summary(snapshot);
    QStringList ids;
    for (const SessionUsage& s : usage.sessions) ids.append(s.id);
    EXPECT_EQ(ids, (QStringList{noId, "h", "dup", "created", "untimed"}));  // latest first
    EXPECT_EQ(usage.sessions[1].prompts, 2);
    EXPECT_EQ(usage.sessions[2].prompts, 5);
    EXPECT_EQ(usage.sessions[2].model, "grok-code-fast-1");
    EXPECT_EQ(usage.sessions[3].task, "Generated title");
    EXPECT_EQ(usage.sessions[3].model, "unknown");
    // A summary that does not parse is no session: nothing of its folder is estimated.
    EXPECT_EQ(sessionFigures(snapshot, "broken").first, Counts{});
}

}  // namespace
}  // namespace qm::ledger::groklogtest
