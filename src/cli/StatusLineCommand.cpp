#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <cmath>

#include "cli/CliCommand.h"
#include "cli/LimitSources.h"
#include "cli/StatusLineCosts.h"
#include "core/Clock.h"
#include "core/DisplayFormat.h"
#include "core/SharedFile.h"
#include "history/UsageHistoryReader.h"

// `statusline` is the command of Claude Code's statusLine setting: Claude Code writes what it
// knows of the session as one JSON object on standard input and shows the first line printed.
// Whatever arrives, the command prints one line and exits 0, so the status line never breaks.
namespace qm::cli {
namespace {

// Claude Code's object is a few kilobytes; anything far larger is not it.
constexpr qint64 kMaxInputBytes = 1 << 20;

struct StatusInput {
    QString sessionId;
    QString transcriptPath;
    QString model;
};

std::optional<StatusInput> readInput() {
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
    return input;
}

// "5h 43% (resets 15:00, full at 14:20)", or empty without a fresh Claude reading.
QString fiveHourPart(TimeMs now) {
    const QString directory = dataDirectory();
    // Read only: the file and its journal are merged in memory, nothing is written.
    const UsageHistoryReader history =
        UsageHistoryReader::read(UsageHistoryFileStore::pathIn(directory), now);
    for (const LimitReading& read : claudeLimits(history.claudeSnapshots(), directory, now)) {
        if (read.window() != QLatin1String("fiveHour")) continue;
        // A window whose reset has come is the new one, with nothing used yet.
        const LimitReading reading = currentWindow(read, now);
        const double percent = std::isfinite(reading.percent) ? reading.percent : 0;
        QString text = QStringLiteral("5h %1%").arg(std::lround(std::clamp(percent, 0.0, 999.0)));
        QStringList notes;
        const auto hhmm = [](TimeMs at) {
            return QDateTime::fromMSecsSinceEpoch(at).toString(QStringLiteral("HH:mm"));
        };
        if (reading.resetsAt) notes << QStringLiteral("resets ") + hhmm(*reading.resetsAt);
        if (reading.freshSince) notes << resetPassedText(*reading.freshSince, now);
        if (reading.projectedFullAt)
            notes << QStringLiteral("full at ") + hhmm(*reading.projectedFullAt);
        if (!notes.isEmpty()) text += QStringLiteral(" (") + notes.join(QStringLiteral(", ")) + ')';
        return text;
    }
    return {};
}

constexpr int kStatusLineLockWaitMs = 50;

int runStatusLine(const QStringList& args) {
    // Claude Code cancels a status line that is still running when its next update comes a
    // few hundred milliseconds later: a lock another process holds is not worth waiting for.
    FileLock::setDefaultWaitMs(kStatusLineLockWaitMs);
    QTextStream out(stdout);
    const std::optional<StatusInput> input = args.isEmpty() ? readInput() : std::nullopt;
    if (!input) {
        out << "Quotameter: no session data\n";
        return kExitOk;
    }
    const TimeMs now = systemNow();
    const StatusLineCosts costs = costsFor(input->sessionId, input->transcriptPath, now);
    // The model's name is Claude Code's text: it must not drive the terminal it is shown in.
    QStringList parts{input->model.isEmpty() ? QStringLiteral("Claude")
                                             : DisplayFormat::printable(input->model)};
    if (costs.sessionUsd)
        parts << QStringLiteral("session ") + DisplayFormat::money(*costs.sessionUsd);
    if (costs.todayUsd) parts << QStringLiteral("today ") + DisplayFormat::money(*costs.todayUsd);
    if (const QString fiveHour = fiveHourPart(now); !fiveHour.isEmpty()) parts << fiveHour;
    out << parts.join(QStringLiteral(" · ")) << "\n";
    return kExitOk;
}

const CliCommandRegistration statusLineCommand(CliCommand{
    QStringLiteral("statusline"),
    QStringLiteral(
        "statusline       for Claude Code's statusLine setting: reads its JSON on\n"
        "  standard input, prints model, session and today's cost, and the 5-hour limit"),
    runStatusLine});

}  // namespace
}  // namespace qm::cli
