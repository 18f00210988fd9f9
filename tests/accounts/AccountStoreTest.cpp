#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

#include "accounts/AccountStore.h"
#include "accounts/MemorySecretBackend.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"
#include "support/WriteBlocker.h"

using namespace qm;
using qm::test::readAll;
using qm::test::TempDir;
using Kind = AccountStoreError::Kind;
using P = ApiAccountProvider;

namespace {

using test::kNow;

struct Fixture {
    TempDir dir;
    std::shared_ptr<MemorySecretBackend> secrets = std::make_shared<MemorySecretBackend>();
    QString path = AccountConfigStore::pathIn(dir.path());

    std::unique_ptr<AccountStore> open() {
        return std::make_unique<AccountStore>(AccountConfigStore(path), KeychainStore(secrets),
                                              [] { return kNow; });
    }
    ApiAccountStorageData onDisk() const { return AccountConfigStore(path).load(kNow).data; }
    std::optional<QString> key(const QString& id) const {
        return KeychainStore(secrets).read(id).value;
    }
    void blockSaves() { blocker.emplace(); }
    void unblockSaves() { blocker.reset(); }
    std::optional<test::WriteBlocker> blocker;
};

QString add(AccountStore& store, P provider, const QString& alias,
            const std::optional<QString>& detail = std::nullopt) {
    QString id;
    const auto error = store.addAccount(provider, alias, "key-of-" + alias + "-0000", detail, &id);
    EXPECT_EQ(error, std::nullopt) << alias.toStdString();
    return id;
}

}  // namespace

TEST(AccountStore, AddValidatesAliasFirstAndWritesNothingOnBadInput) {
    Fixture f;
    auto store = f.open();
    QSignalSpy changed(store.get(), &AccountStore::changed);
    EXPECT_EQ(store->addAccount(P::gemini, "  \n", "", std::nullopt)->description,
              "Alias is required.");
    EXPECT_EQ(store->addAccount(P::gemini, "work", " \t\n", std::nullopt)->description,
              "API key is required.");
    EXPECT_EQ(changed.count(), 0);
    EXPECT_FALSE(QFileInfo::exists(f.path));
    EXPECT_TRUE(f.secrets->items().empty());
}

TEST(AccountStore, AddTrimsAndStoresTheKeyUnderTheNewId) {
    Fixture f;
    auto store = f.open();
    QSignalSpy changed(store.get(), &AccountStore::changed);
    QString id;
    ASSERT_EQ(
        store->addAccount(P::anthropic, "  Team  ", "  sk-ant-admin-123456\n", " org-1 ", &id),
        std::nullopt);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(f.key(id), "sk-ant-admin-123456");
    const AdminApiAccount account = store->data().anthropicApiAccounts.at(0);
    EXPECT_EQ(account.id, id);
    EXPECT_EQ(account.alias, "Team");
    EXPECT_EQ(account.keyPreview, "sk-a****3456");
    EXPECT_EQ(account.organizationId, "org-1");
    EXPECT_EQ(account.createdAtMs, kNow);
    EXPECT_EQ(store->data(), f.onDisk());

    QString second;
    ASSERT_EQ(store->addAccount(P::grok, "x", "xai-1", "   ", &second), std::nullopt);
    EXPECT_EQ(store->data().grokApiAccounts.at(0).teamId, std::nullopt);
    EXPECT_EQ(store->summaries(P::grok).at(0).keyPreview, "*****");
}

TEST(AccountStore, FirstAccountIsPrimaryAndSelectedLaterOnesAreNeither) {
    Fixture f;
    auto store = f.open();
    const QString a = add(*store, P::gemini, "a", "proj");
    const QString b = add(*store, P::gemini, "b");
    const auto rows = store->summaries(P::gemini);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].isPrimary);
    EXPECT_FALSE(rows[1].isPrimary);
    EXPECT_EQ(rows[0].detail, "proj");
    EXPECT_EQ(store->selectedAccountId(P::gemini), a);
    EXPECT_EQ(store->selectedAccountId(P::openAi), std::nullopt);
    // Providers are independent.
    const QString o = add(*store, P::openAi, "o");
    EXPECT_TRUE(store->summaries(P::openAi).at(0).isPrimary);
    EXPECT_EQ(store->selectedAccountId(P::openAi), o);
    (void)b;
}

TEST(AccountStore, RemovingMovesSelectionAndPrimaryToTheFirstRemaining) {
    Fixture f;
    auto store = f.open();
    const QString a = add(*store, P::openAi, "a");
    const QString b = add(*store, P::openAi, "b");
    const QString c = add(*store, P::openAi, "c");
    ASSERT_EQ(store->setSelected(P::openAi, c), std::nullopt);

    ASSERT_EQ(store->removeAccount(P::openAi, a), std::nullopt);  // primary, not selected
    EXPECT_EQ(f.key(a), std::nullopt);
    auto rows = store->summaries(P::openAi);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].id, b);
    EXPECT_TRUE(rows[0].isPrimary);
    EXPECT_EQ(store->selectedAccountId(P::openAi), c);

    ASSERT_EQ(store->removeAccount(P::openAi, c), std::nullopt);  // selected
    EXPECT_EQ(store->selectedAccountId(P::openAi), b);
    ASSERT_EQ(store->removeAccount(P::openAi, b), std::nullopt);  // last
    EXPECT_EQ(store->selectedAccountId(P::openAi), std::nullopt);
    EXPECT_TRUE(store->summaries(P::openAi).empty());
    EXPECT_EQ(f.onDisk(), store->data());
    EXPECT_TRUE(f.secrets->items().empty());

    QSignalSpy changed(store.get(), &AccountStore::changed);
    EXPECT_EQ(store->removeAccount(P::openAi, "no-such-id"), std::nullopt);
    EXPECT_EQ(changed.count(), 1);  // still saved
}

TEST(AccountStore, PrimaryAndActiveSwitchesTouchNothingElse) {
    Fixture f;
    auto store = f.open();
    const QString a = add(*store, P::grok, "a");
    const QString b = add(*store, P::grok, "b");
    ASSERT_EQ(store->setPrimary(P::grok, b), std::nullopt);
    EXPECT_FALSE(store->summaries(P::grok)[0].isPrimary);
    EXPECT_TRUE(store->summaries(P::grok)[1].isPrimary);
    EXPECT_EQ(store->selectedAccountId(P::grok), a);

    ASSERT_EQ(store->setPrimary(P::grok, "unknown"), std::nullopt);
    EXPECT_FALSE(store->summaries(P::grok)[0].isPrimary || store->summaries(P::grok)[1].isPrimary);
    ASSERT_EQ(store->removeAccount(P::grok, "unknown"), std::nullopt);  // normalises
    EXPECT_TRUE(store->summaries(P::grok)[0].isPrimary);

    ASSERT_EQ(store->setActive(P::grok, b, false), std::nullopt);
    EXPECT_TRUE(store->summaries(P::grok)[0].isActive);
    EXPECT_FALSE(store->summaries(P::grok)[1].isActive);
    EXPECT_EQ(store->setActive(P::grok, "unknown", false), std::nullopt);
    EXPECT_EQ(f.onDisk(), store->data());
}

TEST(AccountStore, AFailedSaveChangesNeitherMemoryNorFileAndDropsTheNewKey) {
    Fixture f;
    auto store = f.open();
    const QString a = add(*store, P::gemini, "a");
    const ApiAccountStorageData before = store->data();
    const QByteArray fileBefore = readAll(f.path);
    f.blockSaves();

    const auto error = store->addAccount(P::gemini, "b", "key-b-123456", std::nullopt);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::file);
    EXPECT_EQ(f.secrets->items().size(), 1u);  // only a's key: no orphan
    EXPECT_TRUE(store->removeAccount(P::gemini, a).has_value());
    EXPECT_EQ(f.key(a), "key-of-a-0000");  // the key stays with the account that stays
    EXPECT_TRUE(store->setSelected(P::gemini, std::nullopt).has_value());
    EXPECT_TRUE(store->setActive(P::gemini, a, false).has_value());
    EXPECT_EQ(store->data(), before);
    EXPECT_EQ(readAll(f.path), fileBefore);
    EXPECT_TRUE(store->lastError().has_value());

    f.unblockSaves();
    EXPECT_EQ(store->setActive(P::gemini, a, false), std::nullopt);
    EXPECT_EQ(store->lastError(), std::nullopt);
}

TEST(AccountStore, SecretStoreFailuresAbortAddButNotRemove) {
    Fixture f;
    auto store = f.open();
    const QString a = add(*store, P::anthropic, "a");
    f.secrets->failWith(SecretStatus{-25308, QStringLiteral("User interaction is not allowed.")});

    const auto addError = store->addAccount(P::anthropic, "b", "key-b-123456", std::nullopt);
    ASSERT_TRUE(addError);
    EXPECT_EQ(addError->kind, Kind::keychain);
    EXPECT_EQ(addError->description, "Keychain operation failed: User interaction is not allowed.");
    EXPECT_EQ(store->summaries(P::anthropic).size(), 1u);

    const auto removeError = store->removeAccount(P::anthropic, a);
    ASSERT_TRUE(removeError);
    EXPECT_EQ(removeError->kind, Kind::keychain);
    EXPECT_TRUE(store->summaries(P::anthropic).empty());
    EXPECT_TRUE(f.onDisk().anthropicApiAccounts.empty());
}

TEST(AccountStore, AnUndecodableFileIsKeptAsideBeforeTheFirstSave) {
    Fixture f;
    const QByteArray original =
        R"({"geminiAccounts": [{"id": "g1", "alias": "keep me", "isActive": "yes"}],
            "anthropicApiAccounts": [{"id": "a1", "alias": "and me"}]})";
    f.dir.write("config.json", original);
    auto store = f.open();
    EXPECT_TRUE(store->summaries(P::gemini).empty());
    ASSERT_TRUE(store->lastError().has_value());

    add(*store, P::openAi, "new");
    const QStringList aside =
        QDir(f.dir.path()).entryList(QStringList{"config.json.corrupt-*"}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(readAll(f.dir.filePath(aside[0])), original);  // every old account is still there
    ASSERT_TRUE(store->lastError().has_value());
    EXPECT_TRUE(store->lastError()->contains(aside[0]));
    EXPECT_EQ(f.onDisk(), store->data());

    // Later saves are ordinary ones.
    add(*store, P::openAi, "second");
    EXPECT_EQ(QDir(f.dir.path()).entryList(QStringList{"config.json.corrupt-*"}).size(), 1);
    EXPECT_EQ(store->lastError(), std::nullopt);
}

// Two stores on one config.json stand for two processes.
TEST(AccountStore, StoresSharingTheFileApplyTheirChangesToWhatTheOtherWrote) {
    Fixture f;
    auto app = f.open();
    auto cli = f.open();
    const QString a = add(*app, P::gemini, "a");
    const QString b = add(*cli, P::gemini, "b");  // cli had not seen a
    const QString c = add(*app, P::anthropic, "c");
    EXPECT_EQ(cli->setActive(P::gemini, a, false), std::nullopt);
    EXPECT_EQ(app->removeAccount(P::anthropic, c), std::nullopt);

    const ApiAccountStorageData onDisk = f.onDisk();
    ASSERT_EQ(onDisk.geminiAccounts.size(), 2u);
    EXPECT_EQ(onDisk.geminiAccounts[0].id, a);
    EXPECT_FALSE(onDisk.geminiAccounts[0].isActive);
    EXPECT_EQ(onDisk.geminiAccounts[1].id, b);
    EXPECT_TRUE(onDisk.anthropicApiAccounts.empty());
    EXPECT_EQ(app->data(), onDisk);
    // The other one picks the change up when asked (the watcher asks on its own).
    EXPECT_TRUE(cli->refreshIfChanged());
    EXPECT_FALSE(cli->refreshIfChanged());
    EXPECT_EQ(cli->data(), onDisk);
    EXPECT_EQ(f.key(a), "key-of-a-0000");
    EXPECT_EQ(f.key(b), "key-of-b-0000");
}

TEST(AccountStore, ALongLivedStoreRepublishesWhatAnotherProcessWrote) {
    Fixture f;
    auto app = f.open();
    QSignalSpy changed(app.get(), &AccountStore::changed);
    add(*f.open(), P::openAi, "from the command line");
    ASSERT_TRUE(changed.wait(5000));
    ASSERT_EQ(app->summaries(P::openAi).size(), 1u);
    EXPECT_EQ(app->summaries(P::openAi)[0].alias, "from the command line");
}

// Keys are deleted only with their account: a start never sweeps them, whatever state
// config.json is in, and a prune refuses while the accounts could be named elsewhere.
TEST(AccountStore, KeysOfAccountsKeptAsideOrMissingAreNeverDeleted) {
    Fixture f;
    const QString kept = add(*f.open(), P::gemini, "kept");
    // One mistyped value makes the whole file unreadable; the next add keeps it aside.
    QByteArray text = readAll(f.path);
    text.replace("\"alias\": \"kept\"", "\"alias\": 12");
    ASSERT_TRUE(text.contains("12"));
    f.dir.write("config.json", text);
    add(*f.open(), P::openAi, "new");
    auto store = f.open();
    EXPECT_EQ(f.key(kept), "key-of-kept-0000");
    ASSERT_TRUE(store->orphanKeys().has_value());
    EXPECT_EQ(*store->orphanKeys(), QStringList{kept});
    const AccountStore::PruneResult refused = store->pruneOrphanKeys();
    EXPECT_TRUE(refused.removed.isEmpty());
    ASSERT_TRUE(refused.error.has_value());
    EXPECT_TRUE(refused.error->contains("config.json.corrupt-"));
    EXPECT_EQ(f.key(kept), "key-of-kept-0000");

    // config.json gone altogether (or unreadable): every key stays, a prune is refused.
    for (const QString& name : QDir(f.dir.path()).entryList({"config.json*"}, QDir::Files))
        QFile::remove(f.dir.filePath(name));
    auto bare = f.open();
    EXPECT_EQ(f.key(kept), "key-of-kept-0000");
    EXPECT_TRUE(bare->pruneOrphanKeys().error->contains("missing"));
    f.dir.write("config.json", "{broken");
    EXPECT_EQ(f.open()->orphanKeys(), std::nullopt);
    EXPECT_TRUE(f.open()->pruneOrphanKeys().error->contains("could not be read"));
    EXPECT_EQ(f.secrets->items().size(), 2u);
}

TEST(AccountStore, PruneRemovesOnlyKeysWithoutAnAccountAndSaysWhich) {
    Fixture f;
    auto store = f.open();
    const QString kept = add(*store, P::gemini, "kept");
    // What a process killed between writing the key and writing the account leaves behind.
    ASSERT_FALSE(KeychainStore(f.secrets).save("orphan-key", "orphan-id"));
    EXPECT_EQ(f.open()->orphanKeys(), QStringList{"orphan-id"});
    EXPECT_EQ(f.key("orphan-id"), "orphan-key");  // opening the store deleted nothing

    QStringList told;
    const AccountStore::PruneResult result =
        store->pruneOrphanKeys([&told](const QString& id) { told.append(id); });
    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_EQ(result.removed, QStringList{"orphan-id"});
    EXPECT_EQ(told, QStringList{"orphan-id"});
    EXPECT_EQ(f.key("orphan-id"), std::nullopt);
    EXPECT_EQ(f.key(kept), "key-of-kept-0000");
    EXPECT_EQ(store->orphanKeys(), QStringList{});
}
