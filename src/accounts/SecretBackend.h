#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

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

}  // namespace qm
