#include "relay/GeminiRelayAccountResolution.h"

namespace qm::GeminiRelayAccounts {
namespace {

const QString kPrefix = QStringLiteral("quotameter-");

std::optional<QString> nilIfBlank(const QString& text) {
    QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) return std::nullopt;
    return trimmed;
}

}  // namespace

QString missingCredentialsMessage() {
    return QStringLiteral(
        "Missing credentials. Send '?key=quotameter-<alias>' or header 'x-goog-api-key'.");
}

QString noMatchMessage() {
    return QStringLiteral(
        "No Gemini account matches the supplied relay key. Use an existing alias, a custom relay "
        "key, or 'quotameter-default'.");
}

QString keyUnavailableMessage() {
    return QStringLiteral("Stored key is not available in Keychain.");
}

std::optional<QString> extractCredential(const GeminiHttpRequest& request) {
    if (const auto header = request.header(QStringLiteral("x-goog-api-key"))) {
        if (auto value = nilIfBlank(*header)) return value;
    }
    for (const auto& [name, value] : request.queryItems) {
        if (name.compare(QLatin1String("key"), Qt::CaseInsensitive) != 0) continue;
        if (value) {
            if (auto key = nilIfBlank(*value)) return key;
        }
        break;  // only the first "key" item counts
    }
    if (const auto header = request.header(QStringLiteral("authorization"))) {
        const QString value = header->trimmed();
        if (value.startsWith(QLatin1String("Bearer "), Qt::CaseInsensitive)) {
            return nilIfBlank(value.mid(7));
        }
    }
    return std::nullopt;
}

std::optional<Candidate> defaultAccount(const QString& alias,
                                        const std::vector<Candidate>& accounts) {
    if (alias.compare(QLatin1String("default"), Qt::CaseInsensitive) != 0 &&
        alias.compare(QLatin1String("primary"), Qt::CaseInsensitive) != 0) {
        return std::nullopt;
    }
    if (accounts.empty()) return std::nullopt;
    for (const Candidate& account : accounts) {
        if (account.isPrimary) return account;
    }
    return accounts.front();
}

GeminiRelayAccountResolution resolution(const Candidate& account,
                                        const std::optional<QString>& aliasUsed,
                                        const SecretReader& readSecret) {
    GeminiRelayAccountResolution out;
    const SecretRead secret = readSecret ? readSecret(account.id) : SecretRead{};
    if (secret.error) {
        out.keychainError = secret.error;
    } else if (secret.value) {
        out.apiKey = nilIfBlank(*secret.value);
    }
    out.accountId = account.id;
    out.accountAlias = account.alias;
    out.aliasUsed = aliasUsed;
    return out;
}

GeminiRelayAccountResolution resolveAccount(const std::optional<QString>& keyValue,
                                            const std::vector<Candidate>& accounts,
                                            const SecretReader& readSecret) {
    const std::optional<QString> credential = keyValue ? nilIfBlank(*keyValue) : std::nullopt;
    if (!credential) {
        GeminiRelayAccountResolution missing;
        missing.missingCredentials = true;
        return missing;
    }

    for (const Candidate& account : accounts) {
        if (!account.customRelayKey) continue;
        const auto custom = nilIfBlank(*account.customRelayKey);
        if (custom && *custom == *credential) return resolution(account, account.alias, readSecret);
    }

    if (credential->startsWith(kPrefix, Qt::CaseInsensitive)) {
        const QString alias = credential->mid(kPrefix.size()).trimmed();
        GeminiRelayAccountResolution unmatched;
        unmatched.aliasUsed = alias;
        if (alias.isEmpty()) return unmatched;
        for (const Candidate& account : accounts) {
            if (account.alias.compare(alias, Qt::CaseInsensitive) == 0) {
                return resolution(account, alias, readSecret);
            }
        }
        if (const auto fallback = defaultAccount(alias, accounts)) {
            return resolution(*fallback, alias, readSecret);
        }
        return unmatched;
    }
    return {};
}

}  // namespace qm::GeminiRelayAccounts
