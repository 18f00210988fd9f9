#include "accounts/MemorySecretBackend.h"

namespace qm {

SecretStatus MemorySecretBackend::add(const QString& service, const QString& account,
                                      const QByteArray& value) {
    if (failure_) return *failure_;
    if (!items_.try_emplace({service, account}, value).second) return {kSecretDuplicateItem, {}};
    return {};
}

SecretStatus MemorySecretBackend::update(const QString& service, const QString& account,
                                         const QByteArray& value) {
    if (failure_) return *failure_;
    const auto it = items_.find({service, account});
    if (it == items_.end()) return {kSecretItemNotFound, {}};
    it->second = value;
    return {};
}

SecretStatus MemorySecretBackend::copy(const QString& service, const QString& account,
                                       QByteArray& value) {
    if (failure_) return *failure_;
    const auto it = items_.find({service, account});
    if (it == items_.end()) return {kSecretItemNotFound, {}};
    value = it->second;
    return {};
}

SecretStatus MemorySecretBackend::remove(const QString& service, const QString& account) {
    if (failure_) return *failure_;
    return items_.erase({service, account}) ? SecretStatus{}
                                            : SecretStatus{kSecretItemNotFound, {}};
}

std::optional<QStringList> MemorySecretBackend::accounts(const QString& service) {
    if (failure_) return std::nullopt;
    QStringList names;
    for (const auto& [key, value] : items_)
        if (key.first == service) names.append(key.second);
    return names;
}

}  // namespace qm
