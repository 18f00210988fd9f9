#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "relay/GeminiRelayHttp.h"

// Which of the user's Gemini accounts serves a relay request, decided from the relay key the
// client sent. Clients never hold a real key: the relay swaps theirs for the account's own.
namespace qm {

struct GeminiRelayAccountResolution {
    std::optional<QString> accountId;
    std::optional<QString> accountAlias;
    // The alias text after the prefix for prefix keys, the account's alias for custom keys.
    std::optional<QString> aliasUsed;
    std::optional<QString> apiKey;  // trimmed; absent when not stored, blank or unreadable
    bool missingCredentials = false;
    std::optional<QString> keychainError;
    bool operator==(const GeminiRelayAccountResolution&) const = default;
};

namespace GeminiRelayAccounts {

// What resolution needs of one Gemini account record, in the account list's order.
struct Candidate {
    QString id;
    QString alias;
    bool isPrimary = false;
    std::optional<QString> customRelayKey;
    bool operator==(const Candidate&) const = default;
};

// The outcome of reading an account's secret: a value, nothing stored, or an error text.
struct SecretRead {
    std::optional<QString> value;
    std::optional<QString> error;
};
using SecretReader = std::function<SecretRead(const QString& accountId)>;

// Header "x-goog-api-key", then the first query item named "key" (any case), then
// "Authorization: Bearer ..."; the first non-blank one wins.
std::optional<QString> extractCredential(const GeminiHttpRequest& request);

GeminiRelayAccountResolution resolveAccount(const std::optional<QString>& keyValue,
                                            const std::vector<Candidate>& accounts,
                                            const SecretReader& readSecret);

// "default" or "primary" (any case): the first primary account, else the first account.
std::optional<Candidate> defaultAccount(const QString& alias,
                                        const std::vector<Candidate>& accounts);

GeminiRelayAccountResolution resolution(const Candidate& account,
                                        const std::optional<QString>& aliasUsed,
                                        const SecretReader& readSecret);

// The texts of the two 401 answers and the 500 answer for a key that cannot be read.
QString missingCredentialsMessage();
QString noMatchMessage();
QString keyUnavailableMessage();

}  // namespace GeminiRelayAccounts
}  // namespace qm
