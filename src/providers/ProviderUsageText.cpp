#include "providers/ProviderUsageText.h"

#include <QCoreApplication>

namespace qm::ProviderUsageText {
namespace {

// The texts the accounts window shows, open to translation under one context.
QString text(const char* source) {
    return QCoreApplication::translate("ProviderUsageText", source);
}

}  // namespace

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
            return text("Project ID");
        case ApiAccountProvider::anthropic:
        case ApiAccountProvider::openAi:
            return text("Organization ID");
        case ApiAccountProvider::grok:
            break;
    }
    return text("Team ID");
}

QString usageDescription(ApiAccountProvider provider) {
    switch (provider) {
        case ApiAccountProvider::gemini:
            return text("Model validation only; usage report API is unavailable");
        case ApiAccountProvider::anthropic:
            return text("Admin usage report by model");
        case ApiAccountProvider::openAi:
            return text("Admin completions and embeddings usage");
        case ApiAccountProvider::grok:
            break;
    }
    return text("Key info only; usage report API is unavailable");
}

bool hasUsageReport(ApiAccountProvider provider) {
    return provider == ApiAccountProvider::anthropic || provider == ApiAccountProvider::openAi;
}

QString validationText(ApiAccountProvider provider, const ProviderValidation& v) {
    if (!v.ok) return v.errorMessage.value_or(text("Validation failed."));
    if (v.organizationId && !v.organizationId->isEmpty())
        return text("Valid %1 key. Organization: %2").arg(displayName(provider), *v.organizationId);
    if (v.message && !v.message->isEmpty()) return *v.message;
    return text("Valid %1 key.").arg(displayName(provider));
}

QString modelListText(const QStringList& models) {
    QString text = models.mid(0, 5).join(QStringLiteral(", "));
    if (models.size() > 5) text += QStringLiteral(" +") + QString::number(models.size() - 5);
    return text;
}

QStringList keyInfoLines(const ProviderKeyInfo& info) {
    QStringList lines;
    const auto add = [&lines](const char* label, const QString& value) {
        lines.append(text("%1: %2").arg(text(label), value));
    };
    if (info.name && !info.name->isEmpty()) add("Name", *info.name);
    if (info.teamId && !info.teamId->isEmpty()) add("Team", *info.teamId);
    if (info.userId && !info.userId->isEmpty()) add("User", *info.userId);
    if (info.disabled) add("Disabled", *info.disabled ? text("Yes") : text("No"));
    if (info.modelCount) add("Models", QString::number(*info.modelCount));
    if (!info.allowedModels.isEmpty()) add("Allowed", modelListText(info.allowedModels));
    if (!info.availableModels.isEmpty()) add("Available", modelListText(info.availableModels));
    return lines;
}

}  // namespace qm::ProviderUsageText
