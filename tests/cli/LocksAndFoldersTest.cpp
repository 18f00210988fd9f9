// What the commands do when another process holds the shared files' locks and stays stopped,
// and what they create on a fresh machine: a stopped or hung process must never hang a status
// line or a status bar, and nothing the program makes may be readable by other users.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include "core/SharedFile.h"
#include "support/CliEnvironment.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm {
namespace {

int modeOf(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) return -1;
    return int(info.st_mode & 07777);
}

// A child process that takes the given locks, says so on a pipe and stops itself, as a
// process suspended with Ctrl+Z or hung in the middle of an update would hold them.
class StoppedLockHolder {
public:
    explicit StoppedLockHolder(const QStringList& paths) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            std::vector<FileLock> held;
            for (const QString& path : paths) {
                held.push_back(FileLock::acquire(path));
                if (!held.back().held()) ::_exit(2);
            }
            if (::write(ready[1], "x", 1) != 1) ::_exit(3);
            ::raise(SIGSTOP);
            ::_exit(0);
        }
        ::close(ready[1]);
        char c = 0;
        ready_ = ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~StoppedLockHolder() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

class LocksAndFoldersTest : public ::testing::Test {
protected:
    void SetUp() override { test::writeSampleHome(home.path()); }

    QString cache() const { return home.filePath(".cache/Quotameter"); }
    QString data() const { return home.filePath(".local/share/Quotameter"); }
    test::CliRun run(const QStringList& args, const QByteArray& input = {}) const {
        // Generous: the commands must end, and a stopped holder would keep them for ever.
        return test::runCli(test::cliEnvironment(home.path()), args, input, false, 30000);
    }

    test::TempDir home;
};

TEST_F(LocksAndFoldersTest, AStoppedHolderOfEveryLockHangsNoCommand) {
    const test::CliRun before = run({"report", "daily", "--json"});
    ASSERT_EQ(before.exitCode, 0) << before.err.toStdString();

    // The sample home's Claude Code session, as Claude Code hands it to its status line.
    const QByteArray statusInput = R"({"session_id":"s1","model":{"display_name":"Opus"}})";
    const test::CliRun statusBefore = run({"statusline"}, statusInput);

    const StoppedLockHolder holder(
        {cache() + "/usage-index.bin", data() + "/usage-history.json", data() + "/config.json"});
    ASSERT_TRUE(holder.ready());

    const test::CliRun report = run({"report", "daily", "--json"});
    EXPECT_EQ(report.exitCode, 0) << report.err.toStdString();
    EXPECT_EQ(report.out, before.out) << "read without the lock, the figures are the same";
    EXPECT_TRUE(report.err.contains("usage index is busy")) << report.err.toStdString();
    EXPECT_TRUE(report.err.contains("locked by process")) << report.err.toStdString();

    const test::CliRun status = run({"statusline"}, statusInput);
    EXPECT_EQ(status.exitCode, 0) << status.err.toStdString();
    EXPECT_EQ(status.out, statusBefore.out);

    for (const QStringList& args : {QStringList{"title", "--json"}, QStringList{"usage"},
                                    QStringList{"limits"}, QStringList{"metrics"}}) {
        const test::CliRun other = run(args);
        EXPECT_EQ(other.exitCode, 0) << args.join(' ').toStdString() << other.err.toStdString();
        EXPECT_FALSE(other.out.isEmpty()) << args.join(' ').toStdString();
    }
}

TEST_F(LocksAndFoldersTest, FoldersAndLocksAreTheUsersAloneWhateverTheUmaskAndLinks) {
    // A lock planted as a link to a file that does not exist is not followed: nothing is
    // created at the link's target, and the command still answers.
    ASSERT_TRUE(QDir().mkpath(cache()));
    const QString elsewhere = home.filePath("planted-target");
    ASSERT_EQ(::symlink(QFile::encodeName(elsewhere).constData(),
                        QFile::encodeName(cache() + "/usage-index.bin.lock").constData()),
              0);
    const test::CliRun linked = run({"report", "daily"});
    EXPECT_EQ(linked.exitCode, 0) << linked.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(elsewhere));
    ASSERT_TRUE(QFile::remove(cache() + "/usage-index.bin.lock"));
    ASSERT_TRUE(QDir(home.filePath(".cache")).removeRecursively());

    const mode_t was = ::umask(0);
    const test::CliRun fresh = run({"report", "daily"});
    const test::CliRun title = run({"title"});
    ::umask(was);
    EXPECT_EQ(fresh.exitCode, 0) << fresh.err.toStdString();
    EXPECT_EQ(title.exitCode, 0) << title.err.toStdString();
    EXPECT_EQ(modeOf(cache()), 0700);
    EXPECT_EQ(modeOf(data()), 0700);
    for (const QString& file : {cache() + "/usage-index.bin", cache() + "/usage-index.bin.lock"})
        EXPECT_EQ(modeOf(file), 0600) << file.toStdString();
    // Whatever else the commands made under the program's folders is private too.
    for (const QString& root : {cache(), data()}) {
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const int mode = modeOf(path);
            EXPECT_EQ(mode & 077, 0) << path.toStdString() << " is " << std::oct << mode;
        }
    }
}

}  // namespace
}  // namespace qm
