#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/UsageBucket.h"

// The one result shape that every provider client hands back, and the shared rules that turn
// an HTTP failure into the one-line message shown to the user.
namespace qm {

// What a provider tells about a key (xAI, Gemini).
struct ProviderKeyInfo {
    std::optional<QString> name;
    std::optional<QString> userId;
    std::optional<QString> teamId;
    std::optional<bool> disabled;
    std::optional<std::int64_t> createdAt;  // ms since the epoch
    QStringList allowedModels;
    QStringList allowedAcls;
    QStringList availableModels;
    std::optional<int> modelCount;
    bool operator==(const ProviderKeyInfo&) const = default;
};

struct ProviderValidation {
    bool ok = false;
    std::optional<QString> errorMessage;
    std::optional<QString> organizationId;
    std::optional<ProviderKeyInfo> keyInfo;
    std::optional<QString> message;
    bool operator==(const ProviderValidation&) const = default;

    static ProviderValidation failure(QString message) {
        ProviderValidation v;
        v.errorMessage = std::move(message);
        return v;
    }
};

struct UsageFetchResult {
    bool ok = false;
    std::optional<QString> errorMessage;
    std::vector<UsageBucket> buckets;
    std::optional<ProviderKeyInfo> keyInfo;
    std::optional<QString> message;
    QStringList warnings;
    bool operator==(const UsageFetchResult&) const = default;

    static UsageFetchResult failure(QString message) {
        UsageFetchResult r;
        r.errorMessage = std::move(message);
        return r;
    }
    std::int64_t totalCacheTokens() const;
    std::int64_t totalInputTokens() const;
    std::int64_t totalOutputTokens() const;
    double totalCostUsd() const;
};

enum class ProviderUsageRequestError { invalidUrl, invalidResponse };
// "Provider request URL could not be created." / "Provider returned an invalid response."
QString description(ProviderUsageRequestError error);

namespace ProviderHttp {

// The provider's own error text in a response body: "message", then "error" as text, then the
// "error" object's "message", "type" or "code", then "detail"; the first non-empty text wins.
std::optional<QString> errorMessage(const QByteArray& body);
// "HTTP <status>: <provider text or fallback>".
QString httpError(int statusCode, const QByteArray& body, const QString& fallback);

}  // namespace ProviderHttp

// Sorts by cost, highest first; equal costs by model name.
void sortBuckets(std::vector<UsageBucket>& buckets);

}  // namespace qm
