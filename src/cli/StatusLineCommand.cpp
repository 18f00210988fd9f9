#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <cmath>

#include "cli/CliCommand.h"
#include "cli/LimitSources.h"
#include "cli/StatusLineCosts.h"
#include "core/ClaudeCodeSettings.h"
#include "core/ClaudeLimitReadings.h"
#include "core/Clock.h"
#include "core/DisplayFormat.h"
#include "core/SharedFile.h"
#include "history/UsageHistoryReader.h"

// `statusline` is the command of Claude Code's statusLine setting: Claude Code writes what it
// knows of the session as one JSON object on standard input and shows the first line printed.
// Whatever arrives, the command prints one line and exits 0, so the status line never breaks.
// Since 2.1.80 the object carries the plan's own limits ("rate_limits"); each window read is
// kept in the Claude limit readings file, where every command and the application find it.
// `statusline install` / `uninstall` set or remove the statusLine entry itself.
namespace qm::cli {
namespace {

// Claude Code's object is a few kilobytes; anything far larger is not it.
constexpr qint64 kMaxInputBytes = 1 << 20;

struct StatusInput {
    QString sessionId;
    QString transcriptPath;
    QString model;
    std::vector<ClaudeLimitReading> limits;  // the windows of "rate_limits" that hold up
};

// One window of "rate_limits": {"used_percentage": 43, "resets_at": <Unix seconds>}. A
// percentage outside 0..100 or of another type gives nothing; so does a reset time already
// past, since the percentage then belongs to a window that has ended. A reset time further
// ahead than the window lasts is left out, the percentage kept.
std::optional<ClaudeLimitReading> windowReading(const QJsonValue& value, ClaudeLimitWindow window,
                                                TimeMs now) {
    const QJsonValue used = value.toObject().value(QStringLiteral("used_percentage"));
    const double percent = used.isDouble() ? used.toDouble() : std::nan("");
    if (!std::isfinite(percent) || percent < 0 || percent > 100) return std::nullopt;
    ClaudeLimitReading reading{window, percent, std::nullopt, now, LimitSource::claudeCode};
    const QJsonValue resets = value.toObject().value(QStringLiteral("resets_at"));
    if (!resets.isDouble() || !std::isfinite(resets.toDouble())) return reading;
    const double seconds = resets.toDouble();
    if (seconds * 1000 <= double(now)) return std::nullopt;
    constexpr TimeMs kMarginMs = 15 * 60'000;
    const TimeMs reach = window == ClaudeLimitWindow::fiveHour ? 5LL * 3'600'000 + kMarginMs
                                                               : ClaudeLimitReadingsFile::kKeptMs;
    if (seconds * 1000 <= double(now + reach))
        reading.resetsAt = TimeMs(std::llround(seconds * 1000));
    return reading;
}

std::vector<ClaudeLimitReading> limitReadings(const QJsonObject& object, TimeMs now) {
    const QJsonObject limits = object.value(QStringLiteral("rate_limits")).toObject();
    std::vector<ClaudeLimitReading> readings;
    for (const auto& [name, window] : {std::pair{"five_hour", ClaudeLimitWindow::fiveHour},
                                       std::pair{"seven_day", ClaudeLimitWindow::weekly}}) {
        if (auto reading = windowReading(limits.value(QLatin1String(name)), window, now))
            readings.push_back(*reading);
    }
    return readings;
}

std::optional<StatusInput> readInput(TimeMs now) {
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray bytes = in.read(kMaxInputBytes + 1);
    if (bytes.size() > kMaxInputBytes) return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue session = object.value(QStringLiteral("session_id"));
    if (!session.isString() || session.toString().trimmed().isEmpty()) return std::nullopt;
    StatusInput input;
    input.sessionId = session.toString();
    input.transcriptPath = object.value(QStringLiteral("transcript_path")).toString();
    input.model = object.value(QStringLiteral("model"))
                      .toObject()
                      .value(QStringLiteral("display_name"))
                      .toString()
                      .simplified();
    input.limits = limitReadings(object, now);
    return input;
}

// Keeps the readings just handed over (when the once-a-minute rule lets them in and the lock
// is free within 50 ms) and returns every reading known, those included.
std::vector<ClaudeLimitReading> recorded(const QString& directory,
                                         const std::vector<ClaudeLimitReading>& fresh, TimeMs now) {
    const QString path = ClaudeLimitReadingsFile::pathIn(directory);
    const ClaudeLimitReadingsFile::Contents known = ClaudeLimitReadingsFile::read(path, now);
    if (ClaudeLimitReadingsFile::worthKeeping(known.readings, fresh).empty()) {
        std::vector<ClaudeLimitReading> readings = known.readings;
        readings.insert(readings.end(), fresh.begin(), fresh.end());
        std::ranges::stable_sort(readings, {}, &ClaudeLimitReading::readAt);
        return readings;
    }
    ClaudeLimitReadingsFile::RecordResult result = ClaudeLimitReadingsFile::record(
        path, fresh, now, ClaudeLimitReadingsFile::kLockWaitMs, &known);
    // Claude Code shows only standard output: the note is for whoever runs it by hand.
    if (result.error)
        QTextStream(stderr) << "quotameter-cli: the Claude limits were not recorded: "
                            << result.error->message << "\n";
    return std::move(result.readings);
}

QString hhmm(TimeMs at) {
    return QDateTime::fromMSecsSinceEpoch(at).toString(QStringLiteral("HH:mm"));
}

// "5h 43% (resets 15:00, full at 14:20)", "7d 31%", "5h 0% (reset at 15:00)".
QString limitPart(const LimitReading& reading, TimeMs now) {
    const bool fiveHour = reading.window() == QLatin1String("fiveHour");
    const double percent = std::isfinite(reading.percent) ? reading.percent : 0;
    QString text = QStringLiteral("%1 %2%")
                       .arg(fiveHour ? QStringLiteral("5h") : QStringLiteral("7d"))
                       .arg(std::lround(std::clamp(percent, 0.0, 999.0)));
    QStringList notes;
    if (fiveHour && reading.resetsAt) notes << QStringLiteral("resets ") + hhmm(*reading.resetsAt);
    if (reading.freshSince) notes << resetPassedText(*reading.freshSince, now);
    if (reading.projectedFullAt) {
        notes << QStringLiteral("full at ") + (fiveHour
                                                   ? hhmm(*reading.projectedFullAt)
                                                   : limitTimeText(*reading.projectedFullAt, now));
    }
    if (!notes.isEmpty()) text += QStringLiteral(" (") + notes.join(QStringLiteral(", ")) + ')';
    return text;
}

// The five-hour and weekly parts: the figures just handed over, else the freshest reading of
// the last 30 minutes (claude.ai's or an earlier status line's); projections from both series.
QStringList limitParts(const std::vector<ClaudeLimitReading>& fresh, TimeMs now) {
    const QString directory = dataDirectory();
    const std::vector<ClaudeLimitReading> readings = recorded(directory, fresh, now);
    // Read only: the file and its journal are merged in memory, nothing is written.
    const UsageHistoryReader history =
        UsageHistoryReader::read(UsageHistoryFileStore::pathIn(directory), now);
    QStringList parts;
    for (const LimitReading& reading :
         currentWindows(claudeLimits(history.claudeSnapshots(), readings, directory, now), now)) {
        if (reading.window() == QLatin1String("fiveHour") ||
            reading.window() == QLatin1String("weekly"))
            parts << limitPart(reading, now);
    }
    return parts;
}

constexpr int kStatusLineLockWaitMs = 50;

// After a change that went through: which file, and where its previous text is kept.
int reportSettingsFile(const ClaudeCodeSettings::EditResult& result, const QString& settings) {
    QTextStream out(stdout);
    out << "Settings: " << settings << "\n";
    if (!result.backupPath.isEmpty())
        out << "The previous file is kept as " << result.backupPath << "\n";
    return kExitOk;
}

int reportInstall(const ClaudeCodeSettings::EditResult& result, const QString& settings) {
    using ClaudeCodeSettings::EditOutcome;
    QTextStream out(stdout);
    switch (result.outcome) {
        case EditOutcome::changed:
            out << "Claude Code's status line now runs: " << result.command << "\n";
            if (!result.replaced.isEmpty()) out << "It ran before: " << result.replaced << "\n";
            break;
        case EditOutcome::unchanged:
            out << "Claude Code's status line already runs: " << result.command << "\n";
            break;
        case EditOutcome::otherCommand:
            return failure(QStringLiteral("Claude Code's status line already runs another "
                                          "command: %1\nNothing was changed; "
                                          "`quotameter-cli statusline install --replace` "
                                          "replaces it.")
                               .arg(result.command));
        case EditOutcome::failed:
            return failure(result.problem + QStringLiteral("\nNothing was changed."));
    }
    return reportSettingsFile(result, settings);
}

int reportUninstall(const ClaudeCodeSettings::EditResult& result, const QString& settings) {
    using ClaudeCodeSettings::EditOutcome;
    QTextStream out(stdout);
    switch (result.outcome) {
        case EditOutcome::changed:
            out << "Claude Code's status line no longer runs: " << result.replaced << "\n";
            break;
        case EditOutcome::unchanged:
            out << "Claude Code's status line does not run quotameter-cli: nothing to remove\n";
            break;
        case EditOutcome::otherCommand:
            return failure(QStringLiteral("Claude Code's status line runs another command, "
                                          "which was left as it is: %1")
                               .arg(result.command));
        case EditOutcome::failed:
            return failure(result.problem + QStringLiteral("\nNothing was changed."));
    }
    return reportSettingsFile(result, settings);
}

// `statusline install [--replace]` and `statusline uninstall`: the statusLine entry of Claude
// Code's settings, pointing at this very program.
int runSetup(const CliArguments& args) {
    const bool install = args.form().name == QLatin1String("install");
    const bool replace = install && args.isSet(QStringLiteral("--replace"));
    const QString settings = ClaudeCodeSettings::settingsPath();
    if (!install)
        return reportUninstall(ClaudeCodeSettings::uninstallStatusLine(settings), settings);
    const QString cli = QCoreApplication::applicationFilePath();
    return reportInstall(ClaudeCodeSettings::installStatusLine(settings, cli, replace), settings);
}

int runStatusLine(const CliArguments& args) {
    if (!args.form().name.isEmpty()) return runSetup(args);
    // Claude Code cancels a status line that is still running when its next update comes a
    // few hundred milliseconds later: a lock another process holds is not worth waiting for.
    FileLock::setDefaultWaitMs(kStatusLineLockWaitMs);
    QTextStream out(stdout);
    const TimeMs now = systemNow();
    // Arguments are not Claude Code's: nothing is read from a terminal that would wait.
    const std::optional<StatusInput> input =
        args.positional().isEmpty() ? readInput(now) : std::nullopt;
    if (!input) {
        out << "Quotameter: no session data\n";
        return kExitOk;
    }
    const StatusLineCosts costs = costsFor(input->sessionId, input->transcriptPath, now);
    // The model's name is Claude Code's text: it must not drive the terminal it is shown in.
    QStringList parts{input->model.isEmpty() ? QStringLiteral("Claude")
                                             : DisplayFormat::printable(input->model)};
    if (costs.sessionUsd)
        parts << QStringLiteral("session ") + DisplayFormat::money(*costs.sessionUsd);
    if (costs.todayUsd) parts << QStringLiteral("today ") + DisplayFormat::money(*costs.todayUsd);
    parts << limitParts(input->limits, now);
    out << parts.join(QStringLiteral(" · ")) << "\n";
    return kExitOk;
}

const CliCommandRegistration statusLineCommand(CliCommand{
    .name = QStringLiteral("statusline"),
    .forms =
        {
            {.summary = QT_TRANSLATE_NOOP(
                 "quotameter-cli",
                 "for Claude Code's statusLine setting: reads its JSON on standard input, "
                 "prints the model, the session's and today's cost, and the Claude limits"),
             .unparsed = true},
            {.name = QStringLiteral("install"),
             .summary = QT_TRANSLATE_NOOP(
                 "quotameter-cli", "make Claude Code run it (the statusLine of its settings.json)"),
             .options = {{.name = QStringLiteral("--replace"),
                          .description = QT_TRANSLATE_NOOP(
                              "quotameter-cli",
                              "replace a status line that runs another command")}}},
            {.name = QStringLiteral("uninstall"),
             .summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                          "take it out of Claude Code's settings again")},
        },
    .description = QT_TRANSLATE_NOOP(
        "quotameter-cli",
        "Whatever arrives, the status line prints one line and exits 0. The limits Claude "
        "Code hands over are kept for the other commands and the application. The settings are "
        "~/.claude/settings.json, or settings.json in $CLAUDE_CONFIG_DIR; the previous file is "
        "kept beside it."),
    .run = runStatusLine,
});

}  // namespace
}  // namespace qm::cli
