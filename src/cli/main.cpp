#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>
#include <QUrl>
#include <algorithm>
#include <vector>

#include "cli/CliCommand.h"
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

namespace {

std::vector<CliCommand> sortedCommands() {
    auto commands = registry();
    std::sort(commands.begin(), commands.end(),
              [](const CliCommand& a, const CliCommand& b) { return a.name < b.name; });
    return commands;
}

// The commands' usage lines as one two-column table: the synopsis, then what it does. A line
// that starts with spaces goes on describing the synopsis above it.
QString commandTable(const std::vector<CliCommand>& commands) {
    std::vector<std::pair<QString, QString>> rows;
    static const QRegularExpression gap(QStringLiteral("\\s{2,}"));
    for (const CliCommand& command : commands) {
        for (const QString& line : command.usage.split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1Char(' '))) {
                rows.emplace_back(QString(), line.trimmed());
                continue;
            }
            const QRegularExpressionMatch match = gap.match(line);
            if (match.hasMatch()) {
                rows.emplace_back(line.left(match.capturedStart()),
                                  line.mid(match.capturedEnd()).trimmed());
            } else {
                rows.emplace_back(line.trimmed(), QString());
            }
        }
    }
    qsizetype width = 0;
    for (const auto& [synopsis, what] : rows) width = std::max(width, synopsis.size());
    QString table;
    for (const auto& [synopsis, what] : rows) {
        QString line = QStringLiteral("  ") + synopsis.leftJustified(width + 2) + what;
        while (line.endsWith(QLatin1Char(' '))) line.chop(1);
        table += line + QLatin1Char('\n');
    }
    return table;
}

QString programHelp() {
    return QStringLiteral(
               "Usage: quotameter-cli [--help | --version] <command> [command options]\n"
               "Usage and cost of AI coding tools and subscriptions, from the terminal.\n\n"
               "Options:\n"
               "  -h, --help     Show this help and exit.\n"
               "  -v, --version  Show the version and exit.\n\n"
               "Commands:\n") +
           commandTable(sortedCommands()) +
           QStringLiteral("\nRun \"quotameter-cli <command> --help\" for one command.\n");
}

}  // namespace

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

}  // namespace qm::cli

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Quotameter"));
    QCoreApplication::setApplicationName(QStringLiteral("Quotameter"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QM_VERSION));

    // The program's own options come before the command; everything after the command name
    // is the command's, parsed by the command itself.
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    parser.addOptions({help, version});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do."));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(QCoreApplication::arguments())) {
        return qm::cli::usageError(parser.errorText());
    }
    QTextStream out(stdout);
    if (parser.isSet(help)) {
        out << qm::cli::programHelp();
        return qm::cli::kExitOk;
    }
    if (parser.isSet(version)) {
        out << "quotameter-cli " << QM_VERSION << "\n";
        return qm::cli::kExitOk;
    }
    QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return qm::cli::usageError(
            QCoreApplication::translate("quotameter-cli", "a command is needed"));
    const QString name = args.takeFirst();
    if (name == QLatin1String("help")) {
        out << qm::cli::programHelp();
        return qm::cli::kExitOk;
    }
    for (const auto& command : qm::cli::registry()) {
        if (command.name != name) continue;
        if (args.contains(QStringLiteral("--help")) ||
            (!args.isEmpty() && args.first() == QLatin1String("-h"))) {
            out << "Usage of quotameter-cli " << name << ":\n" << qm::cli::commandTable({command});
            return qm::cli::kExitOk;
        }
        // Every command prices with the table in effect for the data folder.
        qm::PriceBook::use(qm::cli::dataDirectory());
        qm::cli::runningCommand() = name;
        return command.run(args);
    }
    return qm::cli::usageError(
        QCoreApplication::translate("quotameter-cli", "unknown command: %1").arg(name));
}
