#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTextStream>
#include <optional>

#include "accounts/AccountConfigStore.h"
#include "cli/CliCommand.h"
#include "cli/IndexProgress.h"
#include "cli/LimitSources.h"
#include "core/Clock.h"
#include "core/QuitOnSignals.h"
#include "history/UsageHistoryReader.h"
#include "metrics/CounterContinuity.h"
#include "metrics/MetricsHttpServer.h"
#include "metrics/UsageMetrics.h"

// `metrics` prints what the exporter serves; with --listen it serves it to Prometheus.
namespace qm::cli {
namespace {

struct ListenAddress {
    QHostAddress address;
    quint16 port = 0;
};

// "9464", ":9464", "127.0.0.1:9464", "localhost:9464", "[::1]:9464", "0.0.0.0:9464". Without
// a host the exporter stays on loopback.
std::optional<ListenAddress> listenAddress(const QString& text) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QString() : text.left(colon);
    bool ok = false;
    const uint port = QStringView(text).mid(colon + 1).toUInt(&ok);
    if (!ok || port > 65535) return std::nullopt;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    ListenAddress result{QHostAddress(QHostAddress::LocalHost), quint16(port)};
    if (host.isEmpty() || host == QLatin1String("localhost")) return result;
    // Four dotted numbers only: the short forms the C library still reads ("1.2.3" is
    // 1.2.0.3) would listen somewhere the user did not name.
    static const QRegularExpression dottedQuad(QStringLiteral(R"(^\d{1,3}(\.\d{1,3}){3}$)"));
    if (!host.contains(QLatin1Char(':')) && !dottedQuad.match(host).hasMatch()) return std::nullopt;
    if (!result.address.setAddress(host)) return std::nullopt;
    return result;
}

struct Options {
    std::optional<ListenAddress> listen;
    bool accountLabels = false;
};

QString metricsOptions(const CliArguments& args, Options& options) {
    options.accountLabels = args.isSet(QStringLiteral("--account-labels"));
    if (!args.isSet(QStringLiteral("--listen"))) return {};
    const QString value = args.value(QStringLiteral("--listen"));
    options.listen = listenAddress(value);
    if (!options.listen) return QStringLiteral("--listen takes ADDRESS:PORT or PORT, not ") + value;
    return {};
}

// One scrape: the index's usage as just brought up to date, with the history, the limits and
// the account list read afresh. A history that cannot be read gives no history series (a
// long-running exporter keeps serving their last values); it is said on stderr, once each
// time it becomes unreadable.
QByteArray scrape(const ledger::LedgerSnapshot& snapshot, const Options& options,
                  metrics::CounterContinuity* continuity, bool& historyWasUnusable) {
    const TimeMs now = systemNow();
    const QString directory = dataDirectory();
    const UsageHistoryReader history =
        UsageHistoryReader::read(UsageHistoryFileStore::pathIn(directory), now);
    const bool unusable = UsageHistoryFileStore::isUnusable(history.loadState());
    if (unusable && !historyWasUnusable) {
        QTextStream(stderr) << "quotameter-cli: the usage history could not be read: "
                            << history.historyPath() << Qt::endl;
    }
    historyWasUnusable = unusable;
    metrics::UsageMetricsSources sources;
    sources.slices = snapshot.slices();
    sources.limits = claudeLimits(history.claudeSnapshots(), directory, now);
    for (LimitReading& reading : codexLimits(scanCodex(snapshot, now), now))
        sources.limits.push_back(std::move(reading));
    sources.geminiRecords = history.geminiUsageRecords();
    sources.apiRecords = history.apiUsageRecords();
    sources.accounts = AccountConfigStore(AccountConfigStore::pathIn(directory)).load(now).data;
    sources.accountLabels = options.accountLabels;
    sources.now = now;
    metrics::MetricsExposition exposition = metrics::usageMetrics(sources);
    if (continuity) continuity->apply(exposition);
    return exposition.text();
}

// The index brought up to date for one scrape. Another process holding its lock past the wait
// does not fail the scrape: the figures are read without the lock (and still right), and the
// exporter says so once each time the index becomes busy rather than on every scrape.
ledger::LedgerSnapshot scrapedLedger(const ledger::UsageLedger& ledger, bool& indexWasBusy) {
    ledger::LedgerSnapshot snapshot = ledger.update();
    const bool busy = snapshot.stats.busy.has_value();
    if (busy && !indexWasBusy) sayIfBusy(snapshot);
    indexWasBusy = busy;
    return snapshot;
}

int serve(const ledger::UsageLedger& ledger, const Options& options) {
    QTextStream err(stderr);
    metrics::CounterContinuity continuity;
    bool historyWasUnusable = false;
    bool indexWasBusy = false;
    metrics::MetricsHttpServer server([&] {
        return scrape(scrapedLedger(ledger, indexWasBusy), options, &continuity,
                      historyWasUnusable);
    });
    const ListenAddress& at = *options.listen;
    if (const auto problem = server.listen(at.address, at.port)) {
        err << "quotameter-cli: cannot listen on " << at.address.toString() << ":" << at.port
            << ": " << *problem << Qt::endl;
        return kExitFailure;
    }
    const QString host = at.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + at.address.toString() + QLatin1Char(']')
                             : at.address.toString();
    if (!at.address.isLoopback()) {
        err << "quotameter-cli: warning: " << host
            << " is not a loopback address: other machines can read these metrics" << Qt::endl;
    }
    err << "Serving metrics at http://" << host << ":" << server.port() << "/metrics" << Qt::endl;
    QuitOnSignals signalWatch;
    QCoreApplication::exec();
    return kExitOk;
}

int runMetrics(const CliArguments& args) {
    Options options;
    if (const QString error = metricsOptions(args, options); !error.isEmpty())
        return usageError(error);
    if (options.listen) {
        // The first build of the index shows its progress; scrapes then read only what is new.
        updatedLedger();
        const ledger::UsageLedger ledger(ledger::UsageLedger::defaultDirectory(),
                                         ledger::LedgerSources::forHome(QDir::homePath()));
        return serve(ledger, options);
    }
    bool historyWasUnusable = false;
    QTextStream(stdout) << scrape(updatedLedger(), options, nullptr, historyWasUnusable);
    return kExitOk;
}

const CliCommandRegistration metricsCommand(CliCommand{
    .name = QStringLiteral("metrics"),
    .forms = {{.summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                            "usage, limits and costs in Prometheus's text format"),
               .options = {{.name = QStringLiteral("--listen"),
                            .valueName = QStringLiteral("[ADDRESS:]PORT"),
                            .description = QT_TRANSLATE_NOOP(
                                "quotameter-cli",
                                "serve them at /metrics until stopped; on loopback unless "
                                "ADDRESS names another one, such as 0.0.0.0:9464")},
                           {.name = QStringLiteral("--account-labels"),
                            .description = QT_TRANSLATE_NOOP(
                                "quotameter-cli",
                                "label API accounts by alias instead of by number")}}}},
    .examples = {{QStringLiteral("metrics --listen 9464"),
                  QT_TRANSLATE_NOOP("quotameter-cli",
                                    "serve http://127.0.0.1:9464/metrics to Prometheus")}},
    .run = runMetrics,
});

}  // namespace
}  // namespace qm::cli
