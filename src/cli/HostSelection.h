#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "cli/CliCommand.h"

// Which machines a report covers: `--hosts all|local|NAME,...` of report and usage.
namespace qm::cli {

struct HostSelection {
    bool local = true;
    QStringList remotes;  // names from the list in config.json, in its order
};

// Parses the value of --hosts against the configured `known` hosts: "all" is this machine and
// every configured one, "local" this machine, else a comma-separated list of names, "local"
// among them or not. An error text when a name is not configured.
std::optional<HostSelection> parseHostSelection(const QString& value, const QStringList& known,
                                                QString& error);

// The configured hosts of the data folder (a problem with config.json is printed as a warning);
// none is read for `--hosts local`, so a plain report never touches config.json.
QStringList hostsWanted(const QString& selection);

// `--hosts all|local|NAME,...`, as report and usage declare it.
CliOption hostsOption();

// Prints "quotameter-cli: <reason>" on stderr for a machine that gave no usable answer.
void reportHostProblem(const QString& reason);

}  // namespace qm::cli
