#include "alerts/AlertMemory.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "core/AtomicFile.h"
#include "core/JsonFields.h"
#include "core/SharedFile.h"

namespace qm {

QString AlertMemory::pathIn(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("alerts-shown.json"));
}

AlertMemory::AlertMemory(QString path) : path_(std::move(path)) {
    // A regular file of sane size only: a FIFO in its place must not hang the start.
    const std::optional<QByteArray> bytes = readRegularFile(path_, kSideFileMaxBytes);
    if (!bytes) return;
    const QJsonObject shown =
        QJsonDocument::fromJson(*bytes).object().value(QStringLiteral("shown")).toObject();
    for (auto it = shown.begin(); it != shown.end(); ++it) {
        // A time no clock reaches (1e300 in a damaged file) is dropped, not cast.
        if (const auto until = JsonFields::wholeNumber(it.value())) entries_[it.key()] = *until;
    }
}

bool AlertMemory::stands(const QString& key, TimeMs now) const {
    const auto it = entries_.find(key);
    return it != entries_.end() && (it->second == 0 || now < it->second);
}

void AlertMemory::remember(const QString& key, TimeMs until) {
    entries_[key] = until;
}

void AlertMemory::forget(const QString& key) {
    entries_.erase(key);
}

std::optional<TimeMs> AlertMemory::until(const QString& key) const {
    const auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

std::optional<QString> AlertMemory::save(TimeMs now) {
    std::erase_if(entries_,
                  [now](const auto& entry) { return entry.second != 0 && now >= entry.second; });
    QJsonObject shown;
    for (const auto& [key, until] : entries_) shown.insert(key, static_cast<double>(until));
    makePrivateFolder(QFileInfo(path_).absolutePath());
    const QByteArray bytes =
        QJsonDocument(QJsonObject{{QStringLiteral("shown"), shown}}).toJson() + '\n';
    if (const std::optional<FileError> error = AtomicFile::write(path_, bytes))
        return error->message;
    return std::nullopt;
}

}  // namespace qm
