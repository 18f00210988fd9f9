#include <gtest/gtest.h>

#include "support/CliEnvironment.h"
#include "support/TempDir.h"

namespace qm {
namespace {

// What a user sees after a mistake on the command line: the one line that says what is wrong,
// the one that says where to look, nothing on standard output, status 2.
class UsageErrorsTest : public ::testing::Test {
protected:
    test::CliRun run(const QStringList& args) const {
        return test::runCli(test::cliEnvironment(home.path()), args);
    }

    test::TempDir home;
};

TEST_F(UsageErrorsTest, AMistakeGetsOneLineAndAPointerToTheRightHelp) {
    struct Case {
        QStringList args;
        QString problem;
        QString help;  // the command whose help the pointer names; none: the program's
    };
    const Case cases[] = {
        {{"report", "daily", "--frobnicate"}, "unknown option for report: --frobnicate", "report"},
        {{"report", "daily", "--tool", "cursor"},
         "unknown tool: cursor (codex, grok, gemini, claudeCode, openCode or qwenCode)",
         "report"},
        {{"report", "daily", "--until"}, "--until needs a value", "report"},
        {{"usage", "--hosts"}, "--hosts needs a value", "usage"},
        {{"accounts", "add", "gemini", "--alias"}, "--alias needs a value", "accounts"},
        {{"accounts", "list", "--provider", "acme"},
         "unknown provider acme (gemini, anthropic, openai or grok)",
         "accounts"},
        {{"prices", "update", "--from"}, "--from needs a value", "prices"},
        {{"frobnicate"}, "unknown command: frobnicate", ""},
        {{"--frobnicate"}, "Unknown option 'frobnicate'.", ""},
        {{}, "a command is needed", ""},
    };
    for (const Case& c : cases) {
        const test::CliRun result = run(c.args);
        const QString program =
            c.help.isEmpty() ? QStringLiteral("quotameter-cli") : "quotameter-cli " + c.help;
        EXPECT_EQ(result.exitCode, 2) << c.args.join(' ').toStdString();
        EXPECT_EQ(QString::fromUtf8(result.err),
                  "quotameter-cli: " + c.problem + "\nTry '" + program + " --help'\n");
        EXPECT_TRUE(result.out.isEmpty()) << c.args.join(' ').toStdString();
    }
}

TEST_F(UsageErrorsTest, EveryCommandsHelpIsStillThereAndItsMistakesPointToIt) {
    for (const QString command : {"accounts", "budgets", "history", "hosts", "limits", "metrics",
                                  "prices", "relay", "report", "statusline", "title", "usage"}) {
        const test::CliRun help = run({command, "--help"});
        EXPECT_EQ(help.exitCode, 0) << command.toStdString();
        EXPECT_TRUE(help.out.startsWith("Usage of quotameter-cli " + command.toUtf8() + ":\n"))
            << help.out.toStdString();
        // The status line takes whatever Claude Code passes and never fails on it.
        if (command == QLatin1String("statusline")) continue;
        const QStringList wrong = command == QLatin1String("report")
                                      ? QStringList{command, "daily", "--frobnicate"}
                                      : QStringList{command, "--frobnicate"};
        const test::CliRun mistake = run(wrong);
        EXPECT_EQ(mistake.exitCode, 2) << command.toStdString();
        const QList<QByteArray> lines = mistake.err.trimmed().split('\n');
        EXPECT_EQ(lines.size(), 2) << mistake.err.toStdString();
        EXPECT_EQ(lines.last(), "Try 'quotameter-cli " + command.toUtf8() + " --help'");
    }
    const test::CliRun programHelp = run({"--help"});
    EXPECT_EQ(programHelp.exitCode, 0);
    EXPECT_TRUE(programHelp.out.contains("Commands:"));
}

}  // namespace
}  // namespace qm
