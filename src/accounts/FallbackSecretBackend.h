#pragma once

#include <memory>

#include "accounts/SecretBackend.h"

namespace qm {

// Writes go to `primary`; a key that `primary` does not have is still read from `secondary`,
// so keys saved to the private file while no Secret Service answered stay usable once one
// does. Deleting removes the item from both.
class FallbackSecretBackend : public SecretBackend {
public:
    FallbackSecretBackend(std::shared_ptr<SecretBackend> primary,
                          std::shared_ptr<SecretBackend> secondary);

    Kind kind() const override { return primary_->kind(); }
    QString description() const override { return primary_->description(); }
    SecretStatus add(const QString& service, const QString& account,
                     const QByteArray& value) override;
    SecretStatus update(const QString& service, const QString& account,
                        const QByteArray& value) override;
    SecretStatus copy(const QString& service, const QString& account, QByteArray& value) override;
    SecretStatus remove(const QString& service, const QString& account) override;
    std::optional<QStringList> accounts(const QString& service) override;

private:
    std::shared_ptr<SecretBackend> primary_;
    std::shared_ptr<SecretBackend> secondary_;
};

}  // namespace qm
