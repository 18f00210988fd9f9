#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "support/CliEnvironment.h"
#include "support/TempDir.h"

namespace qm {
namespace {

// `quotameter-cli statusline install` / `uninstall` on Claude Code's settings.json, in a
// configuration folder of the test's own (CLAUDE_CONFIG_DIR) or ~/.claude.
class StatusLineInstallTest : public ::testing::Test {
protected:
    test::CliRun runIn(const QString& configDir, const QStringList& args) const {
        QProcessEnvironment env = test::cliEnvironment(home.path());
        if (!configDir.isEmpty()) env.insert("CLAUDE_CONFIG_DIR", configDir);
        return test::runCli(env, QStringList{"statusline"} + args);
    }
    // The settings file of a folder of its own holding `bytes`.
    QString settingsWith(const QString& folder, const QByteArray& bytes) const {
        return home.write(folder + "/settings.json", bytes);
    }
    static QStringList backupsBeside(const QString& settings) {
        return QDir(QFileInfo(settings).absolutePath()).entryList({"settings.json.*.bak"});
    }
    // The copy the command says it made.
    static QString backupNamedIn(const QByteArray& out) {
        static const QRegularExpression kept("The previous file is kept as (\\S+)\n");
        return kept.match(QString::fromUtf8(out)).captured(1);
    }

    test::TempDir home;
    const QByteArray command = QByteArray(QM_CLI_PATH) + " statusline";
};

TEST_F(StatusLineInstallTest, InstallAddsOnlyTheEntryInTheFilesOwnLayoutAndUninstallTakesItOut) {
    const QByteArray c = command;
    struct Layout {
        const char* name;
        QByteArray original;
        QByteArray installed;
    };
    const Layout layouts[] = {
        {"two spaces, nested values, braces in strings",
         "{\n  \"model\": \"opus\",\n  \"permissions\": {\n    \"allow\": [\"Bash(git diff:*)\", "
         "\"Read(~/{a,b})\"]\n  },\n  \"env\": {\"NOTE\": \"a \\\"quoted\\\" } brace, a "
         "comma\"}\n}\n",
         "{\n  \"model\": \"opus\",\n  \"permissions\": {\n    \"allow\": [\"Bash(git diff:*)\", "
         "\"Read(~/{a,b})\"]\n  },\n  \"env\": {\"NOTE\": \"a \\\"quoted\\\" } brace, a comma\"},\n"
         "  \"statusLine\": {\n    \"type\": \"command\",\n    \"command\": \"" +
             c + "\"\n  }\n}\n"},
        {"four spaces", "{\n    \"hooks\": {},\n    \"model\": \"opus\"\n}",
         "{\n    \"hooks\": {},\n    \"model\": \"opus\",\n    \"statusLine\": {\n        "
         "\"type\": "
         "\"command\",\n        \"command\": \"" +
             c + "\"\n    }\n}"},
        {"tabs and CRLF", "{\r\n\t\"model\": \"opus\"\r\n}\r\n",
         "{\r\n\t\"model\": \"opus\",\r\n\t\"statusLine\": {\r\n\t\t\"type\": \"command\",\r\n\t\t"
         "\"command\": \"" +
             c + "\"\r\n\t}\r\n}\r\n"},
        {"one line", "{\"model\":\"opus\",\"theme\":\"dark\"}",
         "{\"model\":\"opus\",\"theme\":\"dark\",\"statusLine\":{\"type\":\"command\","
         "\"command\":\"" +
             c + "\"}}"},
        {"empty", "{}\n",
         "{\n  \"statusLine\": {\n    \"type\": \"command\",\n    \"command\": \"" + c +
             "\"\n  }\n}\n"},
    };
    int n = 0;
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        const QString folder = home.filePath(QString("config%1").arg(n++));
        const QString settings = settingsWith(QFileInfo(folder).fileName(), layout.original);
        const test::CliRun install = runIn(folder, {"install"});
        ASSERT_EQ(install.exitCode, 0) << install.err.toStdString();
        EXPECT_EQ(test::readAll(settings), layout.installed);
        EXPECT_TRUE(install.out.contains("now runs: " + c)) << install.out.toStdString();
        // The old file is kept beside it, byte for byte.
        const QString backup = backupNamedIn(install.out);
        ASSERT_FALSE(backup.isEmpty()) << install.out.toStdString();
        EXPECT_EQ(QFileInfo(backup).absolutePath(), folder);
        EXPECT_EQ(test::readAll(backup), layout.original);

        // Installed already: nothing is written.
        const test::CliRun again = runIn(folder, {"install"});
        EXPECT_EQ(again.exitCode, 0);
        EXPECT_TRUE(again.out.contains("already runs")) << again.out.toStdString();
        EXPECT_EQ(backupsBeside(settings).size(), 1);

        const test::CliRun uninstall = runIn(folder, {"uninstall"});
        ASSERT_EQ(uninstall.exitCode, 0) << uninstall.err.toStdString();
        EXPECT_EQ(test::readAll(settings), layout.original);
        EXPECT_EQ(test::readAll(backupNamedIn(uninstall.out)), layout.installed);
        EXPECT_EQ(backupsBeside(settings).size(), 2);  // two in one second have two names
        EXPECT_TRUE(runIn(folder, {"uninstall"}).out.contains("nothing to remove"));
    }
}

TEST_F(StatusLineInstallTest, UninstallTakesOutOnlyOursWhereverItStands) {
    struct Entry {
        QByteArray original;
        QByteArray removed;
    };
    for (const Entry& entry : {
             Entry{"{\n  \"statusLine\": {\"type\": \"command\", \"command\": "
                   "\"/opt/q/quotameter-cli statusline\"},\n  \"model\": \"opus\"\n}\n",
                   "{\n  \"model\": \"opus\"\n}\n"},
             Entry{"{\"a\": 1, \"statusLine\": {\"type\": \"command\", \"command\": "
                   "\"'/opt/my apps/quotameter-cli' statusline\", \"padding\": 0}, \"b\": [2]}",
                   "{\"a\": 1, \"b\": [2]}"},
         }) {
        SCOPED_TRACE(entry.original.toStdString());
        const QString settings = settingsWith("mine", entry.original);
        const test::CliRun run = runIn(home.filePath("mine"), {"uninstall"});
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_EQ(test::readAll(settings), entry.removed);
    }

    // Ours from another place is brought to this program without --replace.
    const QString moved = settingsWith("moved",
                                       "{\"statusLine\": {\"type\": \"command\", \"command\": "
                                       "\"/old/place/quotameter-cli statusline\"}}");
    const test::CliRun install = runIn(home.filePath("moved"), {"install"});
    EXPECT_EQ(install.exitCode, 0) << install.err.toStdString();
    EXPECT_EQ(test::readAll(moved),
              "{\"statusLine\": {\"type\": \"command\", \"command\": \"" + command + "\"}}");
}

TEST_F(StatusLineInstallTest, AnotherStatusLineIsReplacedOnlyWhenAskedAndNeverRemoved) {
    const QByteArray theirs =
        "{\n  \"statusLine\": {\n    \"type\": \"command\",\n    "
        "\"command\": \"~/.claude/statusline.sh\"\n  },\n  \"model\": "
        "\"opus\"\n}\n";
    const QString folder = home.filePath("theirs");
    const QString settings = settingsWith("theirs", theirs);
    for (const char* verb : {"install", "uninstall"}) {
        const test::CliRun run = runIn(folder, {verb});
        EXPECT_EQ(run.exitCode, 1) << verb;
        EXPECT_TRUE(run.err.contains("~/.claude/statusline.sh")) << run.err.toStdString();
        EXPECT_EQ(test::readAll(settings), theirs);
        EXPECT_TRUE(backupsBeside(settings).isEmpty());
    }
    EXPECT_TRUE(runIn(folder, {"install"}).err.contains("--replace"));

    const test::CliRun replace = runIn(folder, {"install", "--replace"});
    ASSERT_EQ(replace.exitCode, 0) << replace.err.toStdString();
    EXPECT_TRUE(replace.out.contains("It ran before: ~/.claude/statusline.sh"));
    EXPECT_EQ(test::readAll(settings),
              "{\n  \"statusLine\": {\n    \"type\": \"command\",\n    \"command\": \"" + command +
                  "\"\n  },\n  \"model\": \"opus\"\n}\n");
    EXPECT_EQ(test::readAll(backupNamedIn(replace.out)), theirs);

    EXPECT_EQ(runIn(folder, {"install", "--force"}).exitCode, 2);
    EXPECT_EQ(runIn(folder, {"uninstall", "--replace"}).exitCode, 2);
}

TEST_F(StatusLineInstallTest, FilesItMustNotOrCannotChangeAreLeftAsTheyAre) {
    for (const QByteArray& invalid :
         {QByteArray("{\n  \"model\": \"opus\",\n}\n"), QByteArray("// mine\n{}\n"),
          QByteArray("[{\"statusLine\": 1}]"), QByteArray("{\"a\": 1} {\"b\": 2}")}) {
        SCOPED_TRACE(invalid.toStdString());
        const QString settings = settingsWith("invalid", invalid);
        for (const char* verb : {"install", "uninstall"}) {
            const test::CliRun run = runIn(home.filePath("invalid"), {verb});
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE(run.err.contains("JSON")) << run.err.toStdString();
            EXPECT_TRUE(run.err.contains("Nothing was changed")) << run.err.toStdString();
            EXPECT_EQ(test::readAll(settings), invalid);
            EXPECT_TRUE(backupsBeside(settings).isEmpty());
        }
    }

    // Made read-only on purpose: refused even where the rename would go past it (as root).
    const QByteArray locked = "{\n  \"model\": \"opus\"\n}\n";
    const QString settings = settingsWith("locked", locked);
    ASSERT_EQ(::chmod(QFile::encodeName(settings).constData(), 0444), 0);
    const test::CliRun run = runIn(home.filePath("locked"), {"install"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("read-only")) << run.err.toStdString();
    EXPECT_EQ(test::readAll(settings), locked);
    EXPECT_TRUE(backupsBeside(settings).isEmpty());
}

TEST_F(StatusLineInstallTest, AMissingFolderIsMadeAndALinkedFileStaysLinked) {
    // No configuration folder at all: ~/.claude is made.
    const test::CliRun fresh = runIn({}, {"install"});
    ASSERT_EQ(fresh.exitCode, 0) << fresh.err.toStdString();
    const QString made = home.filePath(".claude/settings.json");
    EXPECT_EQ(test::readAll(made),
              "{\n  \"statusLine\": {\n    \"type\": \"command\",\n    "
              "\"command\": \"" +
                  command + "\"\n  }\n}\n");
    EXPECT_TRUE(backupNamedIn(fresh.out).isEmpty());
    EXPECT_TRUE(backupsBeside(made).isEmpty());

    // A settings file kept with the user's other dotfiles through a link.
    const QString target = home.write("dotfiles/claude.json", "{\"model\": \"opus\"}\n");
    const QString link = home.filePath("linked/settings.json");
    ASSERT_TRUE(QDir().mkpath(home.filePath("linked")));
    ASSERT_TRUE(QFile::link(target, link));
    const test::CliRun linked = runIn(home.filePath("linked"), {"install"});
    ASSERT_EQ(linked.exitCode, 0) << linked.err.toStdString();
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(test::readAll(target).contains("\"statusLine\": {\"type\": \"command\", "));
    EXPECT_EQ(backupsBeside(link).size(), 1);
}

}  // namespace
}  // namespace qm
