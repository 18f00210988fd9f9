#pragma once

#include <QString>
#include <utility>
#include <vector>

#include "cli/CliCommand.h"

// Completion scripts for bash, zsh and fish, written from a program's command table.
//
// Each script is a small reader of the command line, the same in the three shells, over a
// table made here: it walks the words typed so far to find the command, the sub-command (its
// "key": "-" before a command, "report", "accounts add"), the option waiting for a value and
// the arguments given, then offers what the table lists for that place. What only the user's
// own files know (hosts, account ids) the script asks the program for as it completes.
namespace qm::cli {

// One list of the table, found by its key:
//   "commands"                   the commands, with what each does
//   "subs <command>"             the command's sub-commands
//   "opts <key>"                 the options, with what each does
//   "valued <key>"               those of them that take a value
//   "values <key> <option>"      the fixed values of an option
//   "lookup <key> <option>"      file, host, hostSelection or accountId: what to ask for
//   "arg <key> <n>"              the fixed values of the n-th argument (from 0)
//   "arglookup <key> <n>"        what to ask for the n-th argument
struct CompletionEntry {
    QString key;
    std::vector<std::pair<QString, QString>> words;  // a word, and what it is (may be empty)
};

std::vector<CompletionEntry> completionTable(const CliProgram& program);

// The shells' own names for the program's completion function: "_quotameter_cli".
QString completionFunction(const CliProgram& program);

QString bashCompletion(const CliProgram& program);
QString zshCompletion(const CliProgram& program);
QString fishCompletion(const CliProgram& program);

}  // namespace qm::cli
