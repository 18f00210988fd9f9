#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>

namespace qm {

// Outcome codes of the secret backends: success, a duplicate item on add, no such item.
// Any other code is a failure.
inline constexpr int kSecretSuccess = 0;
inline constexpr int kSecretDuplicateItem = -25299;
inline constexpr int kSecretItemNotFound = -25300;

struct SecretStatus {
    int code = kSecretSuccess;
    std::optional<QString> message;  // the backend's own text for a failure, when it has one
    bool ok() const { return code == kSecretSuccess; }
    bool operator==(const SecretStatus&) const = default;
};

struct KeychainStoreError {
    int status = 0;
    std::optional<QString> platformMessage;
    bool operator==(const KeychainStoreError&) const = default;

    // "Keychain operation failed: " and the backend's message, or "OSStatus <status>".
    QString description() const;
};

// Where keys are kept: byte values under the pair (service, account).
class SecretBackend {
public:
    enum class Kind { secretService, privateFile, memory };
    virtual ~SecretBackend() = default;

    virtual Kind kind() const = 0;
    virtual QString description() const = 0;

    // add reports kSecretDuplicateItem when the item exists; update and remove report
    // kSecretItemNotFound when it does not; copy fills `value` on success.
    virtual SecretStatus add(const QString& service, const QString& account,
                             const QByteArray& value) = 0;
    virtual SecretStatus update(const QString& service, const QString& account,
                                const QByteArray& value) = 0;
    virtual SecretStatus copy(const QString& service, const QString& account,
                              QByteArray& value) = 0;
    virtual SecretStatus remove(const QString& service, const QString& account) = 0;
    // The accounts that have an item under `service`, or nothing when the backend cannot
    // list them (or listing failed): callers then leave every item alone.
    virtual std::optional<QStringList> accounts(const QString& service) {
        (void)service;
        return std::nullopt;
    }
};

// Keys in memory only, for tests; `failWith` makes every operation answer with that status.
class MemorySecretBackend : public SecretBackend {
public:
    Kind kind() const override { return Kind::memory; }
    QString description() const override { return QStringLiteral("memory"); }
    SecretStatus add(const QString& service, const QString& account,
                     const QByteArray& value) override;
    SecretStatus update(const QString& service, const QString& account,
                        const QByteArray& value) override;
    SecretStatus copy(const QString& service, const QString& account, QByteArray& value) override;
    SecretStatus remove(const QString& service, const QString& account) override;
    std::optional<QStringList> accounts(const QString& service) override;

    void failWith(std::optional<SecretStatus> status) { m_failure = std::move(status); }
    const std::map<std::pair<QString, QString>, QByteArray>& items() const { return m_items; }

private:
    std::map<std::pair<QString, QString>, QByteArray> m_items;
    std::optional<SecretStatus> m_failure;
};

// Keys in a JSON file readable by the owner only (mode 0600), replaced atomically on every
// change: the store of last resort where no Secret Service answers.
class PrivateFileSecretBackend : public SecretBackend {
public:
    explicit PrivateFileSecretBackend(QString path);
    static QString pathIn(const QString& dataDirectory);  // <dir>/api-keys.json

    Kind kind() const override { return Kind::privateFile; }
    QString description() const override;
    SecretStatus add(const QString& service, const QString& account,
                     const QByteArray& value) override;
    SecretStatus update(const QString& service, const QString& account,
                        const QByteArray& value) override;
    SecretStatus copy(const QString& service, const QString& account, QByteArray& value) override;
    SecretStatus remove(const QString& service, const QString& account) override;
    std::optional<QStringList> accounts(const QString& service) override;

private:
    using Items = std::map<std::pair<QString, QString>, QByteArray>;
    // Applies `edit` to the items read under the file's lock and writes them when it succeeds.
    SecretStatus change(const std::function<SecretStatus(Items&)>& edit);
    // A file that exists but cannot be read is an error, never an empty store: writing over it
    // would lose every key in it.
    std::optional<SecretStatus> readItems(Items& items) const;
    SecretStatus writeItems(const Items& items) const;

    QString m_path;
};

// The freedesktop Secret Service through libsecret (schema "Quotameter", attributes service
// and account). Its calls are synchronous and short; they run on the calling thread.
class SecretServiceBackend : public SecretBackend {
public:
    // True when a Secret Service is running on the session bus right now.
    static bool isAvailable();

    Kind kind() const override { return Kind::secretService; }
    QString description() const override { return QStringLiteral("the Secret Service"); }
    // The service replaces an existing item, so add never reports a duplicate.
    SecretStatus add(const QString& service, const QString& account,
                     const QByteArray& value) override;
    SecretStatus update(const QString& service, const QString& account,
                        const QByteArray& value) override;
    SecretStatus copy(const QString& service, const QString& account, QByteArray& value) override;
    SecretStatus remove(const QString& service, const QString& account) override;
    // Every item of the schema under `service`, locked ones included (their attributes are
    // readable without unlocking).
    std::optional<QStringList> accounts(const QString& service) override;
};

// Writes go to `primary`; a key that `primary` does not have is still read from `secondary`,
// so keys saved to the private file while no Secret Service answered stay usable once one
// does. Deleting removes the item from both.
class FallbackSecretBackend : public SecretBackend {
public:
    FallbackSecretBackend(std::shared_ptr<SecretBackend> primary,
                          std::shared_ptr<SecretBackend> secondary);

    Kind kind() const override { return m_primary->kind(); }
    QString description() const override { return m_primary->description(); }
    SecretStatus add(const QString& service, const QString& account,
                     const QByteArray& value) override;
    SecretStatus update(const QString& service, const QString& account,
                        const QByteArray& value) override;
    SecretStatus copy(const QString& service, const QString& account, QByteArray& value) override;
    SecretStatus remove(const QString& service, const QString& account) override;
    std::optional<QStringList> accounts(const QString& service) override;

private:
    std::shared_ptr<SecretBackend> m_primary;
    std::shared_ptr<SecretBackend> m_secondary;
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

    const QString& service() const { return m_service; }
    SecretBackend::Kind backendKind() const { return m_backend->kind(); }
    QString backendDescription() const { return m_backend->description(); }
    const std::shared_ptr<SecretBackend>& backend() const { return m_backend; }

    // Creates the item or replaces its content with the key's UTF-8 bytes (untrimmed).
    std::optional<KeychainStoreError> save(const QString& apiKey, const QString& account) const;
    // No item, or bytes that are not UTF-8, read as no value.
    KeychainRead read(const QString& account) const;
    // The raw outcome; callers decide whether a missing item matters.
    SecretStatus deleteItem(const QString& account) const;
    // The accounts that have a key, when the backend can tell.
    std::optional<QStringList> storedAccounts() const { return m_backend->accounts(m_service); }

private:
    std::shared_ptr<SecretBackend> m_backend;
    QString m_service;
};

}  // namespace qm
