#include "core/DisplayFormat.h"

#include <QDateTime>
#include <QLocale>

namespace qm::DisplayFormat {

QString relativeTime(std::optional<TimeMs> date, TimeMs now, const QTimeZone& zone) {
    if (!date) return QStringLiteral("-");
    const double seconds = double(now - *date) / 1000.0;
    if (seconds < 60) return QStringLiteral("now");
    if (seconds < 3600) return QString::number(std::int64_t(seconds / 60)) + QLatin1Char('m');
    if (seconds < 86400) return QString::number(std::int64_t(seconds / 3600)) + QLatin1Char('h');
    if (seconds < 172800) return QStringLiteral("yesterday");
    if (seconds < 604800) return QString::number(std::int64_t(seconds / 86400)) + QLatin1Char('d');
    return QDateTime::fromMSecsSinceEpoch(*date, zone).toString(QStringLiteral("MM/dd"));
}

QString formattedTokens(std::int64_t value) {
    if (value < 1000) return formattedCount(value);
    if (value < 1000000) return QString::asprintf("%.1fk", double(value) / 1000.0);
    return QString::asprintf("%.1fM", double(value) / 1000000.0);
}

QString formattedCount(std::int64_t value) {
    const QString text = QLocale().toString(qlonglong(value));
    return text.isEmpty() ? QString::number(value) : text;
}

}  // namespace qm::DisplayFormat
