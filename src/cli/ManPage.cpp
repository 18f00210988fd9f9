#include "cli/ManPage.h"

#include <QCoreApplication>

#include "cli/CliHelp.h"

namespace qm::cli {
namespace {

// Text as roff prints it: backslashes and hyphens escaped (a hyphen is an ASCII minus that
// can be copied into a terminal), anything beyond ASCII by its code point, and a line that
// would start with a control character guarded.
QString roff(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c == u'\\') {
            out += QStringLiteral("\\e");
        } else if (c == u'-') {
            out += QStringLiteral("\\-");
        } else if (c.unicode() > 0x7e || (c.unicode() < 0x20 && c != u'\n')) {
            out += QStringLiteral("\\[u%1]").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
        } else {
            out += c;
        }
    }
    QStringList lines = out.split(u'\n');
    for (QString& line : lines) {
        if (line.startsWith(u'.') || line.startsWith(u'\'')) line.prepend(QStringLiteral("\\&"));
    }
    return lines.join(u'\n');
}

QString bold(const QString& text) {
    return QStringLiteral("\\fB") + roff(text) + QStringLiteral("\\fR");
}

QString italic(const QString& text) {
    return QStringLiteral("\\fI") + roff(text) + QStringLiteral("\\fR");
}

QString manualText(const char* text) {
    return QCoreApplication::translate("manual", text);
}

// "[--since YYYY-MM-DD]" with the option in bold and the value's name in italics.
QString itemRoff(const SynopsisItem& item) {
    QString text = item.literal ? bold(item.word) : italic(item.word);
    if (!item.value.isEmpty()) text += u' ' + italic(item.value);
    if (item.optional) text = u'[' + text + u']';
    if (item.repeatable) text += QStringLiteral("...");
    return text;
}

QString optionRoff(const CliOption& option) {
    QString text = bold(option.name);
    if (!option.shortName.isEmpty()) text = bold(option.shortName) + QStringLiteral(", ") + text;
    if (option.takesValue()) text += u' ' + italic(option.valueName);
    return text;
}

// Unhyphenated and ragged right: names and paths stay whole, as they are typed.
QString header(const CliProgram& program, const QString& version) {
    QString summary = cliText(program.summary);
    if (summary.endsWith(u'.')) summary.chop(1);
    if (!summary.isEmpty()) summary[0] = summary[0].toLower();
    return QStringLiteral(
               ".\\\" Written by `quotameter-cli manpage`; edit the command table, not this.\n"
               ".TH %1 1 \"\" \"Quotameter %2\" \"User Commands\"\n"
               ".nh\n.ad l\n"
               ".SH NAME\n%3 \\- %4\n")
        .arg(roff(program.name.toUpper()), roff(version), roff(program.name), roff(summary));
}

QString synopsisSection(const CliProgram& program) {
    QString text = QStringLiteral(".SH SYNOPSIS\n") + bold(program.name);
    for (const CliOption& option : program.options) {
        text += QStringLiteral(" [") +
                (option.shortName.isEmpty() ? QString() : bold(option.shortName) + u'|') +
                bold(option.name) +
                (option.takesValue() ? u' ' + italic(option.valueName) : QString()) + u']';
    }
    text += u'\n';
    if (!program.commands.empty()) {
        text += QStringLiteral(".br\n") + bold(program.name) + u' ' +
                italic(QStringLiteral("command")) + QStringLiteral(" [") +
                italic(QStringLiteral("arguments")) + QStringLiteral("]\n");
    }
    return text;
}

QString entriesSection(const QString& title, const std::vector<ManualEntry>& entries, bool isPath) {
    if (entries.empty()) return {};
    QString text = QStringLiteral(".SH ") + title + u'\n';
    for (const ManualEntry& entry : entries) {
        text += QStringLiteral(".TP\n") + (isPath ? italic(entry.term) : bold(entry.term)) + u'\n' +
                roff(manualText(entry.text)) + u'\n';
    }
    return text;
}

QString formRoff(const CliCommand& command, const CliForm& form) {
    QStringList items;
    for (const SynopsisItem& item : synopsis(command, form)) items.append(itemRoff(item));
    QString text =
        QStringLiteral(".TP\n") + items.join(u' ') + u'\n' + roff(cliText(form.summary)) + u'\n';
    if (form.arguments.empty() && form.options.empty()) return text;
    text += QStringLiteral(".RS\n");
    for (const CliArgument& argument : form.arguments) {
        if (argument.description[0] == '\0') continue;
        text += QStringLiteral(".TP\n") + italic(argument.name) + u'\n' +
                roff(cliText(argument.description)) + u'\n';
    }
    for (const CliOption& option : form.options) {
        text += QStringLiteral(".TP\n") + optionRoff(option) + u'\n' +
                roff(cliText(option.description)) + u'\n';
    }
    return text + QStringLiteral(".RE\n");
}

QString commandsSection(const CliProgram& program) {
    if (program.commands.empty()) return {};
    QString text = QStringLiteral(".SH COMMANDS\n");
    for (const CliCommand& command : program.commands) {
        text += QStringLiteral(".SS ") + roff(command.name) + u'\n';
        if (command.description) text += roff(cliText(command.description)) + u'\n';
        for (const CliForm& form : command.forms) text += formRoff(command, form);
    }
    return text;
}

QString examplesSection(const CliProgram& program, const ManualSections& sections) {
    std::vector<CliExample> examples = sections.examples;
    for (const CliCommand& command : program.commands)
        examples.insert(examples.end(), command.examples.begin(), command.examples.end());
    if (examples.empty()) return {};
    QString text = QStringLiteral(".SH EXAMPLES\n");
    for (const CliExample& example : examples) {
        text += QStringLiteral(".TP\n") + bold(program.name + u' ' + example.arguments) + u'\n';
        text += example.description[0] == '\0' ? QStringLiteral(".br\n")
                                               : roff(cliText(example.description)) + u'\n';
    }
    return text;
}

}  // namespace

QString manPage(const CliProgram& program, const ManualSections& sections, const QString& version) {
    QString page =
        header(program, version) + synopsisSection(program) + QStringLiteral(".SH DESCRIPTION\n");
    for (std::size_t i = 0; i < sections.description.size(); ++i)
        page += (i ? QStringLiteral(".PP\n") : QString()) +
                roff(manualText(sections.description[i])) + u'\n';
    page += QStringLiteral(".SH OPTIONS\n");
    for (const CliOption& option : program.options) {
        page += QStringLiteral(".TP\n") + optionRoff(option) + u'\n' +
                roff(cliText(option.description)) + u'\n';
    }
    page += commandsSection(program) +
            entriesSection(QStringLiteral("FILES"), sections.files, true) +
            entriesSection(QStringLiteral("ENVIRONMENT"), sections.environment, false) +
            entriesSection(QStringLiteral("\"EXIT STATUS\""), sections.exitStatus, false) +
            examplesSection(program, sections);
    if (!sections.seeAlso.isEmpty()) {
        QStringList pages;
        for (const QString& name : sections.seeAlso) {
            const qsizetype paren = name.indexOf(u'(');
            pages.append(bold(name.left(paren)) + roff(name.mid(paren)));
        }
        page += QStringLiteral(".SH \"SEE ALSO\"\n") + pages.join(QStringLiteral(",\n")) + u'\n';
    }
    return page;
}

}  // namespace qm::cli
