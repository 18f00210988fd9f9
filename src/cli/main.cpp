#include <QCoreApplication>
#include <QTextStream>
#include <QUrl>
#include <algorithm>
#include <vector>

#include "cli/CliCommand.h"
#include "core/AppPaths.h"

namespace qm::cli {
namespace {

std::vector<CliCommand>& registry() {
    static std::vector<CliCommand> commands;
    return commands;
}

}  // namespace

CliCommandRegistration::CliCommandRegistration(CliCommand command) {
    registry().push_back(std::move(command));
}

int usageError(const QString& message) {
    QTextStream err(stderr);
    if (!message.isEmpty()) err << "quotameter-cli: " << message << "\n";
    err << "usage:\n";
    auto commands = registry();
    std::sort(commands.begin(), commands.end(),
              [](const CliCommand& a, const CliCommand& b) { return a.name < b.name; });
    for (const CliCommand& command : commands) {
        for (const QString& line : command.usage.split(QLatin1Char('\n'))) {
            err << "  quotameter-cli " << line << "\n";
        }
    }
    return kExitUsage;
}

QString dataDirectory() {
    return AppPaths::ensureRoot();
}

bool isHttpAddress(const QString& text) {
    const QUrl url(text);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

}  // namespace qm::cli

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Quotameter"));
    QCoreApplication::setApplicationName(QStringLiteral("Quotameter"));
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) return qm::cli::usageError();
    const QString name = args.takeFirst();
    if (name == QLatin1String("--help") || name == QLatin1String("-h") ||
        name == QLatin1String("help")) {
        qm::cli::usageError();
        return qm::cli::kExitOk;
    }
    for (const auto& command : qm::cli::registry()) {
        if (command.name == name) return command.run(args);
    }
    return qm::cli::usageError(QStringLiteral("unknown command: ") + name);
}
