#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <cmath>

#include "cli/CliCommand.h"
#include "cli/IndexProgress.h"
#include "cli/LimitSources.h"
#include "core/Clock.h"
#include "core/Iso8601.h"
#include "history/UsageHistoryReader.h"

// `limits` lists every usage limit known: how much is used, when it resets, when and where it
// was read and, at the pace of its recent readings, when it will be full. Each Claude window
// shows its freshest reading, from claude.ai (the application) or Claude Code (its status line). A
// limit whose reset time has passed since it was read is listed as the new window it is: nothing
// used, and when it reset.
namespace qm::cli {
namespace {

QJsonValue isoOrNull(std::optional<TimeMs> at) {
    return at ? QJsonValue(Iso8601::formatMs(*at)) : QJsonValue(QJsonValue::Null);
}

// `freshWindow` tells a window that started afresh after the reading, `resetAt` when it did;
// `source` where the figure was read: "claudeCode", "claudeWeb" or "codexLogs".
QJsonObject jsonOf(const LimitReading& reading) {
    return {{QStringLiteral("tool"), reading.tool()},
            {QStringLiteral("window"), reading.window()},
            {QStringLiteral("usedPercent"), reading.percent},
            {QStringLiteral("resetsAt"), isoOrNull(reading.resetsAt)},
            {QStringLiteral("readAt"), Iso8601::formatMs(reading.readAt)},
            {QStringLiteral("projectedFullAt"), isoOrNull(reading.projectedFullAt)},
            {QStringLiteral("freshWindow"), reading.freshSince.has_value()},
            {QStringLiteral("resetAt"), isoOrNull(reading.freshSince)},
            {QStringLiteral("source"), reading.source ? QJsonValue(rawValue(*reading.source))
                                                      : QJsonValue(QJsonValue::Null)}};
}

// "5-hour", "weekly", "weekly Opus".
QString windowText(const QString& window) {
    if (window == QLatin1String("fiveHour")) return QStringLiteral("5-hour");
    if (window.startsWith(QLatin1String("weekly")) && window.size() > 6)
        return QStringLiteral("weekly ") + window.mid(6);
    return window;
}

QString resetColumn(const LimitReading& reading, TimeMs now) {
    if (reading.freshSince) return resetPassedText(*reading.freshSince, now);
    return QStringLiteral("resets ") +
           (reading.resetsAt ? limitTimeText(*reading.resetsAt, now) : QStringLiteral("-"));
}

QString percentText(double value) {
    if (!std::isfinite(value)) value = value > 0 ? 100 : 0;
    return QString::number(std::lround(std::clamp(value, 0.0, 999.0))) + QLatin1Char('%');
}

// "read 13:50 from Claude Code".
QString readColumn(const LimitReading& reading, TimeMs now) {
    QString text = QStringLiteral("read ") + limitTimeText(reading.readAt, now);
    if (reading.source) text += QStringLiteral(" from ") + limitSourceName(*reading.source);
    return text;
}

// One line per limit, each column as wide as its widest cell.
QString table(const std::vector<LimitReading>& readings, TimeMs now) {
    std::vector<QStringList> rows;
    rows.reserve(rows.size() + readings.size());
    for (const LimitReading& r : readings) {
        rows.push_back({r.tool() == QLatin1String("claude") ? QStringLiteral("Claude")
                                                            : QStringLiteral("Codex"),
                        windowText(r.window()), percentText(r.percent), resetColumn(r, now),
                        readColumn(r, now),
                        r.projectedFullAt
                            ? QStringLiteral("full at ") + limitTimeText(*r.projectedFullAt, now)
                            : QString()});
    }
    std::vector<qsizetype> widths(6, 0);
    for (const QStringList& row : rows)
        for (int i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    QString text;
    for (const QStringList& row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            // The percentages line up on their right edge, the rest on the left.
            line += i == 2 ? row[i].rightJustified(widths[i]) : row[i].leftJustified(widths[i]);
            line += QStringLiteral("  ");
        }
        text += line.trimmed() + QLatin1Char('\n');
    }
    return text;
}

int runLimits(const CliArguments& args) {
    const TimeMs now = systemNow();
    const QString directory = dataDirectory();
    // Read only: the file and its journal are merged in memory, nothing is written.
    const UsageHistoryReader history =
        UsageHistoryReader::read(UsageHistoryFileStore::pathIn(directory), now);
    std::vector<LimitReading> readings = claudeLimits(history.claudeSnapshots(), directory, now);
    for (LimitReading& reading : codexLimits(scanCodex(updatedLedger(), now), now))
        readings.push_back(std::move(reading));
    readings = currentWindows(readings, now);

    QTextStream out(stdout);
    if (args.isSet(QStringLiteral("--json"))) {
        QJsonArray limits;
        for (const LimitReading& reading : readings) limits.append(jsonOf(reading));
        out << QJsonDocument(QJsonObject{{QStringLiteral("limits"), limits}})
                   .toJson(QJsonDocument::Compact)
            << "\n";
        return kExitOk;
    }
    if (readings.empty()) {
        out << "No limits known: no Claude limits read from claude.ai or Claude Code in the last "
               "30 minutes, no Codex limits in its logs of the last five hours.\n";
        return kExitOk;
    }
    out << table(readings, now);
    if (UsageHistoryFileStore::isUnusable(history.loadState()))
        QTextStream(stderr) << "quotameter-cli: the usage history could not be read\n";
    return kExitOk;
}

const CliCommandRegistration limitsCommand(CliCommand{
    .name = QStringLiteral("limits"),
    .forms = {{.summary = QT_TRANSLATE_NOOP(
                   "quotameter-cli",
                   "every usage limit known, with its reset and when it will be full"),
               .options = {{.name = QStringLiteral("--json"),
                            .description = QT_TRANSLATE_NOOP("quotameter-cli", "one JSON line")}}}},
    .description = QT_TRANSLATE_NOOP(
        "quotameter-cli",
        "Each Claude window shows its freshest reading, from claude.ai (the application) or "
        "Claude Code (its status line); Codex's come from its logs of the last five hours. A "
        "limit whose reset time has passed is listed as the new window: nothing used yet."),
    .run = runLimits,
});

}  // namespace
}  // namespace qm::cli
