#include "hosts/RemoteHostCache.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QUrl>

#include "core/AtomicFile.h"
#include "core/JsonFields.h"
#include "core/SharedFile.h"

namespace qm::hosts {
namespace {

constexpr int kCommandsPerHost = 16;
constexpr std::int64_t kMaxFileBytes = 256 << 20;

QJsonObject readFile(const QString& path) {
    const std::optional<QByteArray> bytes = readRegularFile(path, kMaxFileBytes, nullptr);
    if (!bytes) return {};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes);
    return document.isObject() ? document.object() : QJsonObject();
}

}  // namespace

RemoteHostCache::RemoteHostCache(QString directory) : directory_(std::move(directory)) {}

QString RemoteHostCache::defaultDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/Quotameter/hosts");
}

QString RemoteHostCache::fileOf(const QString& host) const {
    // Percent-encoded so that no name can leave the folder or clash with another.
    return QDir(directory_)
        .filePath(QString::fromLatin1(QUrl::toPercentEncoding(host)) + QStringLiteral(".json"));
}

QString RemoteHostCache::store(const QString& host, const QStringList& command,
                               const QByteArray& answer, qint64 readAtMs) const {
    if (makePrivateFolder(directory_)) return QStringLiteral("cannot create ") + directory_;
    const QString key = command.join(QLatin1Char(' '));
    QJsonObject all = readFile(fileOf(host));
    all.insert(key, QJsonObject{{QStringLiteral("readAtMs"), readAtMs},
                                {QStringLiteral("answer"), QString::fromUtf8(answer)}});
    while (all.size() > kCommandsPerHost) {
        auto oldest = all.begin();
        for (auto it = all.begin(); it != all.end(); ++it) {
            if (it.value()[QLatin1String("readAtMs")].toInteger() <
                oldest.value()[QLatin1String("readAtMs")].toInteger())
                oldest = it;
        }
        all.erase(oldest);
    }
    if (const auto error = AtomicFile::write(fileOf(host), QJsonDocument(all).toJson()))
        return error->message;
    return {};
}

std::optional<CachedAnswer> RemoteHostCache::load(const QString& host,
                                                  const QStringList& command) const {
    const QJsonObject entry =
        readFile(fileOf(host)).value(command.join(QLatin1Char(' '))).toObject();
    JsonFields f;
    const std::optional<QString> answer = f.string(entry, "answer");
    const std::optional<std::int64_t> readAt = f.int64(entry, "readAtMs");
    if (!answer || !readAt) return std::nullopt;
    return CachedAnswer{answer->toUtf8(), *readAt};
}

}  // namespace qm::hosts
