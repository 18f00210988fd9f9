#include <QTextStream>

#include "accounts/AccountConfigStore.h"
#include "cli/CliCommand.h"
#include "hosts/RemoteHostList.h"

namespace qm::cli {
namespace {

hosts::RemoteHostList hostList() {
    return hosts::RemoteHostList(AccountConfigStore::pathIn(dataDirectory()));
}

int runHosts(const CliArguments& args) {
    const QString& form = args.form().name;
    if (form == QLatin1String("list")) {
        QString problem;
        const QStringList hosts = hostList().load(&problem);
        if (!problem.isEmpty()) return failure(problem);
        QTextStream out(stdout);
        if (hosts.isEmpty()) out << "No remote hosts (quotameter-cli hosts add NAME adds one)\n";
        for (const QString& host : hosts) out << host << "\n";
        return kExitOk;
    }
    if (args.positional().size() != 1)
        return usageError(QStringLiteral("hosts ") + form + QStringLiteral(" takes one host name"));
    const QString& name = args.positional().first();
    const QString error =
        form == QLatin1String("add") ? hostList().add(name) : hostList().remove(name);
    if (!error.isEmpty()) return failure(error);
    QTextStream(stdout) << (form == QLatin1String("add") ? "Added " : "Removed ") << name << "\n";
    return kExitOk;
}

const CliCommandRegistration hostsCommand(CliCommand{
    .name = QStringLiteral("hosts"),
    .forms =
        {
            {.name = QStringLiteral("list"),
             .summary = QT_TRANSLATE_NOOP(
                 "quotameter-cli",
                 "the other machines that report --hosts and usage --hosts ask, one a line")},
            {.name = QStringLiteral("add"),
             .summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                          "add a machine as ssh names it (devbox, "
                                          "user@workstation)"),
             .arguments = {{.name = QStringLiteral("NAME")}}},
            {.name = QStringLiteral("remove"),
             .summary = QT_TRANSLATE_NOOP("quotameter-cli", "remove a machine from the list"),
             .arguments = {{.name = QStringLiteral("NAME"), .lookup = CliLookup::host}}},
        },
    .description = QT_TRANSLATE_NOOP(
        "quotameter-cli",
        "A machine needs quotameter-cli installed and an ssh login without a password (a key "
        "in your agent); the program runs \"ssh -o BatchMode=yes NAME quotameter-cli ...\" "
        "there. The list is \"remoteHosts\" in config.json."),
    .examples = {{QStringLiteral("hosts add user@workstation"), ""},
                 {QStringLiteral("report monthly --hosts all --by host"),
                  QT_TRANSLATE_NOOP("quotameter-cli", "this machine and every other, a row each")}},
    .run = runHosts,
});

}  // namespace
}  // namespace qm::cli
