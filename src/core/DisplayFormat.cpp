#include "core/DisplayFormat.h"

#include <algorithm>
#include <cmath>

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>

namespace qm::DisplayFormat {

QString relativeTime(std::optional<TimeMs> date, TimeMs now, const QTimeZone& zone) {
    if (!date) return QStringLiteral("-");
    const double seconds = double(now - *date) / 1000.0;
    if (seconds < 60) return QCoreApplication::translate("DisplayFormat", "now");
    if (seconds < 3600) return QString::number(std::int64_t(seconds / 60)) + QLatin1Char('m');
    if (seconds < 86400) return QString::number(std::int64_t(seconds / 3600)) + QLatin1Char('h');
    if (seconds < 172800) return QCoreApplication::translate("DisplayFormat", "yesterday");
    if (seconds < 604800) return QString::number(std::int64_t(seconds / 86400)) + QLatin1Char('d');
    return QDateTime::fromMSecsSinceEpoch(*date, zone).toString(QStringLiteral("MM/dd"));
}

QString formattedTokens(std::int64_t value) {
    if (value < 1000) return formattedCount(value);
    if (value < 1000000) return QString::asprintf("%.1fk", double(value) / 1000.0);
    return QString::asprintf("%.1fM", double(value) / 1000000.0);
}

QString money(double usd, MoneyPrecision precision) {
    const int decimals = precision == MoneyPrecision::Millionths ? 6
                         : precision == MoneyPrecision::SubCent  ? 4
                                                                 : 2;
    if (!std::isfinite(usd)) usd = 0;
    const QString digits = QString::number(std::abs(usd), 'f', decimals);
    // A tiny refund rounds to "0.00"; it must not read "-$0.00".
    const bool negative = usd < 0 && std::any_of(digits.begin(), digits.end(), [](QChar c) {
                              return c != QLatin1Char('0') && c != QLatin1Char('.');
                          });
    return (negative ? QStringLiteral("-$") : QStringLiteral("$")) + digits;
}

QString formattedCount(std::int64_t value) {
    const QString text = QLocale().toString(qlonglong(value));
    return text.isEmpty() ? QString::number(value) : text;
}

namespace {

bool isControl(char16_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

// Marks and overrides of the bidirectional algorithm, and the line and paragraph separators.
bool isLayoutControl(char16_t c) {
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x2028 && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

QString printable(const QString& text) {
    const auto escaped = [](QChar c) {
        return c == u'\\' || isControl(c.unicode()) || isLayoutControl(c.unicode());
    };
    if (std::none_of(text.begin(), text.end(), escaped)) return text;
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (c == u'\\') {
            out += QStringLiteral("\\\\");
        } else if (isControl(c.unicode())) {
            out += QStringLiteral("\\x%1").arg(int(c.unicode()), 2, 16, QLatin1Char('0'));
        } else if (isLayoutControl(c.unicode())) {
            out += QStringLiteral("\\u%1").arg(int(c.unicode()), 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

QString flooredPercent(double share) {
    if (!std::isfinite(share)) share = share > 0 ? 1e9 : 0;
    return QString::number(static_cast<long long>(std::floor(std::clamp(share, 0.0, 1e9))));
}

}  // namespace qm::DisplayFormat
