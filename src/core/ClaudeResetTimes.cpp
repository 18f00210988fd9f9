#include "core/ClaudeResetTimes.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "core/SharedFile.h"

namespace qm::ClaudeResetTimesFile {

namespace {

constexpr qint64 kMaxBytes = 64 * 1024;  // a few dozen bytes in practice

void put(QJsonObject& object, const char* key, const std::optional<QString>& value) {
    if (value) object.insert(QLatin1String(key), *value);
}

std::optional<QString> get(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString()) return std::nullopt;
    return value.toString();
}

}  // namespace

QString pathIn(const QString& dataDirectory) {
    return dataDirectory + QStringLiteral("/claude-resets.json");
}

std::optional<FileError> save(const QString& path, const ClaudeResetTimes& times) {
    QJsonObject object{{QStringLiteral("snapshotAt"), double(times.snapshotAt)}};
    put(object, "sessionResetAt", times.session);
    put(object, "weekResetAt", times.week);
    put(object, "perModelResetAt", times.perModel);
    return AtomicFile::write(path, QJsonDocument(object).toJson(QJsonDocument::Indented));
}

std::optional<ClaudeResetTimes> load(const QString& path) {
    const std::optional<QByteArray> bytes = readRegularFile(path, kMaxBytes);
    if (!bytes) return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(*bytes);
    const QJsonValue at = document.object().value(QStringLiteral("snapshotAt"));
    if (!document.isObject() || !at.isDouble()) return std::nullopt;
    const QJsonObject object = document.object();
    return ClaudeResetTimes{TimeMs(at.toDouble()), get(object, "sessionResetAt"),
                            get(object, "weekResetAt"), get(object, "perModelResetAt")};
}

}  // namespace qm::ClaudeResetTimesFile
