#include "readers/ClaudeCodeReader.h"

#include <QDir>

namespace qm {
namespace {

QString configDirectoryFromEnvironment() {
    const QString fromEnvironment = qEnvironmentVariable("CLAUDE_CONFIG_DIR");
    return fromEnvironment.trimmed().isEmpty() ? QString() : fromEnvironment;
}

}  // namespace

QStringList ClaudeCodeReader::projectDirectoriesFor(const QString& homeDirectory) {
    const QString configured = configDirectoryFromEnvironment();
    if (!configured.isEmpty()) return {QDir(configured).filePath(QStringLiteral("projects"))};
    const QDir home(homeDirectory);
    return {home.filePath(QStringLiteral(".claude/projects")),
            home.filePath(QStringLiteral(".config/claude/projects"))};
}

QString ClaudeCodeReader::credentialsFileFor(const QString& homeDirectory) {
    const QString configured = configDirectoryFromEnvironment();
    const QDir config(configured.isEmpty() ? QDir(homeDirectory).filePath(QStringLiteral(".claude"))
                                           : configured);
    return config.filePath(QStringLiteral(".credentials.json"));
}

}  // namespace qm
