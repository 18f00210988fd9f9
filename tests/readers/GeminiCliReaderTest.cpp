#include <gtest/gtest.h>

#include <QDateTime>
#include <QMutex>

#include "core/Pricing.h"
#include "readers/CliLogParsing.h"
#include "readers/GeminiCliReader.h"
#include "support/QtPrinters.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

using namespace qm;
using qm::test::isoSecondsAgo;
using qm::test::TempDir;

namespace {

QMutex g_openedMutex;
QStringList g_opened;
void recordOpen(const QString& path) {
    QMutexLocker lock(&g_openedMutex);
    g_opened.append(path);
}

class GeminiReaderTest : public ::testing::Test {
protected:
    QString gemini() const { return home.filePath(QStringLiteral(".gemini")); }
    QString write(const QString& relative, const QByteArray& bytes) const {
        return home.write(QStringLiteral(".gemini/") + relative, bytes);
    }
    ProviderUsage read() const {
        return GeminiCliReader(gemini()).readUsageSync(QDateTime::currentMSecsSinceEpoch() -
                                                       5 * 3600 * 1000);
    }
    TempDir home;
};

}  // namespace

TEST_F(GeminiReaderTest, JsonLinesRecordShapes) {
    const QByteArray now = isoSecondsAgo(30);
    const QString path = write(
        "logs/session.jsonl",
        // a prompt without usage
        "{\"timestamp\":\"" + now + "\",\"role\":\"user\",\"prompt\":\"  Explain\\nthis  \"}\n" +
            // usage without a prompt
            "{\"timestamp\":\"" + now +
            "\",\"model\":\"gemini-2.5-pro\",\"usageMetadata\":{\"promptTokenCount\":100,"
            "\"candidatesTokenCount\":20}}\n" +
            // neither usage nor a prompt
            "{\"timestamp\":\"" + now + "\",\"role\":\"model\"}\n" +
            // only a total
            "{\"timestamp\":\"" + now + "\",\"usage\":{\"totalTokenCount\":50}}\n" +
            // prompt text from "parts", usage under a later key spelling
            "{\"timestamp\":\"" + now +
            "\",\"parts\":[{\"text\":\"\"},{\"text\":\"from parts\"}],\"metadata\":{"
            "\"input_tokens\":3,\"output_tokens\":4}}\n");
    const ProviderUsage usage = read();
    ASSERT_EQ(usage.sessions.size(), 4u);
    EXPECT_EQ(usage.sessionsTotal, 1);  // one active file
    EXPECT_EQ(usage.lastFiveHourSessions, 1);
    EXPECT_EQ(usage.lastFiveHourPrompts, 2);
    EXPECT_EQ(usage.lastFiveHourTokens, 0 + 120 + 50 + 7);
    EXPECT_EQ(usage.totalInputTokens, 103);
    EXPECT_EQ(usage.totalOutputTokens, 24);
    QStringList ids;
    for (const SessionUsage& s : usage.sessions) ids.append(s.id);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(ids.contains(path + "#" + QString::number(i))) << i;

    const auto pro = GeminiPricing::find("gemini-2.5-pro");
    ASSERT_TRUE(pro);
    EXPECT_DOUBLE_EQ(usage.costTotal,
                     100 / 1e6 * pro->inputPricePerMTok + 20 / 1e6 * pro->outputPricePerMTok);
    ASSERT_FALSE(usage.models.empty());
    EXPECT_EQ(usage.models[0].model, "gemini-2.5-pro");  // most tokens first
    EXPECT_EQ(usage.latestProject, "Gemini CLI");
    EXPECT_EQ(usage.statusText, "Active");
    bool sawTask = false;
    for (const SessionUsage& s : usage.sessions) sawTask = sawTask || s.task == "Explain this";
    EXPECT_TRUE(sawTask);
}

TEST_F(GeminiReaderTest, JsonDocumentShapes) {
    const QByteArray at = isoSecondsAgo(60);
    const QByteArray record = "{\"timestamp\":\"" + at + "\",\"type\":\"user\",\"message\":\"m\"}";
    write("tmp/a/logs.json", "{\"messages\":[" + record + "," + record + "," + record + "]}");
    write("tmp/b/single.json", record);
    write("tmp/c/list.json", "[" + record + "," + record + "]");
    // A list with a non-object is not a list of records, and an object holding one is parsed
    // as a single record.
    write("tmp/d/mixed.json", "[" + record + ",3]");
    write("tmp/e/holder.json", "{\"history\":[1],\"role\":\"user\",\"timestamp\":\"" + at + "\"}");
    // A ".json" file that is not one document is read as JSON lines.
    write("tmp/f/lines.json", record + "\n" + record + "\n");
    const ProviderUsage usage = read();
    EXPECT_EQ(usage.lastFiveHourPrompts, 3 + 1 + 2 + 0 + 1 + 2);
    EXPECT_EQ(usage.sessionsTotal, 5);
}

TEST_F(GeminiReaderTest, WindowCredentialsAndFolders) {
    // A record without a time takes its file's time.
    const QString recent = write("tmp/x/recent.jsonl", "{\"role\":\"user\"}\n");
    TempDir::setModifiedSecondsAgo(recent, 3600);
    const QString old = write("tmp/x/old.jsonl", "{\"role\":\"user\"}\n");
    TempDir::setModifiedSecondsAgo(old, 6 * 3600);
    // A recent file with an old record.
    write("tmp/x/stale.jsonl",
          "{\"timestamp\":\"" + isoSecondsAgo(6 * 3600) + "\",\"role\":\"user\"}\n");
    write("tmp/x/oauth_creds.json", "{\"role\":\"user\"}");
    write("tmp/x/api_secret.log", "{\"role\":\"user\"}\n");
    write("settings.log", "{\"role\":\"user\"}\n");       // not in a log folder
    write("history/notes.txt", "{\"role\":\"user\"}\n");  // not a log extension
    const QString antigravity = write("antigravity-cli/a.LOG", "{\"role\":\"user\"}\n");
    TempDir::setModifiedSecondsAgo(antigravity, 2 * 3600);

    g_opened.clear();
    CliLogParsing::setOpenObserver(recordOpen);
    const ProviderUsage usage = read();
    CliLogParsing::setOpenObserver(nullptr);
    EXPECT_TRUE(usage.isAuthenticated);
    EXPECT_EQ(usage.lastFiveHourPrompts, 2);
    EXPECT_EQ(usage.sessionsTotal, 2);
    g_opened.sort();
    QStringList expected{recent, gemini() + "/tmp/x/stale.jsonl", antigravity};
    expected.sort();
    EXPECT_EQ(g_opened, expected);
    ASSERT_TRUE(usage.latestActivityAt);
    EXPECT_NEAR(double(*usage.latestActivityAt),
                double(QDateTime::currentMSecsSinceEpoch() - 3600 * 1000), 60'000);
}

TEST_F(GeminiReaderTest, MissingDirectoryAndNothingRecent) {
    ProviderUsage usage = read();
    EXPECT_EQ(usage.warnings, QStringList{"Gemini directory was not found."});
    EXPECT_FALSE(usage.isAuthenticated);
    EXPECT_EQ(usage.dataSourceLabel, "Best-effort Gemini CLI scan");

    write("settings.json", "{}");
    usage = read();
    EXPECT_EQ(usage.warnings, QStringList{"No recent Gemini CLI usage records were detected."});
    EXPECT_FALSE(usage.isAuthenticated);
    EXPECT_EQ(usage.statusText, "No local data");
    EXPECT_EQ(usage.latestProject, "Gemini CLI");
}
