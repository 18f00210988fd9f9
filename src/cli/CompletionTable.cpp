#include <QRegularExpression>

#include "cli/ShellCompletion.h"

namespace qm::cli {
namespace {

using Words = std::vector<std::pair<QString, QString>>;

QString lookupName(CliLookup lookup) {
    switch (lookup) {
        case CliLookup::none:
            return {};
        case CliLookup::file:
            return QStringLiteral("file");
        case CliLookup::host:
            return QStringLiteral("host");
        case CliLookup::hostSelection:
            return QStringLiteral("hostSelection");
        case CliLookup::accountId:
            return QStringLiteral("accountId");
    }
    return {};
}

Words plain(const QStringList& values) {
    Words words;
    for (const QString& value : values) words.emplace_back(value, QString());
    return words;
}

// What a command is, in a list of commands: its own form's summary, or its sub-commands.
QString commandSummary(const CliCommand& command) {
    if (const CliForm* own = command.form(QString())) return cliText(own->summary);
    QStringList names;
    for (const CliForm& form : command.forms) names.append(form.name);
    return names.join(QStringLiteral(", "));
}

void addOptions(std::vector<CompletionEntry>& table, const QString& key,
                const std::vector<CliOption>& options) {
    Words described;
    QStringList valued;
    for (const CliOption& option : options) {
        if (!option.shortName.isEmpty())
            described.emplace_back(option.shortName, cliText(option.description));
        described.emplace_back(option.name, cliText(option.description));
        if (!option.takesValue()) continue;
        valued.append(option.name);
        const QString where = key + u' ' + option.name;
        if (!option.values.isEmpty())
            table.push_back({QStringLiteral("values ") + where, plain(option.values)});
        if (option.lookup != CliLookup::none)
            table.push_back(
                {QStringLiteral("lookup ") + where, plain({lookupName(option.lookup)})});
    }
    table.push_back({QStringLiteral("opts ") + key, described});
    if (!valued.isEmpty()) table.push_back({QStringLiteral("valued ") + key, plain(valued)});
}

void addForm(std::vector<CompletionEntry>& table, const QString& key, const CliForm& form) {
    std::vector<CliOption> options = form.options;
    options.push_back(
        {.name = QStringLiteral("--help"),
         .description = QT_TRANSLATE_NOOP("quotameter-cli", "Show this command's help and exit.")});
    addOptions(table, key, options);
    for (std::size_t i = 0; i < form.arguments.size(); ++i) {
        const CliArgument& argument = form.arguments[i];
        const QString where = key + u' ' + QString::number(i);
        if (!argument.values.isEmpty())
            table.push_back({QStringLiteral("arg ") + where, plain(argument.values)});
        if (argument.lookup != CliLookup::none)
            table.push_back(
                {QStringLiteral("arglookup ") + where, plain({lookupName(argument.lookup)})});
    }
}

// Every word of the table goes into the scripts between single quotes or as it stands; one
// that could be read as shell syntax would be a fault of the table, and is refused loudly.
void checkWords(const std::vector<CompletionEntry>& table) {
    static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9_.,@/+=-]+$"));
    for (const CompletionEntry& entry : table) {
        for (const auto& word : entry.words) {
            if (!safe.match(word.first).hasMatch())
                qFatal("completion word %s of %s is not a plain word", qPrintable(word.first),
                       qPrintable(entry.key));
        }
    }
}

}  // namespace

QString completionFunction(const CliProgram& program) {
    QString name = program.name;
    return u'_' + name.replace(u'-', u'_');
}

std::vector<CompletionEntry> completionTable(const CliProgram& program) {
    std::vector<CompletionEntry> table;
    Words commands;
    for (const CliCommand& command : program.commands) {
        if (command.packaging) continue;
        commands.emplace_back(command.name, commandSummary(command));
        Words subs;
        for (const CliForm& form : command.forms) {
            if (form.name.isEmpty()) {
                addForm(table, command.name, form);
            } else {
                subs.emplace_back(form.name, cliText(form.summary));
                addForm(table, command.name + u' ' + form.name, form);
            }
        }
        if (!command.form(QString())) addForm(table, command.name, CliForm{});
        if (!subs.empty()) table.push_back({QStringLiteral("subs ") + command.name, subs});
    }
    if (!commands.empty()) table.push_back({QStringLiteral("commands"), commands});
    addOptions(table, QStringLiteral("-"), program.options);
    checkWords(table);
    return table;
}

}  // namespace qm::cli
