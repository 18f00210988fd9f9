#pragma once

#include <functional>
#include <map>
#include <utility>

#include "accounts/SecretBackend.h"

namespace qm {

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

    QString path_;
};

}  // namespace qm
