#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimeZone>

#include "accounts/AccountConfigStore.h"
#include "alerts/AccountSpend.h"
#include "cli/CliCommand.h"
#include "core/Clock.h"
#include "core/DisplayFormat.h"
#include "history/UsageHistoryReader.h"
#include "providers/ProviderUsageText.h"

namespace qm::cli {
namespace {

QJsonValue shareJson(double spent, double budget) {
    const std::optional<double> share = budgetShare(spent, budget);
    return share ? QJsonValue(*share) : QJsonValue(QJsonValue::Null);
}

// "$8.00 of $10.00 (80%)", or "$8.00 (no budget)".
QString useText(double spent, double budget) {
    const std::optional<double> share = budgetShare(spent, budget);
    if (!share) return DisplayFormat::money(spent) + QStringLiteral(" (no budget)");
    return DisplayFormat::money(spent) + QStringLiteral(" of ") + DisplayFormat::money(budget) +
           QStringLiteral(" (") + DisplayFormat::flooredPercent(*share) + QStringLiteral("%)");
}

QJsonObject budgetsJson(const std::vector<AccountBudgetUse>& rows, const QTimeZone& zone,
                        TimeMs now) {
    QJsonArray accounts;
    for (const AccountBudgetUse& row : rows) {
        accounts.append(QJsonObject{
            {"provider", rawValue(row.provider)},
            {"id", row.id},
            {"alias", row.alias},
            {"dailyBudgetUsd", row.dailyBudgetUsd},
            {"monthlyBudgetUsd", row.monthlyBudgetUsd},
            {"alertThresholdPct", row.alertThresholdPct},
            {"spentTodayUsd", row.spentTodayUsd},
            {"spentThisMonthUsd", row.spentThisMonthUsd},
            {"dailySharePct", shareJson(row.spentTodayUsd, row.dailyBudgetUsd)},
            {"monthlySharePct", shareJson(row.spentThisMonthUsd, row.monthlyBudgetUsd)},
        });
    }
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(now, zone);
    return QJsonObject{{"day", local.toString(QStringLiteral("yyyy-MM-dd"))},
                       {"month", local.toString(QStringLiteral("yyyy-MM"))},
                       {"accounts", accounts}};
}

void printBudgets(QTextStream& out, const std::vector<AccountBudgetUse>& rows,
                  const QTimeZone& zone, TimeMs now) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(now, zone);
    out << "Budgets for " << local.toString(QStringLiteral("yyyy-MM-dd")) << " (today) and "
        << local.toString(QStringLiteral("yyyy-MM")) << " (this month)\n";
    if (rows.empty()) {
        out << "No Gemini, Anthropic or OpenAI accounts.\n";
        return;
    }
    for (const AccountBudgetUse& row : rows) {
        out << "\n"
            << ProviderUsageText::displayName(row.provider) << " " << row.alias << " (" << row.id
            << ")\n"
            << "  today       " << useText(row.spentTodayUsd, row.dailyBudgetUsd) << "\n"
            << "  this month  " << useText(row.spentThisMonthUsd, row.monthlyBudgetUsd) << "\n"
            << "  alert at    " << row.alertThresholdPct << "%\n";
    }
}

int runBudgets(const CliArguments& args) {
    const bool json = args.isSet(QStringLiteral("--json"));
    const QString directory = dataDirectory();
    const TimeMs now = systemNow();
    // Both files are only read.
    const auto accounts = AccountConfigStore(AccountConfigStore::pathIn(directory)).load(now);
    // With the records still in the journal: spend just recorded counts at once.
    const UsageHistoryReader history =
        UsageHistoryReader::read(UsageHistoryFileStore::pathIn(directory), now);
    if (accounts.state == AccountConfigStore::LoadState::Unreadable ||
        accounts.state == AccountConfigStore::LoadState::Undecodable) {
        QTextStream(stderr) << "quotameter-cli: the account file could not be read: "
                            << AccountConfigStore::pathIn(directory) << "\n";
        return kExitFailure;
    }
    if (UsageHistoryFileStore::isUnusable(history.loadState())) {
        QTextStream(stderr) << "quotameter-cli: the history file could not be read: "
                            << UsageHistoryFileStore::pathIn(directory) << "\n";
        return kExitFailure;
    }
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const std::vector<AccountBudgetUse> rows = accountBudgetUse(
        accounts.data, history.geminiUsageRecords(), history.apiUsageRecords(), now, zone);
    QTextStream out(stdout);
    if (json) {
        out << QJsonDocument(budgetsJson(rows, zone, now)).toJson(QJsonDocument::Indented);
    } else {
        printBudgets(out, rows, zone, now);
    }
    return kExitOk;
}

const CliCommandRegistration budgetsCommand(CliCommand{
    .name = QStringLiteral("budgets"),
    .forms =
        {{.summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                       "each account's budgets, today's and this month's spend"),
          .options = {{.name = QStringLiteral("--json"),
                       .description = QT_TRANSLATE_NOOP("quotameter-cli", "one JSON document")}}}},
    .examples = {{QStringLiteral("budgets --json"), ""}},
    .run = runBudgets,
});

}  // namespace
}  // namespace qm::cli
