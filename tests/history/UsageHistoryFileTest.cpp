#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "history/UsageHistoryFile.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"
#include "support/WriteBlocker.h"

using namespace qm;
using qm::test::TempDir;
using State = UsageHistoryFileStore::LoadState;

namespace {

GeminiUsageRecord geminiCall(std::int64_t at, std::optional<QString> agent = std::nullopt) {
    return {at, "acct-1", "gemini-2.5-flash", 10, 20, 3, 4, 5, 0.000125, 812, "relay", agent};
}

UsageHistoryData sample() {
    UsageHistoryData data;
    data.claudeSnapshots = {{1000, 12.5, 40, 7.25, "Opus"}};
    data.geminiRecords = {geminiCall(2000, "curl/8.0 \"quoted\"\n\t\\"), geminiCall(3000)};
    data.apiRecords = {{4000, "anthropic", "a-1", "claude-sonnet-4", 1, 2, 3, 1.5}};
    return data;
}

// Keys of every object, in the order they appear in the text.
void expectSortedKeys(const QByteArray& json) {
    QStringList keys;
    int depthLine = 0;
    for (const QByteArray& line : json.split('\n')) {
        const QByteArray t = line.trimmed();
        if (t.startsWith('"')) keys << QString::fromUtf8(t.mid(1, t.indexOf('"', 1) - 1));
        if (t.startsWith('}') || t.endsWith('{') || t.endsWith('[')) {
            for (int i = 1; i < keys.size(); ++i) {
                EXPECT_LT(keys[i - 1], keys[i]) << "line " << depthLine;
            }
            keys.clear();
        }
        ++depthLine;
    }
}

}  // namespace

TEST(UsageHistoryJson, RoundTripsWithSortedKeysAndOneTrailingLineFeed) {
    const UsageHistoryData data = sample();
    const QByteArray json = UsageHistoryJson::encode(data);
    ASSERT_TRUE(json.endsWith("}\n"));
    EXPECT_FALSE(json.endsWith("\n\n"));
    expectSortedKeys(json);
    // Any JSON reader must accept it, and it decodes back to the same records.
    QJsonParseError error;
    QJsonDocument::fromJson(json, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError);
    const auto back = UsageHistoryJson::decode(json.toStdString());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, data);
    // The absent agent is left out, not written as null.
    EXPECT_EQ(json.count("clientUserAgent"), 1);
    EXPECT_FALSE(json.contains("null"));
}

TEST(UsageHistoryJson, EmptyHistoryHasAllThreeArrays) {
    const QByteArray json = UsageHistoryJson::encode({});
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    EXPECT_TRUE(root.value("apiRecords").isArray());
    EXPECT_TRUE(root.value("claudeSnapshots").isArray());
    EXPECT_TRUE(root.value("geminiRecords").isArray());
}

TEST(UsageHistoryJson, DecodingIsStrictInsideRecordsAndLenientOutside) {
    // Missing root keys are empty series; extra keys anywhere are ignored.
    auto only = UsageHistoryJson::decode(R"({"apiRecords": [], "other": {"x": 1}})");
    ASSERT_TRUE(only);
    EXPECT_EQ(*only, UsageHistoryData{});

    const char* claude = R"({"claudeSnapshots": [{"timestampMs": 5, "sessionPct": 1,
        "weekPct": 2.5, "subPct": 3, "subModelName": "Opus", "extra": [1]}]})";
    auto loaded = UsageHistoryJson::decode(claude);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(loaded->claudeSnapshots.size(), 1u);
    EXPECT_EQ(loaded->claudeSnapshots[0].sessionPct, 1.0);  // integers are numbers too

    // A null optional key reads as absent.
    auto nullAgent = UsageHistoryJson::decode(R"({"geminiRecords": [{"timestampMs": 1,
        "accountId": "a", "model": "m", "inputTokens": 1, "outputTokens": 1, "cacheTokens": 0,
        "thinkingTokens": 0, "toolTokens": 0, "costUsd": 0, "latencyMs": 1, "source": "relay",
        "clientUserAgent": null}]})");
    ASSERT_TRUE(nullAgent);
    ASSERT_EQ(nullAgent->geminiRecords.size(), 1u);
    EXPECT_EQ(nullAgent->geminiRecords[0].clientUserAgent, std::nullopt);

    const char* bad[] = {
        // a string where a number belongs
        R"({"claudeSnapshots": [{"timestampMs": "5", "sessionPct": 1, "weekPct": 2,
            "subPct": 3, "subModelName": "Opus"}]})",
        // a fraction where an integer belongs
        R"({"claudeSnapshots": [{"timestampMs": 5.5, "sessionPct": 1, "weekPct": 2,
            "subPct": 3, "subModelName": "Opus"}]})",
        // a required key missing
        R"({"claudeSnapshots": [{"timestampMs": 5, "sessionPct": 1, "weekPct": 2,
            "subPct": 3}]})",
        // a mistyped optional key
        R"({"geminiRecords": [{"timestampMs": 1, "accountId": "a", "model": "m",
            "inputTokens": 1, "outputTokens": 1, "cacheTokens": 0, "thinkingTokens": 0,
            "toolTokens": 0, "costUsd": 0, "latencyMs": 1, "source": "relay",
            "clientUserAgent": 7}]})",
        R"({"apiRecords": {}})",
        R"([])",
        R"({"apiRecords": [)",
        R"({"apiRecords": []} {"apiRecords": []})",
        R"({"other": [1, 2}, "apiRecords": []})",
        "{\"apiRecords\": [], \"other\": \"\xff\"}",
    };
    for (const char* json : bad) EXPECT_FALSE(UsageHistoryJson::decode(json)) << json;
}

TEST(UsageHistoryJson, LoadedSeriesAreSortedStably) {
    const char* json = R"({"apiRecords": [
        {"timestampMs": 9, "provider": "openai", "accountId": "a", "model": "late",
         "inputTokens": 0, "outputTokens": 0, "cacheTokens": 0, "costUsd": 0},
        {"timestampMs": 1, "provider": "openai", "accountId": "a", "model": "first",
         "inputTokens": 0, "outputTokens": 0, "cacheTokens": 0, "costUsd": 0},
        {"timestampMs": 1, "provider": "openai", "accountId": "a", "model": "second",
         "inputTokens": 0, "outputTokens": 0, "cacheTokens": 0, "costUsd": 0}]})";
    auto loaded = UsageHistoryJson::decode(json);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(loaded->apiRecords.size(), 3u);
    EXPECT_EQ(loaded->apiRecords[0].model, "first");
    EXPECT_EQ(loaded->apiRecords[1].model, "second");
    EXPECT_EQ(loaded->apiRecords[2].model, "late");
}

TEST(UsageHistoryFileStore, LoadTellsMissingEmptyAndUndecodableApart) {
    TempDir dir;
    UsageHistoryFileStore store(UsageHistoryFileStore::pathIn(dir.filePath("data")));
    EXPECT_EQ(store.load().state, State::Missing);

    dir.write("data/usage-history.json", "");
    EXPECT_EQ(store.load().state, State::Empty);

    dir.write("data/usage-history.json", "{\"geminiRecords\": [{\"timestampMs\": \"x\"}]}");
    const auto bad = store.load();
    EXPECT_EQ(bad.state, State::Undecodable);
    EXPECT_EQ(bad.data, UsageHistoryData{});

    // A file whose length is a whole number of pages still gets its padding.
    const QByteArray record =
        R"({"timestampMs": 5, "sessionPct": 1, "weekPct": 2, "subPct": 3, "subModelName": "Opus"})";
    QByteArray exact = "{\"claudeSnapshots\": [" + record + "], \"x\": \"";
    exact += QByteArray(4096 - exact.size() - 2, 'a') + "\"}";
    ASSERT_EQ(exact.size(), 4096);
    dir.write("data/usage-history.json", exact);
    const auto paged = store.load();
    EXPECT_EQ(paged.state, State::Loaded);
    EXPECT_EQ(paged.data.claudeSnapshots.size(), 1u);

    QDir(dir.path()).mkpath("other/usage-history.json");  // a folder where the file belongs
    EXPECT_EQ(
        UsageHistoryFileStore(UsageHistoryFileStore::pathIn(dir.filePath("other"))).load().state,
        State::Unreadable);
}

TEST(UsageHistoryFileStore, SaveCreatesTheFolderAndLeavesNoTemporaryFile) {
    TempDir dir;
    const QString path = UsageHistoryFileStore::pathIn(dir.filePath("nested/data"));
    UsageHistoryFileStore store(path);
    ASSERT_EQ(store.save(sample()), std::nullopt);
    EXPECT_EQ(QDir(dir.filePath("nested/data")).entryList({"*.tmp*"}), QStringList());
    const auto loaded = store.load();
    EXPECT_EQ(loaded.state, State::Loaded);
    EXPECT_EQ(loaded.data, sample());
}

TEST(UsageHistoryFileStore, FailedSaveLeavesTheOldFile) {
    TempDir dir;
    const QString path = UsageHistoryFileStore::pathIn(dir.path());
    UsageHistoryFileStore store(path);
    ASSERT_EQ(store.save(sample()), std::nullopt);
    const QByteArray before = qm::test::readAll(path);
    std::optional<qm::test::WriteBlocker> full(std::in_place);
    const auto error = store.save({});
    full.reset();
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->message.isEmpty());
    EXPECT_EQ(qm::test::readAll(path), before);
}
