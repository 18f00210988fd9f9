#include <qcoro/qcorotask.h>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include "cli/CliCommand.h"
#include "core/DisplayFormat.h"
#include "core/Pricing.h"
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
    out << "  cost: " << QString::asprintf("$%.4f", usage.costTotal);
    if (usage.lastFiveHourCost > 0) {
        out << QString::asprintf(", $%.4f in the last 5 hours", usage.lastFiveHourCost);
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

int runUsage(const QStringList& args) {
    bool json = false;
    for (const QString& arg : args) {
        if (arg == QLatin1String("--json")) {
            json = true;
        } else {
            return usageError(QStringLiteral("unknown option for usage: ") + arg);
        }
    }
    (void)dataDirectory();  // created (and an earlier installation's migrated) as the app does
    UsageAggregator aggregator(QDir::homePath());
    const std::vector<ProviderUsage> providers = scan(aggregator);
    const QString title = aggregator.menuBarTitle(std::nullopt);
    QTextStream out(stdout);
    if (json) {
        QJsonArray list;
        QStringList unpriced;
        for (const ProviderUsage& usage : providers) {
            list.append(UsageJson::toJson(usage));
            unpriced += usage.unpricedModels;
        }
        unpriced.sort();
        unpriced.removeDuplicates();
        const QJsonObject root{
            {QStringLiteral("title"), title},
            {QStringLiteral("providers"), list},
            {QStringLiteral("unpricedModels"), QJsonArray::fromStringList(unpriced)}};
        out << QJsonDocument(root).toJson(QJsonDocument::Indented);
        return kExitOk;
    }
    out << title << "\n";
    const TimeMs now = QDateTime::currentMSecsSinceEpoch();
    for (const ProviderUsage& usage : providers) printProvider(out, usage, now);
    return kExitOk;
}

const CliCommandRegistration usageCommand(CliCommand{
    QStringLiteral("usage"),
    QStringLiteral("usage [--json]   local tool usage of the last five hours"), runUsage});

}  // namespace
}  // namespace qm::cli
