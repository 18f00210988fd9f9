#include "providers/ProviderUsageText.h"

namespace qm::ProviderUsageText {

QString displayName(ApiAccountProvider provider) {
    switch (provider) {
        case ApiAccountProvider::gemini:
            return QStringLiteral("Gemini");
        case ApiAccountProvider::anthropic:
            return QStringLiteral("Anthropic");
        case ApiAccountProvider::openAi:
            return QStringLiteral("OpenAI");
        case ApiAccountProvider::grok:
            break;
    }
    return QStringLiteral("Grok");
}

QString detailLabel(ApiAccountProvider provider) {
    switch (provider) {
        case ApiAccountProvider::gemini:
            return QStringLiteral("Project ID");
        case ApiAccountProvider::anthropic:
        case ApiAccountProvider::openAi:
            return QStringLiteral("Organization ID");
        case ApiAccountProvider::grok:
            break;
    }
    return QStringLiteral("Team ID");
}

QString usageDescription(ApiAccountProvider provider) {
    switch (provider) {
        case ApiAccountProvider::gemini:
            return QStringLiteral("Model validation only; usage report API is unavailable");
        case ApiAccountProvider::anthropic:
            return QStringLiteral("Admin usage report by model");
        case ApiAccountProvider::openAi:
            return QStringLiteral("Admin completions and embeddings usage");
        case ApiAccountProvider::grok:
            break;
    }
    return QStringLiteral("Key info only; usage report API is unavailable");
}

bool hasUsageReport(ApiAccountProvider provider) {
    return provider == ApiAccountProvider::anthropic || provider == ApiAccountProvider::openAi;
}

QString validationText(ApiAccountProvider provider, const ProviderValidation& v) {
    if (!v.ok) return v.errorMessage.value_or(QStringLiteral("Validation failed."));
    if (v.organizationId && !v.organizationId->isEmpty())
        return QStringLiteral("Valid ") + displayName(provider) +
               QStringLiteral(" key. Organization: ") + *v.organizationId;
    if (v.message && !v.message->isEmpty()) return *v.message;
    return QStringLiteral("Valid ") + displayName(provider) + QStringLiteral(" key.");
}

QString modelListText(const QStringList& models) {
    QString text = models.mid(0, 5).join(QStringLiteral(", "));
    if (models.size() > 5) text += QStringLiteral(" +") + QString::number(models.size() - 5);
    return text;
}

QStringList keyInfoLines(const ProviderKeyInfo& info) {
    QStringList lines;
    const auto add = [&lines](const char* label, const QString& value) {
        lines.append(QLatin1String(label) + QStringLiteral(": ") + value);
    };
    if (info.name && !info.name->isEmpty()) add("Name", *info.name);
    if (info.teamId && !info.teamId->isEmpty()) add("Team", *info.teamId);
    if (info.userId && !info.userId->isEmpty()) add("User", *info.userId);
    if (info.disabled)
        add("Disabled", *info.disabled ? QStringLiteral("Yes") : QStringLiteral("No"));
    if (info.modelCount) add("Models", QString::number(*info.modelCount));
    if (!info.allowedModels.isEmpty()) add("Allowed", modelListText(info.allowedModels));
    if (!info.availableModels.isEmpty()) add("Available", modelListText(info.availableModels));
    return lines;
}

}  // namespace qm::ProviderUsageText
