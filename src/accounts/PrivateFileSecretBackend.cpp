#include "accounts/PrivateFileSecretBackend.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstring>

#include "core/AtomicFile.h"
#include "core/SharedFile.h"

namespace qm {

PrivateFileSecretBackend::PrivateFileSecretBackend(QString path) : path_(std::move(path)) {}

QString PrivateFileSecretBackend::pathIn(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("api-keys.json"));
}

QString PrivateFileSecretBackend::description() const {
    return QStringLiteral("the private file ") + path_;
}

std::optional<SecretStatus> PrivateFileSecretBackend::readItems(Items& items) const {
    const QByteArray name = QFile::encodeName(path_);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0) {
        if (errno == ENOENT) return std::nullopt;
        const int code = errno;
        return SecretStatus{
            code, path_ + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code))};
    }
    // Someone loosened the mode: a key file stays readable by its owner alone.
    if ((info.st_mode & 077) != 0) ::chmod(name.constData(), 0600);

    // A regular file only, so nothing planted in its place can hang the program.
    std::optional<FileError> error;
    const std::optional<QByteArray> read = readRegularFile(path_, 16 << 20, &error);
    if (!read) return SecretStatus{error->code, error->message};
    const QByteArray& bytes = *read;
    if (bytes.isEmpty()) return std::nullopt;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    const SecretStatus corrupt{
        EIO, QStringLiteral("The key file ") + path_ + QStringLiteral(" could not be decoded")};
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) return corrupt;
    const QJsonObject root = document.object();
    for (auto service = root.begin(); service != root.end(); ++service) {
        if (!service->isObject()) return corrupt;
        const QJsonObject accounts = service->toObject();
        for (auto account = accounts.begin(); account != accounts.end(); ++account) {
            if (!account->isString()) return corrupt;
            items[{service.key(), account.key()}] =
                QByteArray::fromBase64(account->toString().toLatin1());
        }
    }
    return std::nullopt;
}

SecretStatus PrivateFileSecretBackend::writeItems(const Items& items) const {
    QJsonObject root;
    for (const auto& [key, value] : items) {
        QJsonObject accounts = root.value(key.first).toObject();
        accounts.insert(key.second, QString::fromLatin1(value.toBase64()));
        root.insert(key.first, accounts);
    }
    const QString folder = QFileInfo(path_).absolutePath();
    if (makePrivateFolder(folder)) {
        return {EIO, QStringLiteral("Could not create the folder ") + folder};
    }
    if (const std::optional<FileError> error =
            AtomicFile::write(path_, QJsonDocument(root).toJson(QJsonDocument::Indented), 0600)) {
        return {error->code, error->message};
    }
    return {};
}

SecretStatus PrivateFileSecretBackend::change(const std::function<SecretStatus(Items&)>& edit) {
    // Read, change and replace under the file's lock, so two processes adding keys at once
    // both keep theirs.
    std::optional<FileError> lockError;
    const FileLock lock = FileLock::acquire(path_, &lockError);
    if (!lock.held()) return {lockError->code, lockError->message};
    Items items;
    if (const auto error = readItems(items)) return *error;
    const SecretStatus status = edit(items);
    if (!status.ok()) return status;
    return writeItems(items);
}

std::optional<QStringList> PrivateFileSecretBackend::accounts(const QString& service) {
    Items items;
    if (readItems(items)) return std::nullopt;
    QStringList names;
    for (const auto& [key, value] : items)
        if (key.first == service) names.append(key.second);
    return names;
}

SecretStatus PrivateFileSecretBackend::add(const QString& service, const QString& account,
                                           const QByteArray& value) {
    return change([&](Items& items) -> SecretStatus {
        if (!items.try_emplace({service, account}, value).second) return {kSecretDuplicateItem, {}};
        return {};
    });
}

SecretStatus PrivateFileSecretBackend::update(const QString& service, const QString& account,
                                              const QByteArray& value) {
    return change([&](Items& items) -> SecretStatus {
        const auto it = items.find({service, account});
        if (it == items.end()) return {kSecretItemNotFound, {}};
        it->second = value;
        return {};
    });
}

SecretStatus PrivateFileSecretBackend::copy(const QString& service, const QString& account,
                                            QByteArray& value) {
    Items items;
    if (const auto error = readItems(items)) return *error;
    const auto it = items.find({service, account});
    if (it == items.end()) return {kSecretItemNotFound, {}};
    value = it->second;
    return {};
}

SecretStatus PrivateFileSecretBackend::remove(const QString& service, const QString& account) {
    return change([&](Items& items) -> SecretStatus {
        if (items.erase({service, account}) == 0) return {kSecretItemNotFound, {}};
        return {};
    });
}

}  // namespace qm
