#include "cli/StatusLineCosts.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include "readers/ClaudeCodeReader.h"

namespace qm::cli {

namespace {

TimeMs startOfLocalDay(TimeMs now) {
    return QDateTime(QDateTime::fromMSecsSinceEpoch(now).date(), QTime(0, 0)).toMSecsSinceEpoch();
}

// The session's transcript among those read: the same file, or failing that (the path may
// name it through a link) a file named after the session.
bool isSession(const SessionUsage& session, const QString& sessionId,
               const QString& transcriptPath) {
    const QFileInfo file(session.id);
    if (!transcriptPath.isEmpty()) {
        const QFileInfo wanted(transcriptPath);
        if (file.absoluteFilePath() == wanted.absoluteFilePath()) return true;
        if (wanted.exists() && file.canonicalFilePath() == wanted.canonicalFilePath()) return true;
    }
    return !sessionId.isEmpty() && file.fileName() == sessionId + QStringLiteral(".jsonl");
}

}  // namespace

StatusLineCosts costsFor(const QString& sessionId, const QString& transcriptPath, TimeMs now) {
    const QString home = QDir::homePath();
    const ClaudeCodeReader reader(ClaudeCodeReader::projectDirectoriesFor(home),
                                  ClaudeCodeReader::credentialsFileFor(home));
    // The reader's recent-window cost, with the window opening at midnight, is today's cost;
    // the session is listed whole, as it was written to today.
    const ProviderUsage usage = reader.readUsageSync(startOfLocalDay(now));
    StatusLineCosts costs;
    costs.todayUsd = usage.lastFiveHourCost;
    for (const SessionUsage& session : usage.sessions) {
        if (isSession(session, sessionId, transcriptPath)) {
            costs.sessionUsd = session.cost;
            break;
        }
    }
    return costs;
}

}  // namespace qm::cli
