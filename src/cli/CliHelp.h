#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "cli/CliCommand.h"

// The help texts made from the command table, laid out for an 80-column terminal: a synopsis
// that is too long wraps onto indented lines, and descriptions wrap inside their own column.
namespace qm::cli {

inline constexpr int kHelpWidth = 80;

// One word of a synopsis: `report`, `[--since YYYY-MM-DD]`, `daily|weekly|monthly|session`.
struct SynopsisItem {
    QString word{};        // a command, sub-command, option or argument as it is typed or named
    QString value{};       // the value an option takes: "YYYY-MM-DD"
    bool literal = false;  // typed as it stands (a command or option), not a name for a value
    bool optional = false;
    bool repeatable = false;
    QString text() const;  // "[--since YYYY-MM-DD]", "[--tool TOOL]..."
};

// The command, the form's name, its arguments and its options, in that order.
std::vector<SynopsisItem> synopsis(const CliCommand& command, const CliForm& form);
// "--since YYYY-MM-DD", "-h, --help".
QString optionText(const CliOption& option);

// `text` broken at spaces into lines of at most `width` characters (a longer word stands alone).
QStringList wrapped(const QString& text, int width);

QString programHelp(const CliProgram& program);
// The command's forms with their options, what it does and examples.
QString commandHelp(const CliProgram& program, const CliCommand& command);

}  // namespace qm::cli
