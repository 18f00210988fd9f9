#include "gui/UsageText.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <algorithm>
#include <cmath>

#include "alerts/LimitReadings.h"
#include "core/DisplayFormat.h"
#include "gui/widgets/Look.h"

namespace qm::gui::UsageText {

UsageStatusLevel claudeLevel(const std::optional<LimitReading>& session, TimeMs now) {
    if (!session) return UsageStatusLevel::unknown;
    return limitsLevel({*session}, now).value_or(UsageStatusLevel::unknown);
}

double clampedPercent(double value) {
    if (!std::isfinite(value)) return value > 0 ? 100 : 0;
    return std::clamp(value, 0.0, 100.0);
}

QString percent(double value) {
    return QString::asprintf("%.0f%%", clampedPercent(value));
}

QString fiveHour(const std::optional<LatestClaudeUsage>& latest) {
    return latest ? percent(latest->sessionPct) : QStringLiteral("-");
}

QString reset(const std::optional<QString>& stamp, const QTimeZone& zone) {
    if (!stamp || stamp->isEmpty()) return QStringLiteral("-");
    const std::optional<TimeMs> at = ClaudeUsageDateParser::date(*stamp);
    if (!at) return *stamp;
    return QDateTime::fromMSecsSinceEpoch(*at, zone).toString(QStringLiteral("MM/dd HH:mm"));
}

QString number(const std::optional<double>& value) {
    if (!value) return QStringLiteral("-");
    if (!std::isfinite(*value)) return QString::asprintf("%.0f", *value);
    const QLocale locale;
    QString text = locale.toString(*value, 'f', 1);
    const QString wholeTail = locale.decimalPoint() + QLatin1Char('0');
    if (text.endsWith(wholeTail)) text.chop(wholeTail.size());
    return text;
}

QString fiveHourUse(const std::optional<ProviderUsage>& tool) {
    if (!tool || (tool->lastFiveHourTokens <= 0 && tool->lastFiveHourCost <= 0)) return {};
    return QCoreApplication::translate("UsageText", "%1: %2 tokens, %3")
        .arg(providerName(tool->kind), DisplayFormat::formattedTokens(tool->lastFiveHourTokens),
             DisplayFormat::money(tool->lastFiveHourCost, MoneyPrecision::SubCent));
}

QString age(TimeMs at, TimeMs now) {
    const QString relative = DisplayFormat::relativeTime(at, now);
    if (relative == QLatin1String("now"))
        return QCoreApplication::translate("UsageText", "just now");
    // "5m", "3h", "4d" read as durations; "yesterday" and dates stand alone.
    if (!relative.isEmpty() && relative.front().isDigit() && !relative.contains(QLatin1Char('/')))
        return QCoreApplication::translate("UsageText", "%1 ago").arg(relative);
    return relative;
}

QString lastRefresh(std::optional<TimeMs> at, TimeMs now) {
    if (!at) return QCoreApplication::translate("UsageText", "Waiting for first refresh");
    return QCoreApplication::translate("UsageText", "Updated %1")
        .arg(DisplayFormat::relativeTime(at, now));
}

QString pillText(ClaudeUsageStatusKind kind) {
    switch (kind) {
        case ClaudeUsageStatusKind::idle:
            return QCoreApplication::translate("UsageText", "Idle");
        case ClaudeUsageStatusKind::loading:
            return QCoreApplication::translate("UsageText", "Loading");
        case ClaudeUsageStatusKind::connected:
            return QCoreApplication::translate("UsageText", "Connected");
        case ClaudeUsageStatusKind::needsLogin:
            return QCoreApplication::translate("UsageText", "Login");
        case ClaudeUsageStatusKind::error:
            return QCoreApplication::translate("UsageText", "Error");
    }
    return {};
}

QColor pillColour(ClaudeUsageStatusKind kind) {
    switch (kind) {
        case ClaudeUsageStatusKind::loading:
            return Look::levelColour(UsageStatusLevel::warn);
        case ClaudeUsageStatusKind::connected:
            return Look::levelColour(UsageStatusLevel::good);
        case ClaudeUsageStatusKind::error:
            return Look::levelColour(UsageStatusLevel::bad);
        case ClaudeUsageStatusKind::idle:
        case ClaudeUsageStatusKind::needsLogin:
            break;
    }
    return Look::secondary();
}

QString claudeStatusToolTip(const QString& statusText, const QString& errorDetail) {
    if (errorDetail.isEmpty()) return statusText;
    return statusText + QLatin1Char('\n') + errorDetail;
}

}  // namespace qm::gui::UsageText
