#include "cli/HostSelection.h"

#include <QTextStream>

#include "accounts/AccountConfigStore.h"
#include "cli/CliCommand.h"
#include "hosts/RemoteHostList.h"

namespace qm::cli {

std::optional<HostSelection> parseHostSelection(const QString& value, const QStringList& known,
                                                QString& error) {
    if (value == QLatin1String("local")) return HostSelection{true, {}};
    if (value == QLatin1String("all")) return HostSelection{true, known};
    HostSelection selection{false, {}};
    for (const QString& part : value.split(QLatin1Char(','))) {
        const QString name = part.trimmed();
        if (name == QLatin1String("local")) {
            selection.local = true;
        } else if (known.contains(name)) {
            if (!selection.remotes.contains(name)) selection.remotes.append(name);
        } else {
            error = QStringLiteral(
                        "--hosts: %1 is not a configured host (quotameter-cli hosts "
                        "add %1 adds it)")
                        .arg(name);
            return std::nullopt;
        }
    }
    return selection;
}

QStringList hostsWanted(const QString& selection) {
    if (selection == QLatin1String("local")) return {};
    QString problem;
    const QStringList hosts =
        hosts::RemoteHostList(AccountConfigStore::pathIn(dataDirectory())).load(&problem);
    if (!problem.isEmpty()) QTextStream(stderr) << "quotameter-cli: warning: " << problem << "\n";
    return hosts;
}

CliOption hostsOption() {
    return {.name = QStringLiteral("--hosts"),
            .valueName = QStringLiteral("all|local|NAME,..."),
            .description = QT_TRANSLATE_NOOP(
                "quotameter-cli",
                "this machine (local, the default), every machine (all), or those named, "
                "asked through ssh (see hosts); one that cannot answer is named on standard "
                "error and left out"),
            .values = {QStringLiteral("all"), QStringLiteral("local")},
            .lookup = CliLookup::hostSelection};
}

void reportHostProblem(const QString& reason) {
    QTextStream(stderr) << "quotameter-cli: " << reason << "\n";
}

}  // namespace qm::cli
