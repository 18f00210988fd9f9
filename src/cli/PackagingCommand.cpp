#include <QTextStream>

#include "cli/CliCommand.h"
#include "cli/ManPage.h"
#include "cli/ShellCompletion.h"

// `completions` and `manpage` write what a package installs beside the programs, from the
// command table; the build runs them once quotameter-cli is built.
namespace qm::cli {
namespace {

const CliProgram& programNamed(const CliArguments& args) {
    return args.value(QStringLiteral("--program")) == QLatin1String("quotameter") ? appProgram()
                                                                                  : cliProgram();
}

int runCompletions(const CliArguments& args) {
    if (args.positional().isEmpty())
        return usageError(QStringLiteral("completions needs a shell: bash, zsh or fish"));
    const QString& shell = args.positional().first();
    const CliProgram& program = programNamed(args);
    QTextStream out(stdout);
    if (shell == QLatin1String("bash")) {
        out << bashCompletion(program);
    } else if (shell == QLatin1String("zsh")) {
        out << zshCompletion(program);
    } else if (shell == QLatin1String("fish")) {
        out << fishCompletion(program);
    } else {
        return usageError(QStringLiteral("unknown shell: %1 (bash, zsh or fish)").arg(shell));
    }
    return kExitOk;
}

int runManPage(const CliArguments& args) {
    const CliProgram& program = programNamed(args);
    const ManualSections sections = &program == &appProgram() ? appManual() : cliManual();
    QTextStream(stdout) << manPage(program, sections, QStringLiteral(QM_VERSION));
    return kExitOk;
}

CliOption programOption() {
    return {.name = QStringLiteral("--program"),
            .valueName = QStringLiteral("quotameter-cli|quotameter"),
            .description = QT_TRANSLATE_NOOP("quotameter-cli",
                                             "the program's: this one (the default) or the "
                                             "tray application's"),
            .values = {QStringLiteral("quotameter-cli"), QStringLiteral("quotameter")},
            .onlyValues = true};
}

const CliCommandRegistration completionsCommand(CliCommand{
    .name = QStringLiteral("completions"),
    .forms = {{.summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                            "print the completion script for a shell"),
               .arguments = {{.name = QStringLiteral("bash|zsh|fish"),
                              .values = {QStringLiteral("bash"), QStringLiteral("zsh"),
                                         QStringLiteral("fish")}}},
               .options = {programOption()}}},
    .description = QT_TRANSLATE_NOOP(
        "quotameter-cli",
        "Left out of --help and the completions, it writes the script a package installs; "
        "the scripts ask quotameter-cli hosts list and accounts list --ids for host names and "
        "account ids as they complete."),
    .examples = {{QStringLiteral("completions zsh > ~/.zfunc/_quotameter-cli"),
                  QT_TRANSLATE_NOOP("quotameter-cli", "for a folder of your own on zsh's fpath")}},
    .packaging = true,
    .run = runCompletions,
});

const CliCommandRegistration manPageCommand(CliCommand{
    .name = QStringLiteral("manpage"),
    .forms = {{.summary = QT_TRANSLATE_NOOP("quotameter-cli", "print the manual page, in roff"),
               .options = {programOption()}}},
    .description = QT_TRANSLATE_NOOP("quotameter-cli",
                                     "Left out of --help and the completions, like "
                                     "completions."),
    .packaging = true,
    .run = runManPage,
});

}  // namespace
}  // namespace qm::cli
