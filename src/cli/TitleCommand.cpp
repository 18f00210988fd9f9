#include <qcoro/qcorotask.h>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <algorithm>
#include <cmath>

#include "alerts/ClaudeLimits.h"
#include "cli/CliCommand.h"
#include "cli/IndexProgress.h"
#include "cli/LimitSources.h"
#include "core/ClaudeResetTimes.h"
#include "core/Clock.h"
#include "core/DisplayFormat.h"
#include "core/Iso8601.h"
#include "history/UsageHistoryReader.h"
#include "ledger/UsageAggregator.h"

// `title` is what a status bar runs every few seconds: the menu-bar title, and with --json the
// one-line object waybar's custom modules read. The Claude part comes from the freshest reading
// of each limit of the last 30 minutes: the Claude snapshots the application recorded in the
// usage history, or the figures Claude Code handed to its status line.
namespace qm::cli {
namespace {

int roundedPercent(double value) {
    if (!std::isfinite(value)) return value > 0 ? 100 : 0;
    return int(std::lround(std::clamp(value, 0.0, 100.0)));
}

QString toolLine(const ProviderUsage& usage) {
    const QString prompts =
        usage.lastFiveHourPrompts == 1
            ? QStringLiteral("1 prompt")
            : DisplayFormat::formattedCount(usage.lastFiveHourPrompts) + QStringLiteral(" prompts");
    return QStringLiteral("%1: %2, %3 tokens in 5h (%4)")
        .arg(usage.providerName, prompts, DisplayFormat::formattedTokens(usage.lastFiveHourTokens),
             usage.statusText);
}

// A reset time as the Claude card shows it ("12/07 14:20", local time); text that is no time
// stamp is shown as it came.
QString resetText(const std::optional<QString>& stamp) {
    if (!stamp) return {};
    const std::optional<TimeMs> at = Iso8601::parse(*stamp);
    const QString when =
        at ? QDateTime::fromMSecsSinceEpoch(*at).toString(QStringLiteral("MM/dd HH:mm")) : *stamp;
    return QStringLiteral(", resets ") + when;
}

// The reset times belong to the snapshot shown when they were read with it or after it (the
// history drops a repeated snapshot, the reset file is rewritten all the same).
bool resetsMatch(const std::optional<ClaudeResetTimes>& resets,
                 const ClaudeUsageSnapshot& snapshot) {
    return resets && resets->snapshotAt >= snapshot.timestampMs;
}

// One Claude limit's line: "  5-hour session 43%, resets 12/07 15:00". claude.ai's reset
// times are shown as the site wrote them (text that is no time stamp included).
QString claudeLine(const LimitReading& reading, const ClaudeResetTimes& times, TimeMs now) {
    const QString window = reading.window();
    QString name = QStringLiteral("7-day");
    std::optional<QString> stamp = times.perModel;
    if (window == QLatin1String("fiveHour")) {
        name = QStringLiteral("5-hour session");
        stamp = times.session;
    } else if (window == QLatin1String("weekly")) {
        stamp = times.week;
    } else {
        name += QLatin1Char(' ') + DisplayFormat::printable(window.mid(6));
    }
    QString line = QStringLiteral("  %1 %2%").arg(name).arg(roundedPercent(reading.percent));
    if (reading.freshSince)
        return line + QStringLiteral(", ") + resetPassedText(*reading.freshSince, now);
    if (reading.source == LimitSource::claudeWeb && stamp) return line + resetText(stamp);
    if (reading.resetsAt) return line + resetText(Iso8601::formatMs(*reading.resetsAt));
    return line;
}

// The Claude limits as `current` has them at `now` (see currentWindows): a window past its
// reset reads 0% and says when it reset. The head says where and when the first was read
// ("Claude (from Claude Code, 2 min ago):"); a line read elsewhere or at another time says so
// itself, since each window shows its freshest reading.
QStringList claudeLines(const std::vector<LimitReading>& current,
                        const std::optional<ClaudeUsageSnapshot>& snapshot,
                        const std::optional<ClaudeResetTimes>& resets, TimeMs now) {
    const ClaudeResetTimes times =
        snapshot && resetsMatch(resets, *snapshot) ? *resets : ClaudeResetTimes{};
    const QString head = limitSourceText(current.front(), now);
    QStringList lines{QStringLiteral("Claude (%1):").arg(head)};
    for (const LimitReading& reading : current) {
        QString line = claudeLine(reading, times, now);
        if (const QString from = limitSourceText(reading, now); from != head)
            line += QStringLiteral(" (%1)").arg(from);
        lines << line;
    }
    return lines;
}

int runTitle(const CliArguments& args) {
    UsageAggregator aggregator(QDir::homePath());
    useIndexedSummaries(aggregator);
    QCoro::waitFor(aggregator.refresh());
    const TimeMs now = systemNow();
    const QString directory = dataDirectory();
    // Only reads: the file and the journal of records not yet filed, merged in memory.
    const UsageHistoryReader history =
        UsageHistoryReader::read(UsageHistoryFileStore::pathIn(directory), now);
    // The limits as they stand now, each window from its freshest reading (claude.ai's or
    // Claude Code's): a window past its reset counts as the new, empty one.
    const std::vector<LimitReading> claudeNow =
        currentWindows(claudeLimits(history.claudeSnapshots(), directory, now), now);
    std::optional<double> session;
    if (!claudeNow.empty() && claudeNow.front().window() == QLatin1String("fiveHour"))
        session = claudeNow.front().percent;
    const QString title = aggregator.menuBarTitle(session);

    QTextStream out(stdout);
    if (!args.isSet(QStringLiteral("--json"))) {
        out << title << "\n";
        return kExitOk;
    }
    QStringList tooltip;
    // Every tool, those the title leaves out (Claude Code, OpenCode, Qwen Code) too.
    for (const ProviderUsage& usage : listedSummaries(aggregator.providers()))
        tooltip.append(toolLine(usage));
    // The class is how full the fullest limit of either subscription is, as the tray's dot
    // shows it; how recently a tool was used never colours the bar.
    std::vector<LimitReading> limits = claudeNow;
    const std::vector<LimitReading> codex = codexLimits(aggregator.usage(ProviderKind::codex), now);
    limits.insert(limits.end(), codex.begin(), codex.end());
    const UsageStatusLevel level = limitsLevel(limits, now).value_or(UsageStatusLevel::unknown);
    if (const QString line = codexLimitsLine(codex, now); !line.isEmpty()) tooltip.append(line);
    if (!claudeNow.empty()) {
        tooltip +=
            claudeLines(claudeNow, freshClaudeSnapshot(history.claudeSnapshots(), now),
                        ClaudeResetTimesFile::load(ClaudeResetTimesFile::pathIn(directory)), now);
    } else if (UsageHistoryFileStore::isUnusable(history.loadState())) {
        tooltip.append(QStringLiteral("Claude: the usage history could not be read"));
    } else {
        tooltip.append(QStringLiteral("Claude: no limits read in the last 30 minutes"));
    }
    QJsonObject object{{QStringLiteral("text"), title},
                       {QStringLiteral("tooltip"), tooltip.join(QLatin1Char('\n'))},
                       {QStringLiteral("class"), rawValue(level)}};
    if (session) object.insert(QStringLiteral("percentage"), roundedPercent(*session));
    out << QJsonDocument(object).toJson(QJsonDocument::Compact) << "\n";
    return kExitOk;
}

const CliCommandRegistration titleCommand(CliCommand{
    .name = QStringLiteral("title"),
    .forms = {{.summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                            "the menu-bar title: each tool's count, the Claude "
                                            "limit"),
               .options = {{.name = QStringLiteral("--json"),
                            .description = QT_TRANSLATE_NOOP(
                                "quotameter-cli",
                                "one JSON line for waybar's custom modules: text, tooltip, "
                                "class and percentage")}}}},
    .examples = {{QStringLiteral("title --json"), ""}},
    .run = runTitle,
});

}  // namespace
}  // namespace qm::cli
