#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// quotameter-cli is a set of sub-commands; each command file registers itself with a static
// CliCommandRegistration so command files can be added without touching main.cpp.
namespace qm::cli {

// Exit codes shared by every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct CliCommand {
    QString name;   // first argument, e.g. "usage"
    QString usage;  // one or more lines for the usage text, e.g. "usage [--json]"
    // Receives the arguments after the command name; returns the exit code. Runs inside a
    // QCoreApplication; an asynchronous command may run the event loop itself.
    std::function<int(const QStringList& args)> run;
};

struct CliCommandRegistration {
    explicit CliCommandRegistration(CliCommand command);
};

// Prints "quotameter-cli: <message>" and a line that points to the help of the command being
// run ("Try 'quotameter-cli report --help'"), or to the program's own help before a command
// is known, on stderr; returns kExitUsage.
int usageError(const QString& message);
// "--alias needs a value": what usageError says of an option given as the last argument.
QString missingValue(const QString& option);
// Prints "quotameter-cli: <message>" on stderr and returns kExitFailure.
int failure(const QString& message);

// Where the program keeps its files (the real data directory).
QString dataDirectory();

// An absolute http or https address with a host, as --upstream and --base-url take.
bool isHttpAddress(const QString& text);

}  // namespace qm::cli
