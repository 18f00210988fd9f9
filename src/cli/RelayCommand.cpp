#include <QCoreApplication>
#include <QDateTime>
#include <QTextStream>
#include <memory>

#include "accounts/AccountStore.h"
#include "cli/CliCommand.h"
#include "core/DisplayFormat.h"
#include "core/Pricing.h"
#include "core/QuitOnSignals.h"
#include "history/UsageHistoryStore.h"
#include "relay/GeminiRelayStore.h"
#include "relay/GeminiRelayStoreEnvironment.h"

namespace qm::cli {
namespace {

QString requestLine(const GeminiRelayRequestLog& log) {
    const QString time =
        QDateTime::fromMSecsSinceEpoch(log.finishedAt).toString(QStringLiteral("HH:mm:ss"));
    // What a client sent is escaped: no request may forge a line or steer the terminal.
    using DisplayFormat::printable;
    const QString client = log.userAgent.isEmpty()
                               ? QStringLiteral("-")
                               : printable(log.userAgent.section(QLatin1Char(' '), 0, 0));
    const QString path =
        log.path.isEmpty() ? QStringLiteral("-") : printable(log.method + " " + log.path);
    QString line =
        time + "  " + (log.remoteIp.isEmpty() ? QStringLiteral("-") : log.remoteIp) + " " + client +
        "  " + (log.accountAlias.isEmpty() ? QStringLiteral("-") : printable(log.accountAlias)) +
        "  " + path + "  " + (log.status ? QString::number(log.status) : QStringLiteral("-"));
    if (log.usage && !log.usageSaved) {
        // Not on disk: never shown as metered, so nothing printed here is lost to a kill.
        line += QStringLiteral("  not saved");
    } else if (log.usage) {
        line += "  in " + DisplayFormat::formattedTokens(log.usage->inputTokens) + " out " +
                DisplayFormat::formattedTokens(log.usage->outputTokens);
        // A model without a price costs nothing in the record; the line says so, not "$0".
        const bool priced = PriceBook::find(PriceProvider::gemini, log.usage->model).has_value();
        line += priced ? "  " + DisplayFormat::money(log.usage->costUsd, MoneyPrecision::Millionths)
                       : QStringLiteral("  unpriced");
    } else if (log.unmetered) {
        line += QStringLiteral("  unmetered");
        if (!log.unmeteredReason.isEmpty()) line += QStringLiteral(": ") + log.unmeteredReason;
    }
    return line;
}

// Says on stderr, at once, when metered records cannot be saved: once when saving stops
// working, once when the bound of held records is reached, and once when saving works again;
// the counts in between are the window's business.
void reportSaving(UsageHistoryStore& history, QTextStream& err) {
    auto failing = std::make_shared<bool>(false);
    auto droppedTold = std::make_shared<bool>(false);
    QObject::connect(&history, &UsageHistoryStore::changed, [&history, &err, failing, droppedTold] {
        const std::optional<QString> problem = history.saveProblem();
        const bool dropping = history.droppedRecordCount() > 0;
        if (problem && (!*failing || (dropping && !*droppedTold))) {
            err << "quotameter-cli: Usage could not be saved: " << *problem << Qt::endl;
            *droppedTold = dropping;
        } else if (!problem && *failing) {
            err << "quotameter-cli: usage is saved again" << Qt::endl;
        }
        *failing = problem.has_value();
    });
}

// At a stop: saves what the history holds, and says how many metered records are lost with the
// process (held while nothing could be written, or dropped past the bound of held ones).
// False when any are.
bool reportLost(UsageHistoryStore& history, QTextStream& err) {
    history.flush();
    const std::size_t lost = history.heldRecordCount() + history.droppedRecordCount();
    if (lost == 0) return true;
    err << "quotameter-cli: "
        << QCoreApplication::translate(
               "RelayCommand", "%n metered records could not be saved and are lost", "", int(lost))
        << Qt::endl;
    return false;
}

int runRelay(const CliArguments& args) {
    std::optional<int> port;
    GeminiRelayServerOptions options;
    if (args.isSet(QStringLiteral("--port"))) {
        bool ok = false;
        port = args.value(QStringLiteral("--port")).toInt(&ok);
        if (!ok) return usageError(QStringLiteral("--port takes a number"));
    }
    if (args.isSet(QStringLiteral("--upstream"))) {
        options.upstreamBase = args.value(QStringLiteral("--upstream"));
        if (!isHttpAddress(options.upstreamBase))
            return usageError(QStringLiteral("--upstream takes an http or https address"));
    }
    QTextStream err(stderr);

    const QString directory = dataDirectory();
    AccountStore accounts(AccountConfigStore(AccountConfigStore::pathIn(directory)),
                          KeychainStore::forDataDirectory(directory));
    if (const auto problem = accounts.lastError())
        err << "quotameter-cli: warning: " << *problem << "\n";
    UsageHistoryStore history(UsageHistoryFileStore(UsageHistoryFileStore::pathIn(directory)));
    if (UsageHistoryFileStore::isUnusable(history.loadState())) {
        err << "quotameter-cli: warning: the history file could not be read; it will be kept "
               "aside at the first record\n";
    }

    QTextStream out(stdout);
    GeminiRelayEnvironment environment = relayEnvironment(accounts, history);
    environment.logRequest = [&out](const GeminiRelayRequestLog& log) {
        out << requestLine(log) << Qt::endl;
    };
    auto relay = std::make_unique<GeminiRelayStore>(environment, options);

    // A stop asked for ends cleanly even when an earlier request failed (its error stays in
    // the store's lastError).
    bool stopping = false;
    QuitOnSignals signalWatch;
    QObject::connect(&signalWatch, &QuitOnSignals::received, [&out, &stopping] {
        stopping = true;
        out << "Stopping the relay" << Qt::endl;
    });

    int exitCode = kExitOk;
    bool announced = false;
    reportSaving(history, err);
    QObject::connect(relay.get(), &GeminiRelayStore::changed, relay.get(), [&] {
        if (relay->isRunning() && !announced) {
            announced = true;
            out << "Relay listening on http://127.0.0.1:" << relay->port() << " (upstream "
                << options.upstreamBase << "), " << accounts.data().geminiAccounts.size()
                << " Gemini accounts; Ctrl-C stops it" << Qt::endl;
        } else if (!relay->isRunning() && relay->lastError() && exitCode == kExitOk && !stopping) {
            // A start that failed, or a listener that died: nothing more will be served.
            err << "quotameter-cli: " << *relay->lastError() << Qt::endl;
            exitCode = kExitFailure;
            QCoreApplication::quit();
        }
    });
    // Port 0 lets the system pick one; the listening line names it.
    if (port == 0)
        relay->startOnFreePort();
    else
        relay->start(port);
    // A port out of range is refused at once, and reported above.
    if (exitCode == kExitOk) QCoreApplication::exec();
    stopping = true;
    // The store's destructor waits for requests in flight and hands their records to the
    // history; the history then tries once more to save what it holds.
    relay.reset();
    if (!reportLost(history, err) && exitCode == kExitOk) exitCode = kExitFailure;
    // The history's destructor folds its journal into the file before the program ends.
    return exitCode;
}

const CliCommandRegistration relayCommand(CliCommand{
    .name = QStringLiteral("relay"),
    .forms = {{.summary = QT_TRANSLATE_NOOP(
                   "quotameter-cli",
                   "run the Gemini relay in the foreground, one line per request"),
               .options = {{.name = QStringLiteral("--port"),
                            .valueName = QStringLiteral("N"),
                            .description = QT_TRANSLATE_NOOP(
                                "quotameter-cli",
                                "listen on this port of 127.0.0.1; 0 lets the system pick one")},
                           {.name = QStringLiteral("--upstream"),
                            .valueName = QStringLiteral("URL"),
                            .description = QT_TRANSLATE_NOOP(
                                "quotameter-cli",
                                "pass requests on to this http(s) address instead of "
                                "Google's")}}}},
    .description = QT_TRANSLATE_NOOP(
        "quotameter-cli",
        "The relay meters the tokens and cost of each call it passes on, with the Gemini "
        "accounts' keys, and keeps them in the usage history; Ctrl-C stops it."),
    .run = runRelay,
});

}  // namespace
}  // namespace qm::cli
