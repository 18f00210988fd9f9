#pragma once

#include <QString>
#include <QStringList>

#include "accounts/ApiAccountModels.h"
#include "providers/ProviderModels.h"

// The texts the accounts views show for accounts, validations and usage results, shared by
// the window and quotameter-cli so both say the same.
namespace qm::ProviderUsageText {

QString displayName(ApiAccountProvider provider);       // "Gemini", "Anthropic", "OpenAI", "Grok"
QString detailLabel(ApiAccountProvider provider);       // "Project ID", "Organization ID", ...
QString usageDescription(ApiAccountProvider provider);  // the one-line panel description
bool hasUsageReport(ApiAccountProvider provider);       // Anthropic and OpenAI

// "Valid Anthropic key. Organization: org-1", the message, "Valid <name> key.", or the error.
QString validationText(ApiAccountProvider provider, const ProviderValidation& validation);
// "Name: laptop", "Team: ...", ... for the fields that are present.
QStringList keyInfoLines(const ProviderKeyInfo& info);
// The first five entries joined with ", ", then " +<rest>" when there are more.
QString modelListText(const QStringList& models);

}  // namespace qm::ProviderUsageText
