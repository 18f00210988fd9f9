#pragma once

#include <map>
#include <utility>

#include "accounts/SecretBackend.h"

namespace qm {

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

    void failWith(std::optional<SecretStatus> status) { failure_ = std::move(status); }
    const std::map<std::pair<QString, QString>, QByteArray>& items() const { return items_; }

private:
    std::map<std::pair<QString, QString>, QByteArray> items_;
    std::optional<SecretStatus> failure_;
};

}  // namespace qm
