#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QUrl>
#include <algorithm>
#include <optional>
#include <vector>

#include "cli/CliCommand.h"
#include "cli/CliHelp.h"
#include "core/AppPaths.h"
#include "core/Pricing.h"

namespace qm::cli {
namespace {

std::vector<CliCommand>& registry() {
    static std::vector<CliCommand> commands;
    return commands;
}

// The command main() handed the arguments to, so that a usage error points to its help;
// empty before one is known.
QString& runningCommand() {
    static QString name;
    return name;
}

}  // namespace

CliCommandRegistration::CliCommandRegistration(CliCommand command) {
    registry().push_back(std::move(command));
}

const CliProgram& cliProgram() {
    static const CliProgram program = [] {
        CliProgram made{
            .name = QStringLiteral("quotameter-cli"),
            .summary = QT_TRANSLATE_NOOP(
                "quotameter-cli",
                "Usage and cost of AI coding tools and subscriptions, from the terminal."),
            .options = {{.name = QStringLiteral("--help"),
                         .description =
                             QT_TRANSLATE_NOOP("quotameter-cli", "Show this help and exit."),
                         .shortName = QStringLiteral("-h")},
                        {.name = QStringLiteral("--version"),
                         .description =
                             QT_TRANSLATE_NOOP("quotameter-cli", "Show the version and exit."),
                         .shortName = QStringLiteral("-v")}},
            .commands = registry(),
        };
        std::sort(made.commands.begin(), made.commands.end(),
                  [](const CliCommand& a, const CliCommand& b) { return a.name < b.name; });
        return made;
    }();
    return program;
}

int failure(const QString& message) {
    QTextStream(stderr) << "quotameter-cli: " << message << "\n";
    return kExitFailure;
}

int usageError(const QString& message) {
    // One line that says what is wrong and one that says where to look: the whole help would
    // push the line that matters off the screen.
    const QString program = runningCommand().isEmpty()
                                ? QStringLiteral("quotameter-cli")
                                : QStringLiteral("quotameter-cli ") + runningCommand();
    QTextStream(stderr)
        << "quotameter-cli: " << message << "\n"
        << QCoreApplication::translate("quotameter-cli", "Try '%1 --help'").arg(program) << "\n";
    return kExitUsage;
}

QString missingValue(const QString& option) {
    return QCoreApplication::translate("quotameter-cli", "%1 needs a value").arg(option);
}

QString dataDirectory() {
    return AppPaths::ensureRoot();
}

bool isHttpAddress(const QString& text) {
    const QUrl url(text);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

namespace {

int runCommand(const CliCommand& command, const QStringList& args) {
    runningCommand() = command.name;
    if (args.contains(QStringLiteral("--help")) ||
        (!args.isEmpty() && args.first() == QLatin1String("-h"))) {
        QTextStream(stdout) << commandHelp(cliProgram(), command);
        return kExitOk;
    }
    auto parsed = CliArguments::parse(command, args);
    if (const QString* problem = std::get_if<QString>(&parsed)) return usageError(*problem);
    const CliArguments* read = std::get_if<CliArguments>(&parsed);
    if (!read) return kExitUsage;  // the one other alternative, answered above
    // Every command prices with the table in effect for the data folder; the packaging
    // commands touch no file.
    if (!command.packaging) PriceBook::use(dataDirectory());
    const CliArguments& arguments = *read;
    const int code = command.run(arguments);
#ifndef NDEBUG
    // A declared option the command never looked at is one it silently ignores.
    if (code == kExitOk && !arguments.unread().isEmpty())
        qFatal("quotameter-cli %s ignored %s", qPrintable(arguments.commandText()),
               qPrintable(arguments.unread().join(u' ')));
#endif
    return code;
}

// The program's own options, before the command, read by a parser made from its table:
// --help, --version, or a mistake. Nothing when a command is to run; it is then `args[0]`.
std::optional<int> programOptions(QStringList& args) {
    QCommandLineParser parser;
    for (const CliOption& option : cliProgram().options) {
        QStringList names{option.name.mid(2)};
        if (!option.shortName.isEmpty()) names.prepend(option.shortName.mid(1));
        parser.addOption(QCommandLineOption(names, cliText(option.description)));
    }
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(QCoreApplication::arguments())) return usageError(parser.errorText());
    QTextStream out(stdout);
    args = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("help")) ||
        (!args.isEmpty() && args.first() == QLatin1String("help"))) {
        out << programHelp(cliProgram());
        return kExitOk;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        out << "quotameter-cli " << QM_VERSION << "\n";
        return kExitOk;
    }
    if (args.isEmpty())
        return usageError(QCoreApplication::translate("quotameter-cli", "a command is needed"));
    return std::nullopt;
}

}  // namespace
}  // namespace qm::cli

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Quotameter"));
    QCoreApplication::setApplicationName(QStringLiteral("Quotameter"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QM_VERSION));

    // The program's own options come before the command; everything after the command name
    // is the command's, read as its table declares.
    QStringList args;
    if (const std::optional<int> answered = qm::cli::programOptions(args)) return *answered;
    const QString name = args.takeFirst();
    if (const qm::cli::CliCommand* command = qm::cli::cliProgram().command(name))
        return qm::cli::runCommand(*command, args);
    return qm::cli::usageError(
        QCoreApplication::translate("quotameter-cli", "unknown command: %1").arg(name));
}
