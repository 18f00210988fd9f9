#include "core/UsageModels.h"

#include <cmath>

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
        case ProviderKind::openCode:
            return QStringLiteral("openCode");
        case ProviderKind::qwenCode:
            return QStringLiteral("qwenCode");
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
        case ProviderKind::openCode:
            return QStringLiteral("OpenCode");
        case ProviderKind::qwenCode:
            return QStringLiteral("Qwen Code");
    }
    return {};
}

std::optional<ProviderKind> providerKindFromRaw(const QString& raw) {
    for (ProviderKind kind : kAllProviderKinds) {
        if (rawValue(kind) == raw) return kind;
    }
    return std::nullopt;
}

std::optional<ProviderKind> providerKindFromUserText(const QString& text) {
    QString word = text.trimmed().toLower();
    word.remove(QLatin1Char(' ')).remove(QLatin1Char('-')).remove(QLatin1Char('_'));
    if (word == QLatin1String("claude")) return ProviderKind::claudeCode;
    if (word == QLatin1String("qwen")) return ProviderKind::qwenCode;
    for (ProviderKind kind : kAllProviderKinds) {
        const QString raw = rawValue(kind).toLower();
        if (word == raw) return kind;
        if (kind != ProviderKind::claudeCode && word == raw + QLatin1String("cli")) return kind;
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

UsageStatusLevel limitLevel(std::optional<double> percent) {
    if (!percent || std::isnan(*percent)) return UsageStatusLevel::unknown;
    if (*percent >= 90) return UsageStatusLevel::bad;
    if (*percent >= 75) return UsageStatusLevel::warn;
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

bool isListed(const ProviderUsage& usage) {
    switch (usage.kind) {
        case ProviderKind::codex:
        case ProviderKind::grok:
        case ProviderKind::gemini:
        case ProviderKind::claudeCode:
            return true;
        case ProviderKind::openCode:
        case ProviderKind::qwenCode:
            break;
    }
    // A summary with nothing read keeps the placeholder's status; one with logs has a latest
    // activity, or says that nothing of them falls in the five hours.
    return usage.latestActivityAt || usage.sessionsTotal > 0 ||
           usage.statusText != ProviderUsage::placeholder(usage.kind).statusText;
}

std::vector<ProviderUsage> listedSummaries(std::vector<ProviderUsage> summaries) {
    std::erase_if(summaries, [](const ProviderUsage& usage) { return !isListed(usage); });
    return summaries;
}

}  // namespace qm
