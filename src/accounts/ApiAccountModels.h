#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// The API account records kept in config.json. Secret keys are never part of them: they live
// in the secret store under the account's id.
namespace qm {

enum class ApiAccountProvider { gemini, anthropic, openAi, grok };

inline constexpr std::array<ApiAccountProvider, 4> kAllApiAccountProviders{
    ApiAccountProvider::gemini, ApiAccountProvider::anthropic, ApiAccountProvider::openAi,
    ApiAccountProvider::grok};

// "gemini", "anthropic", "openAI", "grok".
QString rawValue(ApiAccountProvider provider);
std::optional<ApiAccountProvider> apiAccountProviderFromRaw(const QString& raw);

struct GeminiAccount {
    QString id;
    QString alias;
    QString keyPreview;
    std::optional<QString> projectId;
    bool isPrimary = false;
    bool isActive = true;
    std::int64_t createdAtMs = 0;
    std::optional<std::int64_t> lastUsedAtMs;
    double dailyBudgetUsd = 0;
    double monthlyBudgetUsd = 0;
    int alertThresholdPct = 80;
    std::optional<QString> lastAlertedWarnKey;
    std::optional<QString> lastAlertedMaxKey;
    std::optional<QString> customRelayKey;
    bool operator==(const GeminiAccount&) const = default;
};

// Anthropic and OpenAI accounts share one shape.
struct AdminApiAccount {
    QString id;
    QString alias;
    QString keyPreview;
    std::optional<QString> organizationId;
    bool isPrimary = false;
    bool isActive = true;
    std::int64_t createdAtMs = 0;
    std::optional<std::int64_t> lastUsedAtMs;
    double dailyBudgetUsd = 0;
    double monthlyBudgetUsd = 0;
    int alertThresholdPct = 80;
    bool operator==(const AdminApiAccount&) const = default;
};
using AnthropicApiAccount = AdminApiAccount;
using OpenAiApiAccount = AdminApiAccount;

struct GrokApiAccount {
    QString id;
    QString alias;
    QString keyPreview;
    std::optional<QString> keyName;
    std::optional<QString> userId;
    std::optional<QString> teamId;
    QStringList allowedModels;
    bool isPrimary = false;
    bool isActive = true;
    std::int64_t createdAtMs = 0;
    std::optional<std::int64_t> lastUsedAtMs;
    bool operator==(const GrokApiAccount&) const = default;
};

struct ApiAccountStorageData {
    std::vector<GeminiAccount> geminiAccounts;
    std::optional<QString> selectedGeminiAccountId;
    std::vector<AnthropicApiAccount> anthropicApiAccounts;
    std::optional<QString> selectedAnthropicApiAccountId;
    std::vector<OpenAiApiAccount> openAiApiAccounts;
    std::optional<QString> selectedOpenAiApiAccountId;
    std::vector<GrokApiAccount> grokApiAccounts;
    std::optional<QString> selectedGrokApiAccountId;
    bool operator==(const ApiAccountStorageData&) const = default;

    std::optional<QString>& selectedId(ApiAccountProvider provider);
    const std::optional<QString>& selectedId(ApiAccountProvider provider) const;
};

// The provider-neutral row of one account.
struct ApiAccountSummary {
    QString id;
    QString alias;
    QString keyPreview;
    std::optional<QString> detail;
    bool isPrimary = false;
    bool isActive = true;
    std::int64_t createdAtMs = 0;
    std::optional<std::int64_t> lastUsedAtMs;
    bool operator==(const ApiAccountSummary&) const = default;
};

ApiAccountSummary summary(const GeminiAccount& account);
ApiAccountSummary summary(const AdminApiAccount& account);
// Detail: the first present of teamId, keyName, userId.
ApiAccountSummary summary(const GrokApiAccount& account);

std::vector<ApiAccountSummary> summaries(const ApiAccountStorageData& data,
                                         ApiAccountProvider provider);

namespace ApiAccounts {

// A random UUID without hyphens, lower case: 32 hexadecimal characters.
QString newId();
// First four, "****", last four for keys of 9 or more characters; otherwise one "*" each.
QString keyPreview(const QString& key);
// Trims white space and line breaks from both ends.
QString trimmed(const QString& text);

}  // namespace ApiAccounts
}  // namespace qm
