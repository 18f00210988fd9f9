#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>

#include "core/AppPaths.h"
#include "core/AtomicFile.h"
#include "core/SharedFile.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"
#include "support/WriteBlocker.h"

using namespace qm;
using qm::test::readAll;
using qm::test::TempDir;

TEST(AtomicFile, ReplacesTargetAndRemovesOnlyTemporariesOfDeadWriters) {
    TempDir dir;
    const QString target = dir.write("config.json", "old");
    EXPECT_FALSE(AtomicFile::write(target, "new\n"));
    EXPECT_EQ(readAll(target), "new\n");
    EXPECT_EQ(QDir(dir.path()).entryList({"config.json.tmp*"}), QStringList());

    // One of a writer killed mid-save, one of the old shared name, one of a live writer.
    dir.write("config.json.tmp-2147483000-1", "stale");
    dir.write("config.json.tmp", "stale");
    const QString live = QStringLiteral("config.json.tmp-%1-7").arg(::getpid());
    dir.write(live, "in progress");
    AtomicFile::removeStaleTemporaries(target);
    EXPECT_EQ(QDir(dir.path()).entryList({"config.json.tmp*"}), QStringList{live});
}

TEST(AtomicFile, AppliesModeToNewFile) {
    TempDir dir;
    const QString target = dir.filePath("keys");
    ASSERT_FALSE(AtomicFile::write(target, "secret", 0600));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(AtomicFile, FailureLeavesOldFileAndReportsErrno) {
    TempDir dir;
    const QString target = dir.write("sub/data.json", "keep me");
    std::optional<FileError> error;
    {
        // A full disk, for root too.
        const qm::test::WriteBlocker full;
        error = AtomicFile::write(target, "lost?");
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EFBIG);
    EXPECT_EQ(readAll(target), "keep me");
    EXPECT_EQ(QDir(dir.filePath("sub")).entryList(QDir::Files), QStringList{"data.json"});
}

TEST(AtomicFile, FailedRenameLeavesNoTemporaryBehind) {
    TempDir dir;
    // A non-empty folder where the file should go makes the rename fail, even for root.
    dir.write("target/occupied", "x");
    auto error = AtomicFile::write(dir.filePath("target"), "new");
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->message.startsWith("Could not replace "));
    EXPECT_EQ(QDir(dir.path()).entryList({"target.tmp*"}), QStringList());
    EXPECT_EQ(readAll(dir.filePath("target/occupied")), "x");
}

TEST(AtomicFile, WriteIntoMissingFolderFails) {
    TempDir dir;
    auto error = AtomicFile::write(dir.filePath("missing/data.json"), "x");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ENOENT);
}

TEST(AtomicFile, MoveAsideKeepsBytesUnderNewName) {
    TempDir dir;
    const QString target = dir.write("usage-history.json", "{not json");
    auto aside = AtomicFile::moveAside(target);
    ASSERT_TRUE(aside);
    EXPECT_TRUE(aside->startsWith(target + ".corrupt-"));
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_EQ(readAll(*aside), "{not json");
    dir.write("usage-history.json", "again");
    auto second = AtomicFile::moveAside(target);
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *aside);
}

TEST(AppPaths, MigratesLegacyFolderOnceWithoutTouchingIt) {
    TempDir base;
    base.write("ClaudeQuotameter/config.json", "{\"a\":1}");
    base.write("ClaudeQuotameter/usage-history.json", "{}");
    base.write("ClaudeQuotameter/profile/cookies", "c");
    const QString root = AppPaths::ensureRootIn(base.path());
    EXPECT_EQ(root, base.filePath("Quotameter"));
    EXPECT_EQ(readAll(root + "/config.json"), "{\"a\":1}");
    EXPECT_EQ(readAll(root + "/usage-history.json"), "{}");
    EXPECT_EQ(readAll(root + "/profile/cookies"), "c");
    EXPECT_EQ(readAll(base.filePath("ClaudeQuotameter/config.json")), "{\"a\":1}");

    // Once the folder exists the legacy one is no longer looked at.
    base.write("ClaudeQuotameter/extra.json", "new");
    EXPECT_EQ(AppPaths::ensureRootIn(base.path()), root);
    EXPECT_FALSE(QFileInfo::exists(root + "/extra.json"));
}

TEST(AppPaths, CopyNeverOverwritesExistingFiles) {
    TempDir base;
    base.write("from/a.json", "legacy");
    base.write("from/sub/b.json", "legacy-b");
    base.write("to/a.json", "current");
    EXPECT_TRUE(AppPaths::copyDirectory(base.filePath("from"), base.filePath("to")).isEmpty());
    EXPECT_EQ(readAll(base.filePath("to/a.json")), "current");
    EXPECT_EQ(readAll(base.filePath("to/sub/b.json")), "legacy-b");
}

TEST(AppPaths, LegacyLinksAreCopiedAsLinksAndDoNotStopTheMigration) {
    TempDir base;
    base.write("ClaudeQuotameter/config.json", "{\"a\":1}");
    base.write("ClaudeQuotameter/real/file", "f");
    // Sorted before config.json: a dangling link and a link to a folder.
    ASSERT_EQ(
        ::symlink("/nonexistent/target",
                  QFile::encodeName(base.filePath("ClaudeQuotameter/a-dangling")).constData()),
        0);
    ASSERT_EQ(::symlink("real",
                        QFile::encodeName(base.filePath("ClaudeQuotameter/b-folder")).constData()),
              0);
    const QString root = AppPaths::ensureRootIn(base.path());
    EXPECT_EQ(readAll(root + "/config.json"), "{\"a\":1}");
    EXPECT_EQ(QFileInfo(root + "/a-dangling").symLinkTarget(), "/nonexistent/target");
    EXPECT_TRUE(QFileInfo(root + "/b-folder").isSymLink());
    EXPECT_EQ(readAll(root + "/b-folder/file"), "f");  // relative: now points at the copy
}

TEST(AppPaths, CreatesRootWithoutLegacy) {
    TempDir base;
    const QString root = AppPaths::ensureRootIn(base.filePath("deep/share"));
    EXPECT_TRUE(QFileInfo(root).isDir());
}

// The data folder and its files are the user's alone; what an older version left looser is
// tightened at start. Links are left as they are.
TEST(AppPaths, DataFolderIs0700AndItsFiles0600) {
    TempDir dir;
    const QString root = dir.filePath("Quotameter");
    ASSERT_TRUE(QDir().mkpath(root));
    ::chmod(QFile::encodeName(root).constData(), 0755);
    const QString loose = dir.write("Quotameter/config.json", "{}");
    ::chmod(QFile::encodeName(loose).constData(), 0644);
    EXPECT_EQ(AppPaths::ensureRootIn(dir.path()), root);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(root).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(QFile::encodeName(loose).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const QString fresh = dir.filePath("Quotameter/usage-history.json");
    ASSERT_FALSE(AtomicFile::write(fresh, "{}\n"));
    ASSERT_EQ(::stat(QFile::encodeName(fresh).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// Nothing in the data folder may hang the program or redirect its writes: a FIFO, a folder or
// a link where a file or lock belongs is an error the user sees; a busy lock is waited for a
// bounded time and names its holder.
TEST(SharedFile, OnlyRegularFilesAreOpenedAndLocksAreBounded) {
    TempDir dir;
    const QString fifo = dir.filePath("claude-resets.json");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    std::optional<FileError> error;
    EXPECT_EQ(openRegularFile(fifo, kSideFileMaxBytes, &error), -1);  // returns, never blocks
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->message.contains("not a regular file"));
    const QString big = dir.write("alerts-shown.json", QByteArray(2 << 20, ' '));
    EXPECT_EQ(readRegularFile(big, kSideFileMaxBytes, &error), std::nullopt);
    EXPECT_EQ(error->code, EFBIG);
    EXPECT_EQ(readRegularFile(dir.write("small.json", "{}"), kSideFileMaxBytes), "{}");

    const QString history = dir.filePath("usage-history.json");
    ASSERT_TRUE(QDir().mkdir(FileLock::lockPathFor(history)));
    EXPECT_FALSE(FileLock::acquire(history, &error).held());
    ASSERT_TRUE(error);
    ASSERT_TRUE(QDir().rmdir(FileLock::lockPathFor(history)));
    const QString elsewhere = dir.write("elsewhere", "");
    ASSERT_EQ(::symlink(QFile::encodeName(elsewhere).constData(),
                        QFile::encodeName(FileLock::lockPathFor(history)).constData()),
              0);
    EXPECT_FALSE(FileLock::acquire(history, &error).held());
    ASSERT_TRUE(QFile::remove(FileLock::lockPathFor(history)));

    const FileLock held = FileLock::acquire(history, &error);
    ASSERT_TRUE(held.held());
    EXPECT_FALSE(FileLock::acquire(history, &error, 200).held());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, FileLock::lockPathFor(history) + " is locked by process " +
                                  QString::number(::getpid()));
}

// The instance socket lives in a private folder of the user's own, and only a socket the
// user owns counts as a running instance.
TEST(AppPaths, InstanceSocketIsPrivateAndOwnedByTheUser) {
    TempDir dir;
    const QString runtime = dir.filePath("run");
    ASSERT_TRUE(QDir().mkpath(runtime));
    ::chmod(QFile::encodeName(runtime).constData(), 0700);
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    EXPECT_EQ(AppPaths::instanceName(), runtime + "/quotameter.sock");
    // A runtime folder others may enter is not used; the fallback is the user's own.
    ::chmod(QFile::encodeName(runtime).constData(), 0777);
    const QString fallback = AppPaths::instanceName();
    EXPECT_FALSE(fallback.startsWith(runtime));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(QFileInfo(fallback).absolutePath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, ::getuid());
    qputenv("XDG_RUNTIME_DIR", saved);

    QLocalServer server;
    const QString socket = dir.filePath("instance.sock");
    ASSERT_TRUE(server.listen(socket));
    EXPECT_TRUE(AppPaths::isOwnSocket(socket));
    EXPECT_FALSE(AppPaths::isOwnSocket(dir.write("plain", "x")));
    if (::getuid() == 0) {  // only root can give a socket away
        ASSERT_EQ(::lchown(QFile::encodeName(socket).constData(), 65534, 65534), 0);
        EXPECT_FALSE(AppPaths::isOwnSocket(socket));
    }
}
