#include "core/UsageModels.h"

namespace qm {

QString rawValue(ProviderKind kind) {
    switch (kind) {
        case ProviderKind::codex:
            return QStringLiteral("codex");
        case ProviderKind::grok:
            return QStringLiteral("grok");
        case ProviderKind::gemini:
            return QStringLiteral("gemini");
        case ProviderKind::claudeCode:
            return QStringLiteral("claudeCode");
    }
    return {};
}

QString providerName(ProviderKind kind) {
    switch (kind) {
        case ProviderKind::codex:
            return QStringLiteral("Codex");
        case ProviderKind::grok:
            return QStringLiteral("Grok");
        case ProviderKind::gemini:
            return QStringLiteral("Gemini");
        case ProviderKind::claudeCode:
            return QStringLiteral("Claude Code");
    }
    return {};
}

std::optional<ProviderKind> providerKindFromRaw(const QString& raw) {
    for (ProviderKind kind : kAllProviderKinds) {
        if (rawValue(kind) == raw) return kind;
    }
    return std::nullopt;
}

QString rawValue(UsageStatusLevel level) {
    switch (level) {
        case UsageStatusLevel::good:
            return QStringLiteral("good");
        case UsageStatusLevel::warn:
            return QStringLiteral("warn");
        case UsageStatusLevel::high:
            return QStringLiteral("high");
        case UsageStatusLevel::bad:
            return QStringLiteral("bad");
        case UsageStatusLevel::unknown:
            return QStringLiteral("unknown");
    }
    return {};
}

UsageStatusLevel claudeSessionLevel(double sessionPct) {
    if (sessionPct >= 90) return UsageStatusLevel::bad;
    if (sessionPct >= 75) return UsageStatusLevel::warn;
    return UsageStatusLevel::good;
}

std::optional<UsageStatusLevel> statusLevelFromRaw(const QString& raw) {
    for (auto level : {UsageStatusLevel::good, UsageStatusLevel::warn, UsageStatusLevel::high,
                       UsageStatusLevel::bad, UsageStatusLevel::unknown}) {
        if (rawValue(level) == raw) return level;
    }
    return std::nullopt;
}

ProviderUsage ProviderUsage::placeholder(ProviderKind kind) {
    ProviderUsage usage;
    usage.kind = kind;
    usage.providerName = qm::providerName(kind);
    usage.statusText = QStringLiteral("No local data");
    usage.statusLevel = UsageStatusLevel::unknown;
    usage.dataSourceLabel = QStringLiteral("Local files");
    return usage;
}

}  // namespace qm
