#include "accounts/KeychainStore.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <cerrno>
#include <cstring>

#include "core/AtomicFile.h"
#include "core/SharedFile.h"

namespace qm {

QString KeychainStoreError::description() const {
    const QString detail = platformMessage && !platformMessage->isEmpty()
                               ? *platformMessage
                               : QStringLiteral("OSStatus ") + QString::number(status);
    return QStringLiteral("Keychain operation failed: ") + detail;
}

// --- memory ---

SecretStatus MemorySecretBackend::add(const QString& service, const QString& account,
                                      const QByteArray& value) {
    if (m_failure) return *m_failure;
    if (!m_items.try_emplace({service, account}, value).second) return {kSecretDuplicateItem, {}};
    return {};
}

SecretStatus MemorySecretBackend::update(const QString& service, const QString& account,
                                         const QByteArray& value) {
    if (m_failure) return *m_failure;
    const auto it = m_items.find({service, account});
    if (it == m_items.end()) return {kSecretItemNotFound, {}};
    it->second = value;
    return {};
}

SecretStatus MemorySecretBackend::copy(const QString& service, const QString& account,
                                       QByteArray& value) {
    if (m_failure) return *m_failure;
    const auto it = m_items.find({service, account});
    if (it == m_items.end()) return {kSecretItemNotFound, {}};
    value = it->second;
    return {};
}

SecretStatus MemorySecretBackend::remove(const QString& service, const QString& account) {
    if (m_failure) return *m_failure;
    return m_items.erase({service, account}) ? SecretStatus{}
                                             : SecretStatus{kSecretItemNotFound, {}};
}

std::optional<QStringList> MemorySecretBackend::accounts(const QString& service) {
    if (m_failure) return std::nullopt;
    QStringList names;
    for (const auto& [key, value] : m_items)
        if (key.first == service) names.append(key.second);
    return names;
}

// --- private file ---

PrivateFileSecretBackend::PrivateFileSecretBackend(QString path) : m_path(std::move(path)) {}

QString PrivateFileSecretBackend::pathIn(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("api-keys.json"));
}

QString PrivateFileSecretBackend::description() const {
    return QStringLiteral("the private file ") + m_path;
}

std::optional<SecretStatus> PrivateFileSecretBackend::readItems(Items& items) const {
    const QByteArray name = QFile::encodeName(m_path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0) {
        if (errno == ENOENT) return std::nullopt;
        const int code = errno;
        return SecretStatus{
            code, m_path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code))};
    }
    // Someone loosened the mode: a key file stays readable by its owner alone.
    if ((info.st_mode & 077) != 0) ::chmod(name.constData(), 0600);

    // A regular file only, so nothing planted in its place can hang the program.
    std::optional<FileError> error;
    const std::optional<QByteArray> read = readRegularFile(m_path, 16 << 20, &error);
    if (!read) return SecretStatus{error->code, error->message};
    const QByteArray& bytes = *read;
    if (bytes.isEmpty()) return std::nullopt;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    const SecretStatus corrupt{
        EIO, QStringLiteral("The key file ") + m_path + QStringLiteral(" could not be decoded")};
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
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        return {EIO, QStringLiteral("Could not create the folder ") + folder};
    }
    if (const std::optional<FileError> error =
            AtomicFile::write(m_path, QJsonDocument(root).toJson(QJsonDocument::Indented), 0600)) {
        return {error->code, error->message};
    }
    return {};
}

SecretStatus PrivateFileSecretBackend::change(const std::function<SecretStatus(Items&)>& edit) {
    // Read, change and replace under the file's lock, so two processes adding keys at once
    // both keep theirs.
    std::optional<FileError> lockError;
    const FileLock lock = FileLock::acquire(m_path, &lockError);
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

// --- fallback ---

FallbackSecretBackend::FallbackSecretBackend(std::shared_ptr<SecretBackend> primary,
                                             std::shared_ptr<SecretBackend> secondary)
    : m_primary(std::move(primary)), m_secondary(std::move(secondary)) {}

SecretStatus FallbackSecretBackend::add(const QString& service, const QString& account,
                                        const QByteArray& value) {
    return m_primary->add(service, account, value);
}

SecretStatus FallbackSecretBackend::update(const QString& service, const QString& account,
                                           const QByteArray& value) {
    return m_primary->update(service, account, value);
}

SecretStatus FallbackSecretBackend::copy(const QString& service, const QString& account,
                                         QByteArray& value) {
    const SecretStatus status = m_primary->copy(service, account, value);
    if (status.code != kSecretItemNotFound) return status;
    return m_secondary->copy(service, account, value);
}

SecretStatus FallbackSecretBackend::remove(const QString& service, const QString& account) {
    const SecretStatus primary = m_primary->remove(service, account);
    if (!primary.ok() && primary.code != kSecretItemNotFound) return primary;
    const SecretStatus secondary = m_secondary->remove(service, account);
    if (!secondary.ok() && secondary.code != kSecretItemNotFound) return secondary;
    return primary.ok() || secondary.ok() ? SecretStatus{} : SecretStatus{kSecretItemNotFound, {}};
}

std::optional<QStringList> FallbackSecretBackend::accounts(const QString& service) {
    std::optional<QStringList> primary = m_primary->accounts(service);
    const std::optional<QStringList> secondary = m_secondary->accounts(service);
    if (!primary || !secondary) return std::nullopt;
    for (const QString& name : *secondary)
        if (!primary->contains(name)) primary->append(name);
    return primary;
}

// --- the store ---

KeychainStore::KeychainStore(std::shared_ptr<SecretBackend> backend, QString service)
    : m_backend(std::move(backend)), m_service(std::move(service)) {}

KeychainStore KeychainStore::forDataDirectory(const QString& dataDirectory) {
    const QString filePath = PrivateFileSecretBackend::pathIn(dataDirectory);
    auto file = std::make_shared<PrivateFileSecretBackend>(filePath);
    if (!SecretServiceBackend::isAvailable()) return KeychainStore(file);
    auto service = std::make_shared<SecretServiceBackend>();
    if (!QFileInfo::exists(filePath)) return KeychainStore(service);
    return KeychainStore(std::make_shared<FallbackSecretBackend>(service, file));
}

std::optional<KeychainStoreError> KeychainStore::save(const QString& apiKey,
                                                      const QString& account) const {
    const QByteArray bytes = apiKey.toUtf8();
    const SecretStatus added = m_backend->add(m_service, account, bytes);
    if (added.ok()) return std::nullopt;
    if (added.code == kSecretDuplicateItem) {
        const SecretStatus updated = m_backend->update(m_service, account, bytes);
        if (updated.ok()) return std::nullopt;
        return KeychainStoreError{updated.code, updated.message};
    }
    return KeychainStoreError{added.code, added.message};
}

KeychainRead KeychainStore::read(const QString& account) const {
    QByteArray bytes;
    const SecretStatus status = m_backend->copy(m_service, account, bytes);
    if (status.code == kSecretItemNotFound) return {};
    if (!status.ok()) return {std::nullopt, KeychainStoreError{status.code, status.message}};
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) return {};
    return {std::move(text), std::nullopt};
}

SecretStatus KeychainStore::deleteItem(const QString& account) const {
    return m_backend->remove(m_service, account);
}

}  // namespace qm
