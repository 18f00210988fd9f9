#include <QCoreApplication>
#include <algorithm>

#include "cli/CliCommand.h"

namespace qm::cli {

const CliForm* CliCommand::form(const QString& formName) const {
    for (const CliForm& candidate : forms)
        if (candidate.name == formName) return &candidate;
    return nullptr;
}

const CliCommand* CliProgram::command(const QString& commandName) const {
    for (const CliCommand& candidate : commands)
        if (candidate.name == commandName) return &candidate;
    return nullptr;
}

CliArguments::CliArguments(const CliCommand& command, const CliForm& form)
    : command_(&command), form_(&form) {}

CliArguments::~CliArguments() = default;

QString CliArguments::commandText() const {
    return form_->name.isEmpty() ? command_->name : command_->name + u' ' + form_->name;
}

const CliOption& CliArguments::declared(const QString& option) const {
    const auto found = std::find_if(form_->options.begin(), form_->options.end(),
                                    [&](const CliOption& o) { return o.name == option; });
    if (found == form_->options.end())
        qFatal("quotameter-cli %s reads %s, which its table does not declare",
               qPrintable(commandText()), qPrintable(option));
    read_.insert(option);
    return *found;
}

bool CliArguments::isSet(const QString& option) const {
    declared(option);
    return std::any_of(given_.begin(), given_.end(),
                       [&](const auto& given) { return given.first == option; });
}

QString CliArguments::value(const QString& option, const QString& fallback) const {
    const QStringList all = values(option);
    return all.isEmpty() ? fallback : all.last();
}

QStringList CliArguments::values(const QString& option) const {
    declared(option);
    QStringList all;
    for (const auto& [name, value] : given_)
        if (name == option) all.append(value);
    return all;
}

QStringList CliArguments::unread() const {
    QStringList names;
    for (const auto& given : given_)
        if (!read_.contains(given.first) && !names.contains(given.first)) names.append(given.first);
    return names;
}

namespace {

// "a, b or c".
QString alternatives(const QStringList& values) {
    if (values.size() < 2) return values.join(QString());
    return QCoreApplication::translate("quotameter-cli", "%1 or %2")
        .arg(values.mid(0, values.size() - 1).join(QStringLiteral(", ")), values.last());
}

// The form the arguments call for: the one the first argument names, else the command's own.
std::variant<const CliForm*, QString> chosenForm(const CliCommand& command,
                                                 const QStringList& args) {
    if (!args.isEmpty() && !args.first().isEmpty()) {
        if (const CliForm* named = command.form(args.first())) return named;
    }
    if (const CliForm* plain = command.form(QString())) return plain;
    if (args.isEmpty())
        return QCoreApplication::translate("quotameter-cli", "%1 needs a sub-command")
            .arg(command.name);
    if (args.first().startsWith(QLatin1String("--")))
        return QCoreApplication::translate("quotameter-cli", "unknown option for %1: %2")
            .arg(command.name, args.first());
    return QCoreApplication::translate("quotameter-cli", "unknown %1 sub-command: %2")
        .arg(command.name, args.first());
}

}  // namespace

std::variant<CliArguments, QString> CliArguments::parse(const CliCommand& command,
                                                        const QStringList& args) {
    const auto chosen = chosenForm(command, args);
    if (const QString* problem = std::get_if<QString>(&chosen)) return *problem;
    const CliForm& form = *std::get<const CliForm*>(chosen);
    CliArguments parsed(command, form);
    const QStringList rest = form.name.isEmpty() ? args : args.mid(1);
    if (form.unparsed) {
        parsed.positional_ = rest;
        return parsed;
    }
    for (qsizetype i = 0; i < rest.size(); ++i) {
        const QString& arg = rest[i];
        if (!arg.startsWith(QLatin1String("--")) || arg.size() == 2) {
            if (parsed.positional_.size() >= qsizetype(form.arguments.size()))
                return QCoreApplication::translate("quotameter-cli", "unknown argument for %1: %2")
                    .arg(parsed.commandText(), arg);
            parsed.positional_.append(arg);
            continue;
        }
        // "--since 2026-05-01" or "--since=2026-05-01".
        const qsizetype equals = arg.indexOf(u'=');
        const QString name = equals < 0 ? arg : arg.left(equals);
        const auto option = std::find_if(form.options.begin(), form.options.end(),
                                         [&](const CliOption& o) { return o.name == name; });
        if (option == form.options.end())
            return QCoreApplication::translate("quotameter-cli", "unknown option for %1: %2")
                .arg(parsed.commandText(), name);
        if (!option->takesValue()) {
            if (equals >= 0)
                return QCoreApplication::translate("quotameter-cli", "%1 takes no value").arg(name);
            parsed.given_.emplace_back(name, QString());
            continue;
        }
        if (equals < 0 && i + 1 >= rest.size()) return missingValue(name);
        const QString value = equals < 0 ? rest[++i] : arg.mid(equals + 1);
        if (option->onlyValues && !option->values.contains(value))
            return QCoreApplication::translate("quotameter-cli", "%1 takes %2, not %3")
                .arg(name, alternatives(option->values), value);
        parsed.given_.emplace_back(name, value);
    }
    return parsed;
}

}  // namespace qm::cli
