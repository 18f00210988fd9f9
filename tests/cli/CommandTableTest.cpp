#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <map>

#include "support/CliEnvironment.h"
#include "support/TempDir.h"

namespace qm {
namespace {

// The command table as the programs publish it: the bash completion script holds every list
// of it, one `'key') reply='words' ;;` line each (see src/cli/ShellCompletion.h for the keys).
std::map<QString, QStringList> publishedTable(const QStringList& args, const QString& home) {
    const test::CliRun script = test::runCli(test::cliEnvironment(home), args);
    EXPECT_EQ(script.exitCode, 0) << script.err.toStdString();
    static const QRegularExpression entry(QStringLiteral(R"(^\s+'([^']+)'\) reply='([^']*)' ;;$)"));
    std::map<QString, QStringList> table;
    for (const QString& line : QString::fromUtf8(script.out).split(u'\n')) {
        const QRegularExpressionMatch match = entry.match(line);
        if (match.hasMatch())
            table[match.captured(1)] = match.captured(2).split(u' ', Qt::SkipEmptyParts);
    }
    EXPECT_FALSE(table.empty()) << script.out.toStdString();
    return table;
}

struct TableRun {
    bool crashed = false;
    int exitCode = -1;
    QString err;
};

class CommandTableTest : public ::testing::Test {
protected:
    TableRun run(const QStringList& args) const {
        QProcess process;
        process.setProcessEnvironment(test::cliEnvironment(home.path()));
        process.start(QStringLiteral(QM_CLI_PATH), args);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(60000)) << args.join(u' ').toStdString();
        return {process.exitStatus() == QProcess::CrashExit, process.exitCode(),
                QString::fromUtf8(process.readAllStandardError())};
    }
    QStringList lookup(const QString& key) const {
        const auto found = table.find(key);
        return found == table.end() ? QStringList() : found->second;
    }
    // The forms of the table: "report", "accounts add", each with its own options.
    QStringList formKeys() const {
        QStringList keys;
        for (const auto& [key, words] : table)
            if (key.startsWith(QLatin1String("opts ")) && key != QLatin1String("opts -"))
                keys.append(key.mid(5));
        return keys;
    }
    // Arguments that let a form's command line be read: the first fixed value of each
    // argument, or a stand-in for one the completions look up.
    QStringList argumentsOf(const QString& key) const {
        QStringList args;
        for (int n = 0;; ++n) {
            const QStringList fixed = lookup(QStringLiteral("arg %1 %2").arg(key).arg(n));
            if (!fixed.isEmpty()) {
                args.append(fixed.first());
            } else if (!lookup(QStringLiteral("arglookup %1 %2").arg(key).arg(n)).isEmpty()) {
                args.append(QStringLiteral("0123456789abcdef"));
            } else {
                return args;
            }
        }
    }

    test::TempDir home;
    std::map<QString, QStringList> table = publishedTable({"completions", "bash"}, home.path());
};

// What a value of each kind is given as: nothing here reaches the network or listens.
QString sampleValue(const QString& key, const QString& option, const QStringList& fixed) {
    static const std::map<QString, QString> samples{
        {"--since", "2026-01-01"},
        {"--until", "2026-01-31"},
        {"--hosts", "local"},
        {"--from", "/nonexistent/prices.json"},
        {"--base-url", "http://127.0.0.1:9"},
        {"--upstream", "http://127.0.0.1:9"},
        {"--port", "70000"},
        {"--listen", "not-an-address"},
    };
    if (const auto found = samples.find(option); found != samples.end()) return found->second;
    if (!fixed.isEmpty()) return fixed.last();
    return key + QStringLiteral("-value");
}

TEST_F(CommandTableTest, EveryDeclaredOptionIsTakenAndReadAndNoOtherIsTaken) {
    // Commands that would otherwise run on: a relay on a port out of range stops at once.
    const std::map<QString, QStringList> before{{"relay", {"--port", "70000"}},
                                                {"prices update", {"--from", "/nonexistent"}}};
    int checked = 0;
    for (const QString& key : formKeys()) {
        QStringList line = key.split(u' ') + argumentsOf(key);
        if (const auto found = before.find(key); found != before.end()) line += found->second;
        const QStringList valued = lookup("valued " + key);
        for (const QString& option : lookup("opts " + key)) {
            if (option == QLatin1String("--help")) continue;
            QStringList args = line;
            args << option;
            if (valued.contains(option))
                args << sampleValue(key, option, lookup("values " + key + ' ' + option));
            // A crash is a command that reads an option its table lacks, or, in this debug
            // build, one that succeeds without reading an option it declares.
            const TableRun given = run(args);
            EXPECT_FALSE(given.crashed) << args.join(' ').toStdString() << "\n"
                                        << given.err.toStdString();
            EXPECT_FALSE(given.err.contains("unknown option") ||
                         given.err.contains("needs a value"))
                << args.join(' ').toStdString() << "\n"
                << given.err.toStdString();
            ++checked;
        }
        if (key == QLatin1String("statusline")) continue;  // takes whatever Claude Code passes
        const TableRun unknown = run(line + QStringList{"--frobnicate"});
        EXPECT_EQ(unknown.exitCode, 2) << key.toStdString();
        EXPECT_TRUE(unknown.err.startsWith("quotameter-cli: unknown option for " + key +
                                           ": --frobnicate\n"))
            << unknown.err.toStdString();
    }
    EXPECT_GE(checked, 25);
}

TEST_F(CommandTableTest, ValuesOutsideAFixedSetAreRefusedWithTheSet) {
    const TableRun by = run({"report", "daily", "--by", "week"});
    EXPECT_EQ(by.exitCode, 2);
    EXPECT_TRUE(
        by.err.startsWith("quotameter-cli: --by takes tool, model, project or host, not week\n"))
        << by.err.toStdString();
    EXPECT_EQ(run({"accounts", "usage", "gemini", "x", "--days=14"}).exitCode, 2);
    EXPECT_EQ(run({"budgets", "--json=yes"}).exitCode, 2);
    // An option's value may follow an equals sign.
    EXPECT_EQ(run({"report", "daily", "--by=model", "--json"}).exitCode, 0);
    const TableRun extra = run({"hosts", "remove", "a", "b"});
    EXPECT_EQ(extra.exitCode, 2);
    EXPECT_TRUE(extra.err.startsWith("quotameter-cli: unknown argument for hosts remove: b\n"));
    EXPECT_TRUE(run({"hosts"}).err.startsWith("quotameter-cli: hosts needs a sub-command\n"));
}

// Every line of every help fits an 80-column terminal, and each command's help names all of
// its sub-commands and options.
TEST_F(CommandTableTest, EveryHelpFitsEightyColumnsAndNamesEveryOption) {
    const auto checkWidth = [](const QByteArray& text, const QString& what) {
        for (const QString& line : QString::fromUtf8(text).split(u'\n'))
            EXPECT_LE(line.size(), 80) << what.toStdString() << ": " << line.toStdString();
    };
    const test::CliRun programHelp = test::runCli(test::cliEnvironment(home.path()), {"--help"});
    checkWidth(programHelp.out, "--help");
    for (const QString& command : lookup("commands")) {
        EXPECT_TRUE(programHelp.out.contains("\n  " + command.toUtf8() + ' '))
            << command.toStdString();
        const test::CliRun help =
            test::runCli(test::cliEnvironment(home.path()), {command, "--help"});
        checkWidth(help.out, command + " --help");
        QStringList keys{command};
        for (const QString& sub : lookup("subs " + command)) {
            EXPECT_TRUE(help.out.contains("  " + command.toUtf8() + ' ' + sub.toUtf8()))
                << sub.toStdString();
            keys.append(command + ' ' + sub);
        }
        for (const QString& key : keys) {
            for (const QString& option : lookup("opts " + key)) {
                if (option == QLatin1String("--help")) continue;
                EXPECT_TRUE(help.out.contains("\n    " + option.toUtf8()))
                    << key.toStdString() << " " << option.toStdString();
            }
        }
    }
    // Left out of the program's help and the completions, and there all the same.
    EXPECT_FALSE(lookup("commands").contains("completions"));
    EXPECT_FALSE(programHelp.out.contains("\n  manpage"));
    checkWidth(test::runCli(test::cliEnvironment(home.path()), {"completions", "--help"}).out,
               "completions --help");
}

// The tray program parses its own command line (src/app/main.cpp); the table its completions
// and manual page are written from must say the same: the same options, the same windows.
TEST_F(CommandTableTest, TheTrayProgramsTableMatchesWhatItTakes) {
    const std::map<QString, QStringList> app =
        publishedTable({"completions", "bash", "--program", "quotameter"}, home.path());
    QProcess process;
    QProcessEnvironment env = test::cliEnvironment(home.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(QM_APP_PATH), {"--help"});
    ASSERT_TRUE(process.waitForFinished(60000));
    const QString help = QString::fromUtf8(process.readAllStandardOutput());
    for (const QString& line : help.split(u'\n')) EXPECT_LE(line.size(), 80) << line.toStdString();
    static const QRegularExpression optionName(QStringLiteral(R"(^\s+(-\w, )?(--[\w-]+))"));
    QStringList helpOptions;
    for (const QString& line : help.split(u'\n')) {
        const QRegularExpressionMatch match = optionName.match(line);
        if (!match.hasMatch()) continue;
        if (!match.captured(1).isEmpty()) helpOptions << match.captured(1).chopped(2);
        helpOptions << match.captured(2);
    }
    QStringList tableOptions = app.at("opts -");
    helpOptions.sort();
    tableOptions.sort();
    EXPECT_EQ(helpOptions, tableOptions) << help.toStdString();

    process.start(QStringLiteral(QM_APP_PATH), {"--open", "nowhere"});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 2);
    const QString refusal = QString::fromUtf8(process.readAllStandardError());
    EXPECT_TRUE(refusal.contains("known windows: " + app.at("values - --open").join(", ") + "\n"))
        << refusal.toStdString();
}

}  // namespace
}  // namespace qm
