#include <QTextStream>

#include "accounts/AccountConfigStore.h"
#include "cli/CliCommand.h"
#include "hosts/RemoteHostList.h"

namespace qm::cli {
namespace {

hosts::RemoteHostList hostList() {
    return hosts::RemoteHostList(AccountConfigStore::pathIn(dataDirectory()));
}

int runHosts(const QStringList& args) {
    if (args.isEmpty()) return usageError(QStringLiteral("hosts needs a sub-command"));
    const QString& sub = args[0];
    if (sub == QLatin1String("list")) {
        if (args.size() > 1)
            return usageError(QStringLiteral("unknown option for hosts list: ") + args[1]);
        QString problem;
        const QStringList hosts = hostList().load(&problem);
        if (!problem.isEmpty()) return failure(problem);
        QTextStream out(stdout);
        if (hosts.isEmpty()) out << "No remote hosts (quotameter-cli hosts add NAME adds one)\n";
        for (const QString& host : hosts) out << host << "\n";
        return kExitOk;
    }
    if (sub != QLatin1String("add") && sub != QLatin1String("remove"))
        return usageError(QStringLiteral("unknown hosts sub-command: ") + sub);
    if (args.size() != 2)
        return usageError(QStringLiteral("hosts ") + sub + QStringLiteral(" takes one host name"));
    const QString& name = args[1];
    const QString error =
        sub == QLatin1String("add") ? hostList().add(name) : hostList().remove(name);
    if (!error.isEmpty()) return failure(error);
    QTextStream(stdout) << (sub == QLatin1String("add") ? "Added " : "Removed ") << name << "\n";
    return kExitOk;
}

const CliCommandRegistration hostsCommand(CliCommand{
    QStringLiteral("hosts"),
    QStringLiteral(
        "hosts list                  the other machines that report and usage --hosts ask\n"
        "hosts add NAME              add a machine as ssh names it (devbox, user@workstation);\n"
        "    it needs quotameter-cli installed and ssh login without a password\n"
        "hosts remove NAME           remove a machine from the list"),
    runHosts});

}  // namespace
}  // namespace qm::cli
