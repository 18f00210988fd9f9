#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "accounts/AccountConfigStore.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"
#include "support/WriteBlocker.h"

using namespace qm;
using qm::test::readAll;
using qm::test::TempDir;

namespace {

using test::kNow;

QJsonObject rootOf(const QString& path) {
    return QJsonDocument::fromJson(readAll(path)).object();
}

GeminiAccount gemini(QString id, QString alias) {
    GeminiAccount a;
    a.id = std::move(id);
    a.alias = std::move(alias);
    a.keyPreview = "AIza****abcd";
    a.createdAtMs = kNow;
    return a;
}

}  // namespace

TEST(AccountConfigStore, FirstSaveCreatesTheFolderAndWritesOnlyPresentValuesSorted) {
    TempDir dir;
    const AccountConfigStore store(AccountConfigStore::pathIn(dir.filePath("nested/data")));
    const auto loaded = store.load(kNow);
    EXPECT_EQ(loaded.state, AccountConfigStore::LoadState::Missing);
    EXPECT_EQ(loaded.data, ApiAccountStorageData{});

    ApiAccountStorageData data;
    data.geminiAccounts.push_back(gemini("a1", "work"));
    data.selectedGeminiAccountId = "a1";
    ASSERT_FALSE(store.save(data));

    const QByteArray bytes = readAll(store.configPath());
    EXPECT_TRUE(bytes.endsWith("}\n"));
    EXPECT_FALSE(bytes.endsWith("\n\n"));
    EXPECT_FALSE(bytes.contains("null"));
    const QJsonObject root = rootOf(store.configPath());
    EXPECT_EQ(root.keys(), (QStringList{"anthropicApiAccounts", "geminiAccounts", "grokApiAccounts",
                                        "openAiApiAccounts", "selectedGeminiAccountId"}));
    const QJsonObject account = root["geminiAccounts"].toArray()[0].toObject();
    EXPECT_FALSE(account.contains("projectId"));
    EXPECT_FALSE(account.contains("lastUsedAtMs"));
    EXPECT_FALSE(account.contains("customRelayKey"));
    EXPECT_EQ(account["alertThresholdPct"].toInt(), 80);
    EXPECT_EQ(account["createdAtMs"].toInteger(), kNow);
    // Sorted keys inside the records as well.
    EXPECT_LT(bytes.indexOf("\"alias\""), bytes.indexOf("\"createdAtMs\""));
    EXPECT_EQ(store.load(kNow).data, data);
}

TEST(AccountConfigStore, AbsentKeysTakeDefaultsAndAFreshIdIsKeptByTheNextSave) {
    TempDir dir;
    const QString path = dir.write("config.json", R"({
        "geminiAccounts": [{"alias": "g"}],
        "anthropicApiAccounts": [{"alias": "a", "isActive": null, "unknownField": [1, 2]}],
        "grokApiAccounts": [{"alias": "x", "keyName": "k", "userId": "u"}],
        "selectedOpenAiApiAccountId": "does-not-exist"
    })");
    const AccountConfigStore store(path);
    const auto loaded = store.load(kNow);
    ASSERT_EQ(loaded.state, AccountConfigStore::LoadState::Loaded);
    const GeminiAccount& g = loaded.data.geminiAccounts.at(0);
    EXPECT_EQ(g.id.size(), 32);
    EXPECT_EQ(g.id, g.id.toLower());
    EXPECT_EQ(g.keyPreview, "");
    EXPECT_TRUE(g.isActive);
    EXPECT_FALSE(g.isPrimary);
    EXPECT_EQ(g.createdAtMs, kNow);
    EXPECT_EQ(g.dailyBudgetUsd, 0);
    EXPECT_EQ(g.alertThresholdPct, 80);
    EXPECT_TRUE(loaded.data.anthropicApiAccounts.at(0).isActive);
    EXPECT_EQ(summary(loaded.data.grokApiAccounts.at(0)).detail, "k");
    EXPECT_EQ(loaded.data.selectedOpenAiApiAccountId, "does-not-exist");

    ASSERT_FALSE(store.save(loaded.data));
    const auto again = store.load(kNow + 5000);
    EXPECT_EQ(again.data, loaded.data);  // same ids and creation times
}

TEST(AccountConfigStore, OtherRootKeysSurviveSavesAndClearedSelectionsDisappear) {
    TempDir dir;
    const QString path = dir.write(
        "config.json",
        R"({"otherSetting": 1, "nested": {"z": [true]}, "selectedGrokApiAccountId": "x1"})");
    const AccountConfigStore store(path);
    ApiAccountStorageData data = store.load(kNow).data;
    EXPECT_EQ(data.selectedGrokApiAccountId, "x1");
    ASSERT_FALSE(store.save(data));
    data.selectedGrokApiAccountId.reset();
    ASSERT_FALSE(store.save(data));
    ASSERT_FALSE(store.save(data));
    const QJsonObject root = rootOf(path);
    EXPECT_EQ(root["otherSetting"].toInt(), 1);
    EXPECT_EQ(root["nested"].toObject()["z"].toArray()[0].toBool(), true);
    EXPECT_FALSE(root.contains("selectedGrokApiAccountId"));
}

TEST(AccountConfigStore, MistypedValuesMakeTheFileUndecodable) {
    TempDir dir;
    const std::pair<const char*, AccountConfigStore::LoadState> cases[] = {
        {"", AccountConfigStore::LoadState::Empty},
        {"{}", AccountConfigStore::LoadState::Loaded},
        {"[1, 2]", AccountConfigStore::LoadState::Undecodable},
        {"{not json", AccountConfigStore::LoadState::Undecodable},
        {R"({"geminiAccounts": {}})", AccountConfigStore::LoadState::Undecodable},
        {R"({"geminiAccounts": [{"isActive": "yes"}]})",
         AccountConfigStore::LoadState::Undecodable},
        {R"({"openAiApiAccounts": [{"createdAtMs": 1.5}]})",
         AccountConfigStore::LoadState::Undecodable},
        {R"({"grokApiAccounts": [{"allowedModels": ["a", 2]}]})",
         AccountConfigStore::LoadState::Undecodable},
        {R"({"selectedGeminiAccountId": 7})", AccountConfigStore::LoadState::Undecodable},
    };
    for (const auto& [text, state] : cases) {
        const AccountConfigStore store(dir.write("config.json", text));
        const auto loaded = store.load(kNow);
        EXPECT_EQ(loaded.state, state) << text;
        EXPECT_EQ(loaded.data, ApiAccountStorageData{}) << text;
    }
}

TEST(AccountConfigStore, SavesLeaveNoTemporaryAndRefuseToOverwriteInvalidJson) {
    TempDir dir;
    const QString path = dir.filePath("config.json");
    const AccountConfigStore store(path);
    ApiAccountStorageData data;
    data.geminiAccounts.push_back(gemini("a1", "work"));
    ASSERT_FALSE(store.save(data));
    EXPECT_EQ(QDir(dir.path()).entryList({"config.json.tmp*"}), QStringList());
    EXPECT_EQ(store.load(kNow).data, data);

    dir.write("config.json", "{broken");
    const auto error = store.save(ApiAccountStorageData{});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, AccountStoreError::Kind::file);
    EXPECT_EQ(readAll(path), "{broken");
}

TEST(AccountConfigStore, AFailedWriteLeavesTheFileAsItWas) {
    TempDir dir;
    const AccountConfigStore store(dir.filePath("config.json"));
    ApiAccountStorageData data;
    data.geminiAccounts.push_back(gemini("a1", "work"));
    ASSERT_FALSE(store.save(data));
    const QByteArray before = readAll(store.configPath());
    ApiAccountStorageData changed = data;
    changed.geminiAccounts.clear();
    std::optional<test::WriteBlocker> full(std::in_place);
    const auto error = store.save(changed);
    full.reset();
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->description.isEmpty());
    EXPECT_EQ(readAll(store.configPath()), before);

    // A parent that is a regular file cannot become a folder.
    const AccountConfigStore blocked(dir.write("plain", "x") + "/config.json");
    EXPECT_TRUE(blocked.save(data));
}
