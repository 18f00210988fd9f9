#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QDateTime>
#include <QDir>
#include <QMutex>
#include <cmath>

#include "../bench/scan/ScanGenerator.h"
#include "core/Pricing.h"
#include "readers/CliLogParsing.h"
#include "readers/CodexCliReader.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

using namespace qm;
using qm::test::codexPromptLine;
using qm::test::codexTotalsLine;
using qm::test::isoSecondsAgo;
using qm::test::TempDir;

namespace {

constexpr double kHour = 3600;

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
    ProviderUsage read() const {
        return CodexCliReader(sessions(), home.filePath(QStringLiteral(".codex/auth.json")))
            .readUsageSync(windowStart());
    }
    TempDir home;
};

QMutex g_openedMutex;
QStringList g_opened;
void recordOpen(const QString& path) {
    QMutexLocker lock(&g_openedMutex);
    g_opened.append(path);
}

}  // namespace

TEST_F(CodexReaderTest, CumulativeTotalsAreAssignedNotSummed) {
    write("rollout-a.jsonl", codexTotalsLine(100, 10, 5, 300) + codexTotalsLine(250, 20, 6, 200) +
                                 codexTotalsLine(400, 30, 7, 100));
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 1u);
    EXPECT_EQ(usage.totalInputTokens, 400);
    EXPECT_EQ(usage.totalOutputTokens, 30);
    EXPECT_EQ(usage.totalCachedTokens, 7);
    EXPECT_EQ(usage.lastFiveHourTokens, 430);
}

TEST_F(CodexReaderTest, PerLineUsageOnlyWithoutCumulativeTotals) {
    const auto parse = [&](const QByteArray& bytes) {
        return CodexCliReader::parseFile(write("rollout-p.jsonl", bytes), windowStart());
    };
    EXPECT_EQ(parse(usageLine(10) + usageLine(20)).inputTokens, 30);
    // A later cumulative total replaces what was summed, and later usage lines are ignored.
    EXPECT_EQ(parse(usageLine(10) + usageLine(20) + codexTotalsLine(25, 0, 0, 30) + usageLine(99))
                  .inputTokens,
              25);
    // The first of "usage", "token_usage", "tokens" that is an object is taken, and the cached
    // keys of this older format have their own order.
    const auto other = parse(
        "{\"usage\":7,\"tokens\":{\"input_tokens\":1},\"token_usage\":{\"prompt_tokens\":4,"
        "\"cached_tokens\":2,\"input_cached_tokens\":3}}\n");
    EXPECT_EQ(other.inputTokens, 4);
    EXPECT_EQ(other.cachedTokens, 3);
    EXPECT_FALSE(other.hasTotalUsage);
    // Negative counts in a log do not make negative totals.
    EXPECT_EQ(parse(usageLine(-50, 5)).inputTokens, 0);
}

TEST_F(CodexReaderTest, PromptsTasksModelAndProject) {
    const QString path =
        write("rollout-b.jsonl",
              "{\"timestamp\":\"" + isoSecondsAgo(7 * kHour) +
                  "\",\"type\":\"session_meta\",\"model\":\"top-level-model\","
                  "\"payload\":{\"cwd\":\"/home/dev/my%20app\"}}\n" +
                  codexPromptLine("<environment_context> cwd </environment_context>", 7 * kHour) +
                  codexPromptLine("An old prompt from before the window", 6 * kHour) +
                  "{\"timestamp\":\"" + isoSecondsAgo(90) +
                  "\",\"payload\":{\"type\":\"turn_context\",\"model\":\"GPT-5-mini\"}}\n" +
                  codexPromptLine(QString(100, QLatin1Char('p')), 120) +
                  // A plain "text" and a "content" text both count; assistant text never does.
                  "{\"timestamp\":\"" + isoSecondsAgo(60) +
                  "\",\"payload\":{\"role\":\"user\",\"text\":\"third\"}}\n"
                  "{\"timestamp\":\"" +
                  isoSecondsAgo(50) +
                  "\",\"payload\":{\"role\":\"assistant\",\"content\":\"not a prompt\"}}\n" +
                  codexTotalsLine(1'000'000, 100'000, 500'000, 40));
    const auto result = CodexCliReader::parseFile(path, windowStart());
    EXPECT_EQ(result.prompts, 3);
    EXPECT_EQ(result.recentPrompts, 2);
    EXPECT_EQ(result.task, "An old prompt from before the window");
    EXPECT_EQ(result.model, "top-level-model");  // the first model named in the file
    EXPECT_EQ(result.project, "my app");

    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 1u);
    const SessionUsage& session = usage.sessions[0];
    EXPECT_EQ(session.id, path);
    EXPECT_EQ(session.prompts, 3);
    EXPECT_EQ(usage.lastFiveHourPrompts, 2);
    EXPECT_EQ(usage.lastFiveHourSessions, 1);
    EXPECT_EQ(usage.latestTask, "An old prompt from before the window");
    EXPECT_EQ(usage.latestProject, "my app");
    ASSERT_TRUE(session.startedAt && session.lastActiveAt);
    EXPECT_NEAR(double(*session.lastActiveAt), double(nowMs() - 40'000), 5000);
    EXPECT_NEAR(double(nowMs() - *session.startedAt), 7 * kHour * 1000, 5000);
}

TEST_F(CodexReaderTest, TaskIsShortenedAndModelPriced) {
    write("rollout-c.jsonl", "{\"payload\":{\"model\":\"GPT-5-mini\",\"cwd\":\"/w/app\"}}\n" +
                                 codexPromptLine(QString(100, QLatin1Char('x')), 60) +
                                 codexTotalsLine(1'000'000, 100'000, 500'000, 50));
    write("rollout-d.jsonl", "{\"payload\":{\"model\":\"mystery-model\"}}\n" + usageLine(1000));
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 2u);
    const auto byModel = [&](const QString& model) {
        for (const auto& s : usage.sessions) {
            if (s.model == model) return s;
        }
        return SessionUsage{};
    };
    const SessionUsage mini = byModel("GPT-5-mini");
    EXPECT_EQ(mini.task, QString(60, QLatin1Char('x')) + "...");
    EXPECT_DOUBLE_EQ(mini.cost,
                     UsagePricing::openAICost("gpt-5-mini", 1'000'000, 500'000, 100'000));
    EXPECT_GT(mini.cost, 0);
    const SessionUsage mystery = byModel("mystery-model");
    EXPECT_EQ(mystery.cost, 0);
    EXPECT_EQ(mystery.prompts, 1);  // usage without a prompt still counts one
    EXPECT_EQ(mystery.project, "unknown");
    ASSERT_EQ(usage.models.size(), 2u);
    EXPECT_EQ(usage.models[0].model, "GPT-5-mini");  // most expensive first
    EXPECT_EQ(usage.models[0].sessions, 1);
    EXPECT_DOUBLE_EQ(usage.costTotal, mini.cost);
}

TEST_F(CodexReaderTest, MalformedLinesAreSkippedOnTheirOwn) {
    const QString path = write(
        "rollout-e.jsonl", codexTotalsLine(100, 1, 0, 60) +
                               // trailing garbage, a second object, not an object, broken escapes
                               codexTotalsLine(900, 9, 0, 50).trimmed() + " x\n" +
                               codexTotalsLine(800, 8, 0, 50).trimmed() + "{}\n" + "[1,2,3]\n" +
                               "{\"timestamp\":\"" + isoSecondsAgo(1) +
                               "\",\"payload\":{\"role\":\"user\","
                               "\"text\":\"bad \\q escape\"}}\n" +
                               // a prompt with a raw line separator inside stays one record
                               codexPromptLine(QString::fromUtf8("first\xE2\x80\xA8second"), 40) +
                               // the last line of a log still being written
                               codexTotalsLine(700, 7, 0, 30).left(40));
    const auto result = CodexCliReader::parseFile(path, windowStart());
    EXPECT_EQ(result.inputTokens, 100);
    EXPECT_EQ(result.outputTokens, 1);
    EXPECT_EQ(result.prompts, 1);
    EXPECT_EQ(result.task, QString::fromUtf8("first\xE2\x80\xA8second"));
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

TEST_F(CodexReaderTest, FilesOutsideTheWindowAreNeverOpened) {
    const QString recent = write("rollout-new.jsonl", codexTotalsLine(10, 1, 0, 60));
    const QString old = write("rollout-old.jsonl", codexTotalsLine(1'000'000, 1, 0, 6 * kHour));
    TempDir::setModifiedSecondsAgo(old, 6 * 3600);
    // Only regular "rollout-*.jsonl" files are candidates at all.
    QDir().mkpath(sessions() + "/rollout-dir.jsonl");
    const QString other = write("session-x.jsonl", codexTotalsLine(5, 5, 0, 60));
    write("rollout-y.json", codexTotalsLine(5, 5, 0, 60));
    const QString fifo = sessions() + "/rollout-fifo.jsonl";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    g_opened.clear();
    CliLogParsing::setOpenObserver(recordOpen);
    const ProviderUsage usage = read();
    CliLogParsing::setOpenObserver(nullptr);
    EXPECT_EQ(g_opened, QStringList{recent});
    EXPECT_EQ(usage.sessionsTotal, 1);
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

TEST(CodexReaderAtScale, GeneratedTreeMatchesWhatWasWritten) {
    TempDir home;
    const TimeMs now = nowMs();
    scangen::CodexTreeOptions options;
    options.sessionsDir = home.filePath(QStringLiteral(".codex/sessions")).toStdString();
    options.targetBytes = 3'000'000;
    options.minFileBytes = 2'000;
    options.maxFileBytes = 400'000;
    options.longSessionBytes = 600'000;
    options.now = now;
    options.since = now - 5 * 3600 * 1000;
    options.perLineUsageShare = 0.3;
    const auto expected = scangen::writeCodexTree(options);

    g_opened.clear();
    CliLogParsing::setOpenObserver(recordOpen);
    const ProviderUsage usage =
        CodexCliReader(QString::fromStdString(options.sessionsDir), QString())
            .readUsageSync(options.since);
    CliLogParsing::setOpenObserver(nullptr);

    EXPECT_EQ(usage.sessionsTotal, expected.sessions);
    EXPECT_EQ(usage.totalInputTokens, expected.inputTokens);
    EXPECT_EQ(usage.totalOutputTokens, expected.outputTokens);
    EXPECT_EQ(usage.totalCachedTokens, expected.cachedTokens);
    EXPECT_EQ(usage.lastFiveHourPrompts, expected.recentPrompts);
    EXPECT_EQ(usage.lastFiveHourSessions, expected.recentSessions);
    EXPECT_EQ(std::size_t(g_opened.size()), expected.filePaths.size());
    for (const std::string& old : expected.oldFilePaths) {
        EXPECT_FALSE(g_opened.contains(QString::fromStdString(old)));
    }
    for (const SessionUsage& session : usage.sessions) {
        EXPECT_TRUE(session.project.startsWith(QStringLiteral("project-")))
            << session.project.toStdString();
        EXPECT_NE(session.model, "unknown");
    }
}
