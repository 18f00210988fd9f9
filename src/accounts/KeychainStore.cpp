#include "accounts/KeychainStore.h"

#include <QFileInfo>
#include <QStringDecoder>

#include "accounts/FallbackSecretBackend.h"
#include "accounts/PrivateFileSecretBackend.h"
#include "accounts/SecretServiceBackend.h"

namespace qm {

QString KeychainStoreError::description() const {
    const QString detail = platformMessage && !platformMessage->isEmpty()
                               ? *platformMessage
                               : QStringLiteral("OSStatus ") + QString::number(status);
    return QStringLiteral("Keychain operation failed: ") + detail;
}

KeychainStore::KeychainStore(std::shared_ptr<SecretBackend> backend, QString service)
    : backend_(std::move(backend)), service_(std::move(service)) {}

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
    const SecretStatus added = backend_->add(service_, account, bytes);
    if (added.ok()) return std::nullopt;
    if (added.code == kSecretDuplicateItem) {
        const SecretStatus updated = backend_->update(service_, account, bytes);
        if (updated.ok()) return std::nullopt;
        return KeychainStoreError{updated.code, updated.message};
    }
    return KeychainStoreError{added.code, added.message};
}

KeychainRead KeychainStore::read(const QString& account) const {
    QByteArray bytes;
    const SecretStatus status = backend_->copy(service_, account, bytes);
    if (status.code == kSecretItemNotFound) return {};
    if (!status.ok()) return {std::nullopt, KeychainStoreError{status.code, status.message}};
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) return {};
    return {std::move(text), std::nullopt};
}

SecretStatus KeychainStore::deleteItem(const QString& account) const {
    return backend_->remove(service_, account);
}

}  // namespace qm
