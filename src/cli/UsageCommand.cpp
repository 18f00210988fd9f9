#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <cstdio>
#include <memory>

#include "alerts/LimitReadings.h"
#include "cli/CliCommand.h"
#include "cli/HostSelection.h"
#include "cli/IndexProgress.h"
#include "core/Clock.h"
#include "core/DisplayFormat.h"
#include "core/Pricing.h"
#include "hosts/RemoteAnswer.h"
#include "hosts/RemoteHostCache.h"
#include "hosts/RemoteHostRunner.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/UsageAggregator.h"
#include "ledger/UsageReport.h"
#include "readers/UsageJson.h"

namespace qm::cli {
namespace {

// One scan of the user's own tool folders, waited for on this thread's event loop.
std::vector<ProviderUsage> scan(UsageAggregator& aggregator) {
    QCoro::waitFor(aggregator.refresh());
    return aggregator.providers();
}

// Names from the logs or another machine, shown as DisplayFormat::printable writes them.
QString shown(const QString& text) {
    return DisplayFormat::printable(text);
}

// "1 prompt", "1.2k prompts".
QString counted(std::int64_t count, const char* one, const char* many) {
    return DisplayFormat::formattedCount(count) + QLatin1Char(' ') +
           QLatin1String(count == 1 ? one : many);
}

QString orDash(const QString& text) {
    return text.isEmpty() ? QStringLiteral("-") : shown(text);
}

// What useIndexedSummaries() does, keeping the count of the log lines the index skipped, which
// the command then says on stderr. Written from the thread the index is updated on, read once
// the scan is over.
void serveFromIndex(UsageAggregator& aggregator,
                    const std::shared_ptr<std::atomic<std::int64_t>>& skipped) {
    aggregator.setIndexedSummaries(
        [skipped](TimeMs since) -> QCoro::Task<std::optional<std::vector<ProviderUsage>>> {
            auto work = QtConcurrent::run([home = QDir::homePath(), since, skipped] {
                const ledger::LedgerSnapshot snapshot = updatedLedger();
                skipped->store(ledger::skippedLines(snapshot.files));
                return ledger::indexedSummaries(snapshot.files, home, since);
            });
            co_return co_await work;
        });
}

// "5-hour window 12% used, resets 2026-06-01 14:20" in local time; a window whose reset has
// come is the new one: "5-hour window 0% used, reset at 23:51".
QString planWindowText(const QString& name, const PlanWindow& window, TimeMs now) {
    LimitReading reading;
    reading.percent = window.usedPercent;
    reading.resetsAt = window.resetsAt;
    const LimitReading current = currentWindow(reading, now);
    QString text = name + QStringLiteral(" %1% used").arg(current.percent, 0, 'f', 0);
    if (current.freshSince) {
        text += QStringLiteral(", ") + resetPassedText(*current.freshSince, now);
    } else if (current.resetsAt) {
        text += QStringLiteral(", resets ") + QDateTime::fromMSecsSinceEpoch(*current.resetsAt)
                                                  .toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    }
    return text;
}

void printProvider(QTextStream& out, const ProviderUsage& usage, TimeMs now) {
    using DisplayFormat::formattedCount;
    using DisplayFormat::formattedTokens;
    // The activity alone ("Active", "Recent", "Idle"): the level behind it is the app's colour
    // for the card, which says nothing more in words; the JSON keeps it.
    // OpenCode and Qwen Code sign in to many providers, none of which their logs name.
    const bool signInKnown =
        usage.kind != ProviderKind::openCode && usage.kind != ProviderKind::qwenCode;
    out << "\n"
        << usage.providerName << ": " << usage.statusText
        << (usage.isAuthenticated || !signInKnown ? "" : ", not signed in") << "\n";
    out << "  last 5 hours: " << counted(usage.lastFiveHourPrompts, "prompt", "prompts") << ", "
        << formattedTokens(usage.lastFiveHourTokens) << " tokens, "
        << counted(usage.lastFiveHourSessions, "session", "sessions") << "\n";
    out << "  sessions: " << formattedCount(usage.sessionsTotal) << "\n";
    // No price for any model: no cost rather than a $0 that would read as free.
    const bool costUnknown = usage.costTotal <= 0 && !usage.unpricedModels.isEmpty();
    out << "  cost: "
        << (costUnknown ? QStringLiteral("-")
                        : DisplayFormat::money(usage.costTotal, MoneyPrecision::SubCent));
    if (usage.lastFiveHourCost > 0) {
        out << ", " << DisplayFormat::money(usage.lastFiveHourCost, MoneyPrecision::SubCent)
            << " in the last 5 hours";
    }
    if (!usage.unpricedModels.isEmpty()) {
        QStringList names;
        for (const QString& model : usage.unpricedModels) names.append(shown(model));
        out << " (" << UsagePricing::unpricedText(usage.unpricedModels.size()) << ": "
            << names.join(QStringLiteral(", ")) << ")";
    }
    out << "\n";
    // Only Anthropic bills cache writes apart, so only its tools show them.
    if (usage.totalCacheWriteTokens > 0) {
        out << "  cache: " << formattedTokens(usage.totalCachedTokens) << " read, "
            << formattedTokens(usage.totalCacheWriteTokens) << " written\n";
    }
    out << "  latest: " << orDash(usage.latestProject) << ", model " << orDash(usage.latestModel)
        << ", " << DisplayFormat::relativeTime(usage.latestActivityAt, now) << "\n";
    if (!usage.latestTask.isEmpty()) out << "  task: " << shown(usage.latestTask) << "\n";
    if (usage.planLimits) {
        QStringList windows;
        if (usage.planLimits->fiveHour) {
            windows.append(
                planWindowText(QStringLiteral("5-hour window"), *usage.planLimits->fiveHour, now));
        }
        if (usage.planLimits->weekly) {
            windows.append(
                planWindowText(QStringLiteral("weekly"), *usage.planLimits->weekly, now));
        }
        out << "  plan";
        if (!usage.planLimits->planType.isEmpty())
            out << " (" << shown(usage.planLimits->planType) << ")";
        out << ": " << windows.join(QStringLiteral("; ")) << "\n";
    }
    out << "  source: " << usage.dataSourceLabel;
    if (!usage.dataSourceDetail.isEmpty()) out << " (" << shown(usage.dataSourceDetail) << ")";
    out << "\n";
    for (const QString& warning : usage.warnings) out << "  warning: " << shown(warning) << "\n";
}

// Another machine's tool in brief: what its five hours and its cost came to. Its texts are
// shown printable: another machine must not drive this terminal.
void printRemoteProvider(QTextStream& out, const QJsonObject& usage) {
    using DisplayFormat::formattedCount;
    using DisplayFormat::formattedTokens;
    const auto count = [&](const char* key) { return usage[QLatin1String(key)].toInteger(); };
    const auto text = [&](const char* key) { return shown(usage[QLatin1String(key)].toString()); };
    out << "\n"
        << text("host") << ": " << text("providerName") << ": " << text("statusText") << "\n";
    out << "  last 5 hours: " << counted(count("lastFiveHourPrompts"), "prompt", "prompts") << ", "
        << formattedTokens(count("lastFiveHourTokens")) << " tokens, "
        << counted(count("lastFiveHourSessions"), "session", "sessions") << "\n";
    out << "  cost: "
        << DisplayFormat::money(usage[QLatin1String("costTotal")].toDouble(),
                                MoneyPrecision::SubCent)
        << "\n";
}

// The tools of the other machines, each object naming its host; a machine that gives no
// usable answer is named on stderr and left out. `answered` tells whether any did.
std::vector<QJsonObject> remoteUsage(const QStringList& remotes, bool& answered) {
    const QStringList command{QStringLiteral("usage"), QStringLiteral("--json")};
    const hosts::RemoteHostCache cache(hosts::RemoteHostCache::defaultDirectory());
    std::vector<QJsonObject> all;
    answered = false;
    for (const hosts::HostAnswer& answer : hosts::RemoteHostRunner::runAll(remotes, command)) {
        if (!answer.output) {
            reportHostProblem(answer.reason);
            continue;
        }
        auto parsed = hosts::parseRemoteUsage(*answer.output, answer.host);
        if (const QString* problem = std::get_if<QString>(&parsed)) {
            reportHostProblem(answer.host + QStringLiteral(": ") + *problem);
            continue;
        }
        for (QJsonObject& provider : std::get<std::vector<QJsonObject>>(parsed))
            all.push_back(std::move(provider));
        cache.store(answer.host, command, *answer.output, systemNow());
        answered = true;
    }
    return all;
}

void printJson(QTextStream& out, const QString& title, const std::vector<ProviderUsage>& providers,
               const std::vector<QJsonObject>& remote) {
    QJsonArray list;
    QStringList unpriced;
    for (const ProviderUsage& usage : providers) {
        QJsonObject object = UsageJson::toJson(usage);
        object.insert(QStringLiteral("host"), QStringLiteral("local"));
        list.append(object);
        unpriced += usage.unpricedModels;
    }
    for (const QJsonObject& usage : remote) {
        list.append(usage);
        const QJsonArray models = usage[QLatin1String("unpricedModels")].toArray();
        for (const auto& model : models) unpriced += model.toString();
    }
    unpriced.sort();
    unpriced.removeDuplicates();
    const QJsonObject root{
        {QStringLiteral("title"), title},
        {QStringLiteral("providers"), list},
        {QStringLiteral("unpricedModels"), QJsonArray::fromStringList(unpriced)}};
    out << QJsonDocument(root).toJson(QJsonDocument::Indented);
}

int runUsage(const CliArguments& args) {
    const bool json = args.isSet(QStringLiteral("--json"));
    const QString hostsValue = args.value(QStringLiteral("--hosts"), QStringLiteral("local"));
    (void)dataDirectory();  // created (and an earlier installation's migrated) as the app does
    QString hostsError;
    const std::optional<HostSelection> selection =
        parseHostSelection(hostsValue, hostsWanted(hostsValue), hostsError);
    if (!selection) return usageError(hostsError);
    UsageAggregator aggregator(QDir::homePath());
    const auto skipped = std::make_shared<std::atomic<std::int64_t>>(0);
    serveFromIndex(aggregator, skipped);
    const std::vector<ProviderUsage> providers =
        selection->local ? listedSummaries(scan(aggregator)) : std::vector<ProviderUsage>();
    if (skipped->load() > 0)
        std::fprintf(stderr, "%s\n", qPrintable(ledger::skippedLinesText(skipped->load())));
    const QString title = selection->local ? aggregator.menuBarTitle(std::nullopt) : QString();
    bool answered = false;
    const std::vector<QJsonObject> remote = remoteUsage(selection->remotes, answered);
    if (!selection->local && !answered) return kExitFailure;
    QTextStream out(stdout);
    if (json) {
        printJson(out, title, providers, remote);
        return kExitOk;
    }
    if (selection->local) out << title << "\n";
    const TimeMs now = systemNow();
    for (const ProviderUsage& usage : providers) printProvider(out, usage, now);
    for (const QJsonObject& usage : remote) printRemoteProvider(out, usage);
    return kExitOk;
}

const CliCommandRegistration usageCommand(CliCommand{
    .name = QStringLiteral("usage"),
    .forms = {{.summary = QT_TRANSLATE_NOOP(
                   "quotameter-cli",
                   "each tool's usage of the last five hours: prompts, tokens, sessions, cost, "
                   "the latest project and model"),
               .options = {{.name = QStringLiteral("--json"),
                            .description = QT_TRANSLATE_NOOP("quotameter-cli",
                                                             "one JSON document")},
                           hostsOption()}}},
    .examples = {{QStringLiteral("usage --hosts local,devbox"), ""}},
    .run = runUsage,
});

}  // namespace
}  // namespace qm::cli
