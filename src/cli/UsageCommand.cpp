#include <qcoro/qcorotask.h>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include "cli/CliCommand.h"
#include "cli/HostSelection.h"
#include "cli/IndexProgress.h"
#include "core/Clock.h"
#include "core/DisplayFormat.h"
#include "core/Pricing.h"
#include "hosts/RemoteAnswer.h"
#include "hosts/RemoteHostCache.h"
#include "hosts/RemoteHostRunner.h"
#include "readers/UsageAggregator.h"
#include "readers/UsageJson.h"

namespace qm::cli {
namespace {

// One scan of the user's own tool folders, waited for on this thread's event loop.
std::vector<ProviderUsage> scan(UsageAggregator& aggregator) {
    QCoro::waitFor(aggregator.refresh());
    return aggregator.providers();
}

QString orDash(const QString& text) {
    return text.isEmpty() ? QStringLiteral("-") : text;
}

// "5-hour window 12% used, resets 2026-06-01 14:20" in local time.
QString planWindowText(const QString& name, const PlanWindow& window) {
    QString text = name + QStringLiteral(" %1% used").arg(window.usedPercent, 0, 'f', 0);
    if (window.resetsAt) {
        text += QStringLiteral(", resets ") + QDateTime::fromMSecsSinceEpoch(*window.resetsAt)
                                                  .toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    }
    return text;
}

void printProvider(QTextStream& out, const ProviderUsage& usage, TimeMs now) {
    using DisplayFormat::formattedCount;
    using DisplayFormat::formattedTokens;
    out << "\n"
        << usage.providerName << ": " << usage.statusText << " (" << rawValue(usage.statusLevel)
        << ")" << (usage.isAuthenticated ? "" : ", not signed in") << "\n";
    out << "  last 5 hours: " << formattedCount(usage.lastFiveHourPrompts) << " prompts, "
        << formattedTokens(usage.lastFiveHourTokens) << " tokens, "
        << formattedCount(usage.lastFiveHourSessions) << " sessions\n";
    out << "  sessions: " << formattedCount(usage.sessionsTotal) << "\n";
    out << "  cost: " << DisplayFormat::money(usage.costTotal, MoneyPrecision::SubCent);
    if (usage.lastFiveHourCost > 0) {
        out << ", " << DisplayFormat::money(usage.lastFiveHourCost, MoneyPrecision::SubCent)
            << " in the last 5 hours";
    }
    if (!usage.unpricedModels.isEmpty()) {
        out << " (" << UsagePricing::unpricedText(usage.unpricedModels.size()) << ": "
            << usage.unpricedModels.join(QStringLiteral(", ")) << ")";
    }
    out << "\n";
    // Only Anthropic bills cache writes apart, so only its tools show them.
    if (usage.totalCacheWriteTokens > 0) {
        out << "  cache: " << formattedTokens(usage.totalCachedTokens) << " read, "
            << formattedTokens(usage.totalCacheWriteTokens) << " written\n";
    }
    out << "  latest: " << orDash(usage.latestProject) << ", model " << orDash(usage.latestModel)
        << ", " << DisplayFormat::relativeTime(usage.latestActivityAt, now) << "\n";
    if (!usage.latestTask.isEmpty()) out << "  task: " << usage.latestTask << "\n";
    if (usage.planLimits) {
        QStringList windows;
        if (usage.planLimits->fiveHour) {
            windows.append(
                planWindowText(QStringLiteral("5-hour window"), *usage.planLimits->fiveHour));
        }
        if (usage.planLimits->weekly) {
            windows.append(planWindowText(QStringLiteral("weekly"), *usage.planLimits->weekly));
        }
        out << "  plan";
        if (!usage.planLimits->planType.isEmpty()) out << " (" << usage.planLimits->planType << ")";
        out << ": " << windows.join(QStringLiteral("; ")) << "\n";
    }
    out << "  source: " << usage.dataSourceLabel;
    if (!usage.dataSourceDetail.isEmpty()) out << " (" << usage.dataSourceDetail << ")";
    out << "\n";
    for (const QString& warning : usage.warnings) out << "  warning: " << warning << "\n";
}

// Another machine's tool in brief: what its five hours and its cost came to. Its texts lose
// their control characters: another machine must not drive this terminal.
void printRemoteProvider(QTextStream& out, const QJsonObject& usage) {
    using DisplayFormat::formattedCount;
    using DisplayFormat::formattedTokens;
    const auto count = [&](const char* key) { return usage[QLatin1String(key)].toInteger(); };
    const auto text = [&](const char* key) {
        QString value = usage[QLatin1String(key)].toString();
        for (QChar& c : value)
            if (c.category() == QChar::Other_Control) c = QLatin1Char(' ');
        return value;
    };
    out << "\n"
        << text("host") << ": " << text("providerName") << ": " << text("statusText") << "\n";
    out << "  last 5 hours: " << formattedCount(count("lastFiveHourPrompts")) << " prompts, "
        << formattedTokens(count("lastFiveHourTokens")) << " tokens, "
        << formattedCount(count("lastFiveHourSessions")) << " sessions\n";
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

int runUsage(const QStringList& args) {
    bool json = false;
    QString hostsValue = QStringLiteral("local");
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--json")) {
            json = true;
        } else if (args[i] == QLatin1String("--hosts") && i + 1 < args.size()) {
            hostsValue = args[++i];
        } else {
            return usageError(QStringLiteral("unknown option for usage: ") + args[i]);
        }
    }
    (void)dataDirectory();  // created (and an earlier installation's migrated) as the app does
    QString hostsError;
    const std::optional<HostSelection> selection =
        parseHostSelection(hostsValue, hostsWanted(hostsValue), hostsError);
    if (!selection) return usageError(hostsError);
    UsageAggregator aggregator(QDir::homePath());
    useIndexedSummaries(aggregator);
    const std::vector<ProviderUsage> providers =
        selection->local ? scan(aggregator) : std::vector<ProviderUsage>();
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
    QStringLiteral("usage"),
    QStringLiteral("usage [--json] [--hosts all|local|NAME,...]   tool usage of the last five\n"
                   "    hours on this machine (the default) and others through ssh (see hosts)"),
    runUsage});

}  // namespace
}  // namespace qm::cli
