#include "accounts/ApiAccountModels.h"

#include <QUuid>

namespace qm {

QString rawValue(ApiAccountProvider provider) {
    switch (provider) {
        case ApiAccountProvider::gemini:
            return QStringLiteral("gemini");
        case ApiAccountProvider::anthropic:
            return QStringLiteral("anthropic");
        case ApiAccountProvider::openAi:
            return QStringLiteral("openAI");
        case ApiAccountProvider::grok:
            return QStringLiteral("grok");
    }
    return {};
}

std::optional<ApiAccountProvider> apiAccountProviderFromRaw(const QString& raw) {
    for (ApiAccountProvider provider : kAllApiAccountProviders) {
        if (rawValue(provider) == raw) return provider;
    }
    return std::nullopt;
}

std::optional<QString>& ApiAccountStorageData::selectedId(ApiAccountProvider provider) {
    switch (provider) {
        case ApiAccountProvider::gemini:
            return selectedGeminiAccountId;
        case ApiAccountProvider::anthropic:
            return selectedAnthropicApiAccountId;
        case ApiAccountProvider::openAi:
            return selectedOpenAiApiAccountId;
        case ApiAccountProvider::grok:
            break;
    }
    return selectedGrokApiAccountId;
}

const std::optional<QString>& ApiAccountStorageData::selectedId(ApiAccountProvider provider) const {
    return const_cast<ApiAccountStorageData*>(this)->selectedId(provider);
}

ApiAccountSummary summary(const GeminiAccount& a) {
    return {a.id,        a.alias,    a.keyPreview,  a.projectId,
            a.isPrimary, a.isActive, a.createdAtMs, a.lastUsedAtMs};
}

ApiAccountSummary summary(const AdminApiAccount& a) {
    return {a.id,        a.alias,    a.keyPreview,  a.organizationId,
            a.isPrimary, a.isActive, a.createdAtMs, a.lastUsedAtMs};
}

ApiAccountSummary summary(const GrokApiAccount& a) {
    // The first of team, key name and user that is there.
    ApiAccountSummary row{a.id,        a.alias,    a.keyPreview,  a.userId,
                          a.isPrimary, a.isActive, a.createdAtMs, a.lastUsedAtMs};
    if (a.keyName) row.detail = a.keyName;
    if (a.teamId) row.detail = a.teamId;
    return row;
}

namespace {

template <typename Account>
std::vector<ApiAccountSummary> summariesOf(const std::vector<Account>& accounts) {
    std::vector<ApiAccountSummary> rows;
    rows.reserve(accounts.size());
    for (const Account& account : accounts) rows.push_back(summary(account));
    return rows;
}

}  // namespace

std::vector<ApiAccountSummary> summaries(const ApiAccountStorageData& data,
                                         ApiAccountProvider provider) {
    switch (provider) {
        case ApiAccountProvider::gemini:
            return summariesOf(data.geminiAccounts);
        case ApiAccountProvider::anthropic:
            return summariesOf(data.anthropicApiAccounts);
        case ApiAccountProvider::openAi:
            return summariesOf(data.openAiApiAccounts);
        case ApiAccountProvider::grok:
            break;
    }
    return summariesOf(data.grokApiAccounts);
}

namespace ApiAccounts {

QString newId() {
    return QUuid::createUuid().toString(QUuid::Id128).toLower();
}

QString keyPreview(const QString& key) {
    // Counted in characters: a character outside the basic plane is two UTF-16 units, and
    // cutting between them would leave half a character in the preview.
    const QList<uint> characters = key.toUcs4();
    const auto* text = reinterpret_cast<const char32_t*>(characters.constData());
    const qsizetype count = characters.size();
    if (count >= 9) {
        return QString::fromUcs4(text, 4) + QStringLiteral("****") +
               QString::fromUcs4(text + count - 4, 4);
    }
    return QString(count, QLatin1Char('*'));
}

QString trimmed(const QString& text) {
    return text.trimmed();
}

}  // namespace ApiAccounts
}  // namespace qm
