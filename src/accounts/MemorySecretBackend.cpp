#include "accounts/MemorySecretBackend.h"

namespace qm {

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

}  // namespace qm
