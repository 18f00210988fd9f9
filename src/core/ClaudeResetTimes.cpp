#include "core/ClaudeResetTimes.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "core/JsonFields.h"
#include "core/SharedFile.h"

namespace qm::ClaudeResetTimesFile {

namespace {

constexpr qint64 kMaxBytes = 64 * 1024;  // a few dozen bytes in practice

void put(QJsonObject& object, const char* key, const std::optional<QString>& value) {
    if (value) object.insert(QLatin1String(key), *value);
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
    if (!document.isObject()) return std::nullopt;
    const QJsonObject object = document.object();
    // Without its time the file says nothing; a mistyped reset is only left out.
    JsonFields f;
    const std::optional<std::int64_t> at = f.int64(object, "snapshotAt");
    if (!at) return std::nullopt;
    return ClaudeResetTimes{*at, f.string(object, "sessionResetAt"),
                            f.string(object, "weekResetAt"), f.string(object, "perModelResetAt")};
}

}  // namespace qm::ClaudeResetTimesFile
