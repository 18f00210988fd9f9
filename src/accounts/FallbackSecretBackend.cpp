#include "accounts/FallbackSecretBackend.h"

namespace qm {

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

}  // namespace qm
