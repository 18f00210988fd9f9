#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>

#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include "accounts/FallbackSecretBackend.h"
#include "accounts/KeychainStore.h"
#include "accounts/MemorySecretBackend.h"
#include "accounts/PrivateFileSecretBackend.h"
#include "accounts/SecretServiceBackend.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

namespace qm {
void PrintTo(const KeychainStoreError& e, std::ostream* os) {
    *os << e.description().toStdString();
}
}  // namespace qm

using namespace qm;
using qm::test::readAll;
using qm::test::TempDir;

namespace {

// The same behaviour is asked of every backend the program may use.
void exerciseBackend(const KeychainStore& keychain, const QString& account) {
    EXPECT_EQ(keychain.read(account).value, std::nullopt);
    EXPECT_EQ(keychain.read(account).error, std::nullopt);
    EXPECT_EQ(keychain.deleteItem(account).code, kSecretItemNotFound);

    ASSERT_EQ(keychain.save("first-key", account), std::nullopt);
    ASSERT_EQ(keychain.save("second-key  \n", account), std::nullopt);
    const KeychainRead read = keychain.read(account);
    EXPECT_EQ(read.error, std::nullopt);
    EXPECT_EQ(read.value, "second-key  \n");  // trimming is the caller's business

    EXPECT_TRUE(keychain.deleteItem(account).ok());
    EXPECT_EQ(keychain.read(account).value, std::nullopt);
}

int modeOf(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return int(info.st_mode & 0777);
}

}  // namespace

TEST(KeychainStore, MemoryBackendReplacesReadsAndDeletes) {
    exerciseBackend(KeychainStore(std::make_shared<MemorySecretBackend>()), "0123abcd");
}

TEST(KeychainStore, BytesThatAreNotUtf8ReadAsNoValue) {
    auto backend = std::make_shared<MemorySecretBackend>();
    backend->add(KeychainStore::kDefaultService, "a", QByteArray("\xff\xfe", 2));
    const KeychainRead read = KeychainStore(backend).read("a");
    EXPECT_EQ(read.value, std::nullopt);
    EXPECT_EQ(read.error, std::nullopt);
}

TEST(KeychainStore, PrivateFileIsOwnerOnlyAndPersists) {
    TempDir dir;
    const QString path = PrivateFileSecretBackend::pathIn(dir.path());
    const KeychainStore keychain(std::make_shared<PrivateFileSecretBackend>(path));
    EXPECT_EQ(keychain.backendKind(), SecretBackend::Kind::privateFile);
    exerciseBackend(keychain, "acc1");

    ASSERT_EQ(keychain.save("sk-ant-admin-1", "acc1"), std::nullopt);
    ASSERT_EQ(keychain.save("AIza-2", "acc2"), std::nullopt);
    EXPECT_EQ(modeOf(path), 0600);
    EXPECT_FALSE(readAll(path).contains("sk-ant-admin-1"));  // not greppable as plain text

    // Another process (a new instance) sees the same keys.
    const KeychainStore reopened(std::make_shared<PrivateFileSecretBackend>(path));
    EXPECT_EQ(reopened.read("acc1").value, "sk-ant-admin-1");
    EXPECT_EQ(reopened.read("acc2").value, "AIza-2");

    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    EXPECT_EQ(reopened.read("acc2").value, "AIza-2");
    EXPECT_EQ(modeOf(path), 0600);
}

TEST(KeychainStore, AnUndecodableKeyFileIsNeverOverwritten) {
    TempDir dir;
    const QString path = dir.write("api-keys.json", "{\"Quotameter\": {\"a\": ");
    const KeychainStore keychain(std::make_shared<PrivateFileSecretBackend>(path));
    const auto error = keychain.save("new-key", "b");
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->description().startsWith("Keychain operation failed: The key file"));
    EXPECT_TRUE(keychain.read("a").error.has_value());
    EXPECT_FALSE(keychain.deleteItem("a").ok());
    EXPECT_EQ(readAll(path), "{\"Quotameter\": {\"a\": ");
}

TEST(KeychainStore, FallbackReadsWhatOnlyTheOldStoreHasAndDeletesFromBoth) {
    auto primary = std::make_shared<MemorySecretBackend>();
    auto old = std::make_shared<MemorySecretBackend>();
    old->add(KeychainStore::kDefaultService, "kept", "from-file");
    old->add(KeychainStore::kDefaultService, "both", "stale");
    const KeychainStore keychain(std::make_shared<FallbackSecretBackend>(primary, old));
    EXPECT_EQ(keychain.backendKind(), SecretBackend::Kind::memory);
    exerciseBackend(keychain, "new");
    EXPECT_TRUE(old->items().size() == 2u);  // writes never go to the old store

    EXPECT_EQ(keychain.read("kept").value, "from-file");
    ASSERT_EQ(keychain.save("fresh", "both"), std::nullopt);
    EXPECT_EQ(keychain.read("both").value, "fresh");
    EXPECT_TRUE(keychain.deleteItem("both").ok());
    EXPECT_EQ(keychain.read("both").value, std::nullopt);
    EXPECT_TRUE(keychain.deleteItem("kept").ok());
    EXPECT_TRUE(old->items().empty());
}

// Runs against the real Secret Service that scripts/test starts in a private session bus.
TEST(KeychainStore, SecretServiceIntegration) {
    if (qEnvironmentVariable("QM_TEST_SECRET_SERVICE") != QLatin1String("1")) {
        GTEST_SKIP() << "set QM_TEST_SECRET_SERVICE=1 inside a session with a Secret Service";
    }
    ASSERT_TRUE(SecretServiceBackend::isAvailable());
    TempDir dir;
    const KeychainStore keychain = KeychainStore::forDataDirectory(dir.path());
    ASSERT_EQ(keychain.backendKind(), SecretBackend::Kind::secretService);
    const QString account = QUuid::createUuid().toString(QUuid::Id128);
    exerciseBackend(keychain, account);
    // Items of another service name are separate.
    const KeychainStore other(keychain.backend(), "Quotameter-test-other");
    ASSERT_EQ(keychain.save("mine", account), std::nullopt);
    EXPECT_EQ(other.read(account).value, std::nullopt);
    // Listed, so a key left without its account can be reported and pruned.
    ASSERT_TRUE(keychain.storedAccounts().has_value());
    EXPECT_TRUE(keychain.storedAccounts()->contains(account));
    EXPECT_FALSE(other.storedAccounts()->contains(account));
    EXPECT_TRUE(keychain.deleteItem(account).ok());
    EXPECT_FALSE(keychain.storedAccounts()->contains(account));
    EXPECT_FALSE(QFileInfo::exists(PrivateFileSecretBackend::pathIn(dir.path())));
}

TEST(KeychainStore, WritersOfOneKeyFileAtOnceKeepEveryKey) {
    TempDir dir;
    const QString path = PrivateFileSecretBackend::pathIn(dir.path());
    constexpr int kPerWriter = 40;
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&path, w] {
            // Each its own backend, as each process has.
            KeychainStore keys(std::make_shared<PrivateFileSecretBackend>(path));
            for (int i = 0; i < kPerWriter; ++i)
                EXPECT_FALSE(keys.save("key", QStringLiteral("%1-%2").arg(w).arg(i)));
        });
    }
    for (std::thread& writer : writers) writer.join();
    const auto stored = PrivateFileSecretBackend(path).accounts(KeychainStore::kDefaultService);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), 3 * kPerWriter);
}
