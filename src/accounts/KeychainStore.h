#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

#include "accounts/SecretBackend.h"

namespace qm {

struct KeychainStoreError {
    int status = 0;
    std::optional<QString> platformMessage;
    bool operator==(const KeychainStoreError&) const = default;

    // "Keychain operation failed: " and the backend's message, or "OSStatus <status>".
    QString description() const;
};

// The result of reading a key: the value, nothing (no item), or an error.
struct KeychainRead {
    std::optional<QString> value;
    std::optional<KeychainStoreError> error;
};

// The account keys, one item per account id. A cheap value: copies share the backend.
class KeychainStore {
public:
    static inline const QString kDefaultService = QStringLiteral("Quotameter");

    explicit KeychainStore(std::shared_ptr<SecretBackend> backend,
                           QString service = kDefaultService);
    // The Secret Service when one answers (reading keys it lacks from the private file, should
    // that exist), otherwise the private file in `dataDirectory`.
    static KeychainStore forDataDirectory(const QString& dataDirectory);

    const QString& service() const { return service_; }
    SecretBackend::Kind backendKind() const { return backend_->kind(); }
    QString backendDescription() const { return backend_->description(); }
    const std::shared_ptr<SecretBackend>& backend() const { return backend_; }

    // Creates the item or replaces its content with the key's UTF-8 bytes (untrimmed).
    std::optional<KeychainStoreError> save(const QString& apiKey, const QString& account) const;
    // No item, or bytes that are not UTF-8, read as no value.
    KeychainRead read(const QString& account) const;
    // The raw outcome; callers decide whether a missing item matters.
    SecretStatus deleteItem(const QString& account) const;
    // The accounts that have a key, when the backend can tell.
    std::optional<QStringList> storedAccounts() const { return backend_->accounts(service_); }

private:
    std::shared_ptr<SecretBackend> backend_;
    QString service_;
};

}  // namespace qm
