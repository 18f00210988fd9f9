#include "core/LimitSource.h"

#include <QCoreApplication>

namespace qm {

QString rawValue(LimitSource source) {
    switch (source) {
        case LimitSource::claudeCode:
            return QStringLiteral("claudeCode");
        case LimitSource::claudeWeb:
            return QStringLiteral("claudeWeb");
        case LimitSource::codexLogs:
            return QStringLiteral("codexLogs");
    }
    return {};
}

std::optional<LimitSource> limitSourceFromRaw(const QString& raw) {
    // Compared with the literals: the readings file asks this of every line it holds.
    if (raw == QLatin1String("claudeCode")) return LimitSource::claudeCode;
    if (raw == QLatin1String("claudeWeb")) return LimitSource::claudeWeb;
    if (raw == QLatin1String("codexLogs")) return LimitSource::codexLogs;
    return std::nullopt;
}

QString limitSourceName(LimitSource source) {
    switch (source) {
        case LimitSource::claudeCode:
            return QStringLiteral("Claude Code");
        case LimitSource::claudeWeb:
            return QStringLiteral("claude.ai");
        case LimitSource::codexLogs:
            return QCoreApplication::translate("LimitSource", "Codex logs");
    }
    return {};
}

}  // namespace qm
