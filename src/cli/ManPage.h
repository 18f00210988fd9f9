#pragma once

#include <QString>
#include <QStringList>
#include <utility>
#include <vector>

#include "cli/CliCommand.h"

// The manual pages quotameter(1) and quotameter-cli(1): the options and commands come from
// the program's command table, the rest from the sections written for each program here.
namespace qm::cli {

// Texts are QT_TRANSLATE_NOOP("manual", ...); paths, variables and statuses are not texts.
struct ManualEntry {
    QString term{};  // "~/.cache/Quotameter/usage-index.bin", "CODEX_HOME", "2"
    const char* text = "";
};

struct ManualSections {
    std::vector<const char*> description{};  // paragraphs
    std::vector<ManualEntry> files{};
    std::vector<ManualEntry> environment{};
    std::vector<ManualEntry> exitStatus{};
    std::vector<CliExample> examples{};  // besides those of the commands
    QStringList seeAlso{};               // "quotameter-cli(1)"
};

ManualSections cliManual();
ManualSections appManual();

// The page in roff for man(7); `version` goes into its header.
QString manPage(const CliProgram& program, const ManualSections& sections, const QString& version);

}  // namespace qm::cli
