#pragma once

#include <QCoreApplication>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <utility>
#include <variant>
#include <vector>

// quotameter-cli is a set of sub-commands; each command file registers itself with a static
// CliCommandRegistration so command files can be added without touching main.cpp.
//
// A command declares its sub-commands, arguments and options once, in its registration: the
// parser that reads its command line, its --help, the shell completions and the manual page
// are all made from that one table, so none of them can name an option the others lack.
namespace qm::cli {

// Exit codes shared by every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Values the completions find at the time of completing, by asking the program itself.
enum class CliLookup {
    none,
    file,           // a file name
    host,           // a machine of `hosts list`
    hostSelection,  // all, local or machines of `hosts list`, separated by commas
    accountId,      // an account of `accounts list --ids` of the provider given just before
};

// Texts a user reads (`description`, `summary`) are QT_TRANSLATE_NOOP("quotameter-cli", ...)
// and translated when shown; names and values are what is typed, never translated.
struct CliOption {
    QString name{};       // "--since"
    QString valueName{};  // "YYYY-MM-DD"; empty for an option that takes no value
    const char* description = "";
    QStringList values{};     // the fixed set the value is one of, when there is one
    bool onlyValues = false;  // the parser refuses a value outside `values`
    CliLookup lookup = CliLookup::none;
    bool repeatable = false;  // given several times, each value counts
    bool required = false;    // shown without brackets; the command says when it lacks it
    QString shortName{};      // "-h"; only the programs' own options have one
    bool takesValue() const { return !valueName.isEmpty(); }
};

struct CliArgument {
    QString name{};  // "P", "ID", or the values as typed: "daily|weekly|monthly|session"
    const char* description = "";
    QStringList values{};  // offered by the completions; the command checks what it accepts
    CliLookup lookup = CliLookup::none;
    bool optional = false;
};

// One way of calling a command: `accounts add P --alias A` is the form "add" of "accounts";
// a form without a name is the command by itself (`usage [--json]`).
struct CliForm {
    QString name{};
    const char* summary = "";
    std::vector<CliArgument> arguments{};
    std::vector<CliOption> options{};
    // The arguments are the command's own business and are not parsed (Claude Code's status
    // line passes whatever it likes).
    bool unparsed = false;
};

struct CliExample {
    QString arguments{};  // after the program's name: "report weekly --by model"
    const char* description = "";
};

class CliArguments;

struct CliCommand {
    QString name{};  // first argument, e.g. "usage"
    std::vector<CliForm> forms{};
    const char* description = nullptr;  // a paragraph for the command's help and the manual
    std::vector<CliExample> examples{};
    // Writes the program's own completions and manual page: left out of --help and the
    // completions, and run without the data folder.
    bool packaging = false;
    // Receives the arguments after the command name, parsed; returns the exit code. Runs
    // inside a QCoreApplication; an asynchronous command may run the event loop itself.
    std::function<int(const CliArguments& args)> run{};

    const CliForm* form(const QString& formName) const;
};

// A whole program: its own options before any command, and its commands.
struct CliProgram {
    QString name{};  // "quotameter-cli"
    const char* summary = "";
    std::vector<CliOption> options{};
    std::vector<CliCommand> commands{};  // by name
    const CliCommand* command(const QString& commandName) const;
};

// A command line as the command's form reads it. Asking for an option the form does not
// declare is a fault of the program and stops it, so a command cannot read an option its
// table lacks; a debug build also stops when a command succeeds without having looked at an
// option it was given, so it cannot declare one and ignore it.
class CliArguments {
public:
    CliArguments(const CliCommand& command, const CliForm& form);
    CliArguments(const CliArguments&) = default;
    ~CliArguments();

    const CliForm& form() const { return *form_; }
    // "accounts add": what messages about this command line call it.
    QString commandText() const;
    const QStringList& positional() const { return positional_; }
    bool isSet(const QString& option) const;
    // The value given last, or `fallback` when the option was not given.
    QString value(const QString& option, const QString& fallback = {}) const;
    QStringList values(const QString& option) const;

    // Reads `args` as `command` declares them: the form named by the first argument, or the
    // command's own; each option known and given its value; no more arguments than declared.
    // The text of the usage error otherwise.
    static std::variant<CliArguments, QString> parse(const CliCommand& command,
                                                     const QStringList& args);
    // For the check at the end of a successful run (debug builds).
    QStringList unread() const;

private:
    const CliOption& declared(const QString& option) const;

    const CliCommand* command_;
    const CliForm* form_;
    QStringList positional_;
    std::vector<std::pair<QString, QString>> given_;  // option, value, in order
    mutable QSet<QString> read_;
};

// A text of the tables (QT_TRANSLATE_NOOP("quotameter-cli", ...)), translated.
inline QString cliText(const char* text) {
    return QCoreApplication::translate("quotameter-cli", text);
}

struct CliCommandRegistration {
    explicit CliCommandRegistration(CliCommand command);
};

// quotameter-cli: its own options and every registered command.
const CliProgram& cliProgram();
// quotameter, the tray program: what its command line takes (src/app/main.cpp).
const CliProgram& appProgram();

// The values of the tables: the tools as --tool names them, the report periods, the API
// account providers as the commands take them.
QStringList toolValues();
QStringList periodValues();
QStringList providerValues();

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
