#include "cli/CliCommand.h"

// What quotameter, the tray program, takes on its command line, for its completions and manual
// page. Its own parser is in src/app/main.cpp, which this library may not link; the command-line
// tests compare this table with what that program answers, so the two cannot part.
namespace qm::cli {

const CliProgram& appProgram() {
    static const CliProgram program{
        .name = QStringLiteral("quotameter"),
        .summary = QT_TRANSLATE_NOOP(
            "quotameter-cli",
            "Usage and cost of AI coding tools and subscriptions, in the system tray."),
        .options =
            {
                {.name = QStringLiteral("--help"),
                 .description = QT_TRANSLATE_NOOP("quotameter-cli", "Show this help and exit."),
                 .shortName = QStringLiteral("-h")},
                {.name = QStringLiteral("--version"),
                 .description = QT_TRANSLATE_NOOP("quotameter-cli", "Show the version and exit."),
                 .shortName = QStringLiteral("-v")},
                {.name = QStringLiteral("--open"),
                 .valueName = QStringLiteral("ID"),
                 .description = QT_TRANSLATE_NOOP(
                     "quotameter-cli",
                     "Open a window at start, or in the instance already running: dashboard, "
                     "claude-login, accounts, relay or trends."),
                 .values = {QStringLiteral("dashboard"), QStringLiteral("claude-login"),
                            QStringLiteral("accounts"), QStringLiteral("relay"),
                            QStringLiteral("trends")},
                 .onlyValues = true},
            },
    };
    return program;
}

}  // namespace qm::cli
