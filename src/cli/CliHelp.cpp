#include "cli/CliHelp.h"

#include <QCoreApplication>
#include <algorithm>

namespace qm::cli {

QString SynopsisItem::text() const {
    QString text = value.isEmpty() ? word : word + u' ' + value;
    if (optional) text = u'[' + text + u']';
    if (repeatable) text += QStringLiteral("...");
    return text;
}

QString optionText(const CliOption& option) {
    QString text = option.name;
    if (!option.shortName.isEmpty()) text = option.shortName + QStringLiteral(", ") + text;
    if (option.takesValue()) text += u' ' + option.valueName;
    return text;
}

std::vector<SynopsisItem> synopsis(const CliCommand& command, const CliForm& form) {
    std::vector<SynopsisItem> items{{.word = command.name, .literal = true}};
    if (!form.name.isEmpty()) items.push_back({.word = form.name, .literal = true});
    for (const CliArgument& argument : form.arguments) {
        items.push_back({.word = argument.name,
                         .literal = argument.name.contains(u'|'),
                         .optional = argument.optional});
    }
    for (const CliOption& option : form.options) {
        items.push_back({.word = option.name,
                         .value = option.valueName,
                         .literal = true,
                         .optional = !option.required,
                         .repeatable = option.repeatable});
    }
    return items;
}

QStringList wrapped(const QString& text, int width) {
    QStringList lines;
    QString line;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
            lines.append(line);
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty()) lines.append(line);
    return lines;
}

namespace {

// One row of a help table: what is typed, at `indent`, and what it does, in its column.
struct HelpRow {
    QString left;
    QString description;
    int indent = 2;
};

constexpr int kWidestColumn = 32;

// The synopsis of a form, wrapped between its items: continuation lines are indented four more.
QStringList synopsisLines(const CliCommand& command, const CliForm& form, int indent) {
    QStringList lines{QString()};
    for (const SynopsisItem& item : synopsis(command, form)) {
        const QString text = item.text();
        if (lines.last().size() > 4 &&
            lines.last().size() + 1 + text.size() > kHelpWidth - indent) {
            lines.append(QStringLiteral("    "));
        } else if (!lines.last().isEmpty()) {
            lines.last() += u' ';
        }
        lines.last() += text;
    }
    return lines;
}

// The rows laid out: the description column is as far right as the widest left part needs,
// up to kWidestColumn; a left part that does not fit puts its description on the lines below.
QString table(const std::vector<HelpRow>& rows) {
    int column = 0;
    for (const HelpRow& row : rows) {
        const int needed = row.indent + int(row.left.size()) + 2;
        if (needed <= kWidestColumn) column = std::max(column, needed);
    }
    if (column == 0) column = kWidestColumn;
    QString text;
    for (const HelpRow& row : rows) {
        QStringList left = row.left.split(u'\n');
        const QStringList what = wrapped(row.description, kHelpWidth - column);
        const bool beside = left.size() == 1 && row.indent + left.first().size() + 2 <= column;
        for (const QString& line : left) text += QString(row.indent, u' ') + line + u'\n';
        qsizetype first = 0;
        if (beside && !what.isEmpty()) {
            text.chop(1);
            text += QString(column - row.indent - left.first().size(), u' ') + what.first() + u'\n';
            first = 1;
        }
        for (qsizetype i = first; i < what.size(); ++i)
            text += QString(column, u' ') + what[i] + u'\n';
    }
    return text;
}

std::vector<HelpRow> formRows(const CliCommand& command, bool withOptions) {
    std::vector<HelpRow> rows;
    for (const CliForm& form : command.forms) {
        rows.push_back({synopsisLines(command, form, 2).join(u'\n'), cliText(form.summary), 2});
        if (!withOptions) continue;
        for (const CliArgument& argument : form.arguments) {
            if (argument.description[0] == '\0') continue;
            rows.push_back({argument.name, cliText(argument.description), 4});
        }
        for (const CliOption& option : form.options)
            rows.push_back({optionText(option), cliText(option.description), 4});
    }
    return rows;
}

QString paragraph(const QString& text, int indent) {
    QString out;
    for (const QString& line : wrapped(text, kHelpWidth - indent))
        out += QString(indent, u' ') + line + u'\n';
    return out;
}

}  // namespace

QString programHelp(const CliProgram& program) {
    QString text =
        QCoreApplication::translate("quotameter-cli",
                                    "Usage: %1 [--help | --version] <command> [command options]\n")
            .arg(program.name) +
        cliText(program.summary) + QStringLiteral("\n\n") +
        QCoreApplication::translate("quotameter-cli", "Options:\n");
    std::vector<HelpRow> options;
    for (const CliOption& option : program.options)
        options.push_back({optionText(option), cliText(option.description), 2});
    text += table(options) + u'\n' + QCoreApplication::translate("quotameter-cli", "Commands:\n");
    std::vector<HelpRow> rows;
    for (const CliCommand& command : program.commands) {
        if (command.packaging) continue;
        const std::vector<HelpRow> forms = formRows(command, false);
        rows.insert(rows.end(), forms.begin(), forms.end());
    }
    return text + table(rows) + u'\n' +
           QCoreApplication::translate(
               "quotameter-cli",
               "Run \"%1 <command> --help\" for a command's options and examples.\n")
               .arg(program.name);
}

QString commandHelp(const CliProgram& program, const CliCommand& command) {
    QString text = QCoreApplication::translate("quotameter-cli", "Usage of %1 %2:\n")
                       .arg(program.name, command.name) +
                   table(formRows(command, true));
    if (command.description) text += u'\n' + paragraph(cliText(command.description), 0);
    if (command.examples.empty()) return text;
    text += u'\n' + QCoreApplication::translate("quotameter-cli", "Examples:\n");
    for (const CliExample& example : command.examples) {
        text += paragraph(program.name + u' ' + example.arguments, 2);
        if (example.description[0] != '\0') text += paragraph(cliText(example.description), 6);
    }
    return text;
}

}  // namespace qm::cli
