#include <qcoro/qcorotask.h>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <algorithm>
#include <cmath>

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
// one-line object waybar's custom modules read. The Claude part comes from the newest Claude
// snapshot the application recorded in the usage history, while it is fresh.
namespace qm::cli {
namespace {

int roundedPercent(double value) {
    if (!std::isfinite(value)) return value > 0 ? 100 : 0;
    return int(std::lround(std::clamp(value, 0.0, 100.0)));
}

// The worst of the levels the panel's dots show; levels run from good to bad in declaration
// order, and a line without data (unknown) never outweighs one with data.
UsageStatusLevel worst(const std::vector<UsageStatusLevel>& levels) {
    std::optional<UsageStatusLevel> result;
    for (UsageStatusLevel level : levels) {
        if (level == UsageStatusLevel::unknown) continue;
        if (!result || int(level) > int(*result)) result = level;
    }
    return result.value_or(UsageStatusLevel::unknown);
}

QString toolLine(const ProviderUsage& usage) {
    return QStringLiteral("%1: %2 prompts, %3 tokens in 5h (%4)")
        .arg(usage.providerName, DisplayFormat::formattedCount(usage.lastFiveHourPrompts),
             DisplayFormat::formattedTokens(usage.lastFiveHourTokens), usage.statusText);
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

// The Claude limits as `current` has them at `now` (see currentWindows): a window past its
// reset reads 0% and says when it reset.
QStringList claudeLines(const ClaudeUsageSnapshot& snapshot,
                        const std::vector<LimitReading>& current,
                        const std::optional<ClaudeResetTimes>& resets, TimeMs now) {
    const ClaudeResetTimes times = resetsMatch(resets, snapshot) ? *resets : ClaudeResetTimes{};
    const auto figure = [&](const QString& window, const std::optional<QString>& stamp) -> QString {
        const auto reading =
            std::ranges::find(current, QStringLiteral("claude.") + window, &LimitReading::key);
        if (reading == current.end()) return QString();
        const QString used = QString::number(roundedPercent(reading->percent)) + QLatin1Char('%');
        if (reading->freshSince)
            return used + QStringLiteral(", ") + resetPassedText(*reading->freshSince, now);
        return used + resetText(stamp);
    };
    const QString taken =
        QDateTime::fromMSecsSinceEpoch(snapshot.timestampMs).toString(QStringLiteral("HH:mm"));
    QStringList lines{
        QStringLiteral("Claude (read at %1):").arg(taken),
        QStringLiteral("  5-hour session %1")
            .arg(figure(QStringLiteral("fiveHour"), times.session)),
        QStringLiteral("  7-day %1").arg(figure(QStringLiteral("weekly"), times.week))};
    if (!snapshot.subModelName.isEmpty()) {
        lines.append(
            QStringLiteral("  7-day %1 %2")
                .arg(DisplayFormat::printable(snapshot.subModelName),
                     figure(QStringLiteral("weekly") + snapshot.subModelName, times.perModel)));
    }
    return lines;
}

int runTitle(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("One JSON line for waybar's custom modules."));
    parser.addOption(json);
    if (!parser.parse(QStringList{QStringLiteral("title")} + args)) {
        return usageError(QStringLiteral("title: ") + parser.errorText());
    }
    if (!parser.positionalArguments().isEmpty()) {
        return usageError(QStringLiteral("unknown argument for title: ") +
                          parser.positionalArguments().constFirst());
    }

    UsageAggregator aggregator(QDir::homePath());
    useIndexedSummaries(aggregator);
    QCoro::waitFor(aggregator.refresh());
    const TimeMs now = systemNow();
    const QString directory = dataDirectory();
    // Only reads: the file and the journal of records not yet filed, merged in memory.
    const UsageHistoryReader history =
        UsageHistoryReader::read(UsageHistoryFileStore::pathIn(directory), now);
    const std::optional<ClaudeUsageSnapshot> claude =
        freshClaudeSnapshot(history.claudeSnapshots(), now);
    // The limits as they stand now: a window past its reset counts as the new, empty one.
    const std::vector<LimitReading> claudeNow =
        currentWindows(claudeLimits(history.claudeSnapshots(), directory, now), now);
    std::optional<double> session;
    if (claude && !claudeNow.empty()) session = claudeNow.front().percent;
    const QString title = aggregator.menuBarTitle(session);

    QTextStream out(stdout);
    if (!parser.isSet(json)) {
        out << title << "\n";
        return kExitOk;
    }
    QStringList tooltip;
    std::vector<UsageStatusLevel> levels;
    for (const ProviderUsage& usage : aggregator.providers()) {
        tooltip.append(toolLine(usage));
        levels.push_back(usage.statusLevel);
    }
    // The class weighs every limit of both subscriptions, as the tray's dot does.
    std::vector<LimitReading> limits = claudeNow;
    const std::vector<LimitReading> codex = codexLimits(aggregator.usage(ProviderKind::codex), now);
    limits.insert(limits.end(), codex.begin(), codex.end());
    if (const std::optional<UsageStatusLevel> level = limitsLevel(limits, now))
        levels.push_back(*level);
    if (const QString line = codexLimitsLine(codex, now); !line.isEmpty()) tooltip.append(line);
    if (claude) {
        tooltip +=
            claudeLines(*claude, claudeNow,
                        ClaudeResetTimesFile::load(ClaudeResetTimesFile::pathIn(directory)), now);
    } else if (UsageHistoryFileStore::isUnusable(history.loadState())) {
        tooltip.append(QStringLiteral("Claude: the usage history could not be read"));
    } else {
        tooltip.append(QStringLiteral("Claude: no limits read in the last 30 minutes"));
    }
    QJsonObject object{{QStringLiteral("text"), title},
                       {QStringLiteral("tooltip"), tooltip.join(QLatin1Char('\n'))},
                       {QStringLiteral("class"), rawValue(worst(levels))}};
    if (session) object.insert(QStringLiteral("percentage"), roundedPercent(*session));
    out << QJsonDocument(object).toJson(QJsonDocument::Compact) << "\n";
    return kExitOk;
}

const CliCommandRegistration titleCommand(CliCommand{
    QStringLiteral("title"),
    QStringLiteral("title [--json]   the menu-bar title; --json: one line for waybar"), runTitle});

}  // namespace
}  // namespace qm::cli
