#pragma once

#include "accounts/SecretBackend.h"

namespace qm {

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

}  // namespace qm
