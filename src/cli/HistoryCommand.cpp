#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimeZone>
#include <map>

#include "cli/CliCommand.h"
#include "core/Clock.h"
#include "core/DisplayFormat.h"
#include "history/UsageHistoryReader.h"
#include "history/UsageTrends.h"

namespace qm::cli {
namespace {

QString dayText(std::int64_t dayMs, const QTimeZone& zone) {
    return QDateTime::fromMSecsSinceEpoch(dayMs, zone).toString(QStringLiteral("yyyy-MM-dd"));
}

// The day rows of the API chart: one entry per provider and the day's total.
struct ApiDay {
    std::vector<UsageTrends::ApiDailyCost> providers;
    double totalUsd = 0;
};

std::map<std::int64_t, ApiDay> apiDays(const std::vector<ApiUsageRecord>& records,
                                       const QTimeZone& zone) {
    std::map<std::int64_t, ApiDay> days;
    for (const auto& cost : UsageTrends::apiDailyCosts(records, zone))
        days[cost.day].providers.push_back(cost);
    for (const auto& total : UsageTrends::apiDailyTotalCosts(records, zone))
        days[total.day].totalUsd = total.costUsd;
    return days;
}

QJsonObject historyJson(const UsageHistoryReader& store, const QTimeZone& zone) {
    QJsonArray claude;
    for (const auto& point : UsageTrends::claudeTrendPoints(store.claudeSnapshots())) {
        claude.append(QJsonObject{{"timestampMs", double(point.snapshot.timestampMs)},
                                  {"metric", point.metric},
                                  {"value", point.value}});
    }
    QJsonArray geminiDaily;
    for (const auto& cost : UsageTrends::geminiDailyCosts(store.geminiUsageRecords(), zone))
        geminiDaily.append(
            QJsonObject{{"day", dayText(cost.day, zone)}, {"costUsd", cost.costUsd}});
    QJsonArray apiDaily;
    for (const auto& [day, row] : apiDays(store.apiUsageRecords(), zone)) {
        QJsonObject providers;
        for (const auto& cost : row.providers) providers.insert(cost.provider, cost.costUsd);
        apiDaily.append(QJsonObject{
            {"day", dayText(day, zone)}, {"providers", providers}, {"totalUsd", row.totalUsd}});
    }
    QJsonObject metrics;
    for (const auto& metric : UsageTrends::apiSummaryMetrics(store.apiUsageRecords()))
        metrics.insert(metric.label, metric.value);
    const double geminiTotal = UsageTrends::geminiTotalCost(store.geminiUsageRecords());
    const double apiTotal = UsageTrends::apiTotalCost(store.apiUsageRecords());
    return QJsonObject{
        {"historyPath", store.historyPath()},
        {"claude",
         QJsonObject{{"snapshots", double(store.claudeSnapshots().size())}, {"points", claude}}},
        {"gemini", QJsonObject{{"records", double(store.geminiUsageRecords().size())},
                               {"totalUsd", geminiTotal},
                               {"totalText", UsageTrends::totalText(geminiTotal)},
                               {"daily", geminiDaily}}},
        {"api", QJsonObject{{"records", double(store.apiUsageRecords().size())},
                            {"totalUsd", apiTotal},
                            {"totalText", UsageTrends::totalText(apiTotal)},
                            {"metrics", metrics},
                            {"daily", apiDaily}}},
    };
}

void printHistory(QTextStream& out, const UsageHistoryReader& store, const QTimeZone& zone) {
    out << "History: " << store.historyPath() << "\n";

    const auto& snapshots = store.claudeSnapshots();
    out << "\nClaude: " << DisplayFormat::formattedCount(std::int64_t(snapshots.size()))
        << " snapshots\n";
    if (!snapshots.empty()) {
        const ClaudeUsageSnapshot& latest = snapshots.back();
        out << "  latest "
            << QDateTime::fromMSecsSinceEpoch(latest.timestampMs, zone)
                   .toString(QStringLiteral("yyyy-MM-dd HH:mm"))
            << ": session " << QString::number(latest.sessionPct, 'f', 1) << "%, week "
            << QString::number(latest.weekPct, 'f', 1) << "%, " << latest.subModelName << " "
            << QString::number(latest.subPct, 'f', 1) << "%\n";
    }

    const auto& gemini = store.geminiUsageRecords();
    out << "\nGemini relay: " << DisplayFormat::formattedCount(std::int64_t(gemini.size()))
        << " records, " << UsageTrends::totalText(UsageTrends::geminiTotalCost(gemini)) << "\n";
    for (const auto& cost : UsageTrends::geminiDailyCosts(gemini, zone))
        out << "  " << dayText(cost.day, zone) << "  "
            << DisplayFormat::money(cost.costUsd, MoneyPrecision::SubCent) << "\n";

    const auto& api = store.apiUsageRecords();
    out << "\nAPI: " << UsageTrends::totalText(UsageTrends::apiTotalCost(api)) << "\n  ";
    bool first = true;
    for (const auto& metric : UsageTrends::apiSummaryMetrics(api)) {
        out << (first ? "" : ", ") << metric.label << " " << metric.value;
        first = false;
    }
    out << "\n";
    for (const auto& [day, row] : apiDays(api, zone)) {
        out << "  " << dayText(day, zone) << "  "
            << DisplayFormat::money(row.totalUsd, MoneyPrecision::SubCent);
        for (const auto& cost : row.providers)
            out << "  " << cost.provider << " "
                << DisplayFormat::money(cost.costUsd, MoneyPrecision::SubCent);
        out << "\n";
    }
}

int runHistory(const CliArguments& args) {
    const bool json = args.isSet(QStringLiteral("--json"));
    // Only reads: the file and its journal, merged in memory.
    const UsageHistoryReader store =
        UsageHistoryReader::read(UsageHistoryFileStore::pathIn(dataDirectory()), systemNow());
    if (UsageHistoryFileStore::isUnusable(store.loadState())) {
        QTextStream(stderr) << "quotameter-cli: the history file could not be read: "
                            << store.historyPath() << "\n";
        return kExitFailure;
    }
    const QTimeZone zone = QTimeZone::systemTimeZone();
    QTextStream out(stdout);
    if (json) {
        out << QJsonDocument(historyJson(store, zone)).toJson(QJsonDocument::Indented);
    } else {
        printHistory(out, store, zone);
    }
    return kExitOk;
}

const CliCommandRegistration historyCommand(CliCommand{
    .name = QStringLiteral("history"),
    .forms = {{.summary = QT_TRANSLATE_NOOP(
                   "quotameter-cli",
                   "the stored usage history: Claude snapshots, Gemini relay and API costs "
                   "per local day"),
               .options = {{.name = QStringLiteral("--json"),
                            .description = QT_TRANSLATE_NOOP("quotameter-cli",
                                                             "one JSON document")}}}},
    .run = runHistory,
});

}  // namespace
}  // namespace qm::cli
