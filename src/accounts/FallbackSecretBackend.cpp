#include "accounts/FallbackSecretBackend.h"

namespace qm {

FallbackSecretBackend::FallbackSecretBackend(std::shared_ptr<SecretBackend> primary,
                                             std::shared_ptr<SecretBackend> secondary)
    : primary_(std::move(primary)), secondary_(std::move(secondary)) {}

SecretStatus FallbackSecretBackend::add(const QString& service, const QString& account,
                                        const QByteArray& value) {
    return primary_->add(service, account, value);
}

SecretStatus FallbackSecretBackend::update(const QString& service, const QString& account,
                                           const QByteArray& value) {
    return primary_->update(service, account, value);
}

SecretStatus FallbackSecretBackend::copy(const QString& service, const QString& account,
                                         QByteArray& value) {
    const SecretStatus status = primary_->copy(service, account, value);
    if (status.code != kSecretItemNotFound) return status;
    return secondary_->copy(service, account, value);
}

SecretStatus FallbackSecretBackend::remove(const QString& service, const QString& account) {
    const SecretStatus primary = primary_->remove(service, account);
    if (!primary.ok() && primary.code != kSecretItemNotFound) return primary;
    const SecretStatus secondary = secondary_->remove(service, account);
    if (!secondary.ok() && secondary.code != kSecretItemNotFound) return secondary;
    return primary.ok() || secondary.ok() ? SecretStatus{} : SecretStatus{kSecretItemNotFound, {}};
}

std::optional<QStringList> FallbackSecretBackend::accounts(const QString& service) {
    std::optional<QStringList> primary = primary_->accounts(service);
    const std::optional<QStringList> secondary = secondary_->accounts(service);
    if (!primary || !secondary) return std::nullopt;
    for (const QString& name : *secondary)
        if (!primary->contains(name)) primary->append(name);
    return primary;
}

}  // namespace qm
