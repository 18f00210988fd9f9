#include "core/Iso8601.h"

#include <QDateTime>

namespace qm::Iso8601 {
namespace {

bool digits(std::string_view s, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > s.size()) return false;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        const char c = s[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

bool isLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = unsigned((153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1);
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + std::int64_t(doe) - 719468;
}

}  // namespace

std::optional<TimeMs> parse(std::string_view s) {
    int year, month, day, hour, minute, second;
    if (s.size() < 20) return std::nullopt;
    if (!digits(s, 0, 4, year) || s[4] != '-' || !digits(s, 5, 2, month) || s[7] != '-' ||
        !digits(s, 8, 2, day) || s[10] != 'T' || !digits(s, 11, 2, hour) || s[13] != ':' ||
        !digits(s, 14, 2, minute) || s[16] != ':' || !digits(s, 17, 2, second)) {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59) {
        return std::nullopt;
    }
    std::size_t pos = 19;
    int millis = 0;
    if (s[pos] == '.') {
        ++pos;
        const std::size_t start = pos;
        int scale = 100;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            millis += (s[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
    }
    if (pos >= s.size()) return std::nullopt;
    int offsetSeconds = 0;
    if (s[pos] == 'Z') {
        ++pos;
    } else if (s[pos] == '+' || s[pos] == '-') {
        const int sign = s[pos] == '-' ? -1 : 1;
        int oh, om, os = 0;
        if (!digits(s, pos + 1, 2, oh) || pos + 3 >= s.size() || s[pos + 3] != ':' ||
            !digits(s, pos + 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        pos += 6;
        if (pos < s.size() && s[pos] == ':') {
            if (!digits(s, pos + 1, 2, os) || os > 59) return std::nullopt;
            pos += 3;
        }
        offsetSeconds = sign * (oh * 3600 + om * 60 + os);
    } else {
        return std::nullopt;
    }
    if (pos != s.size()) return std::nullopt;
    const std::int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 +
                                 minute * 60 + second - offsetSeconds;
    return seconds * 1000 + millis;
}

std::optional<TimeMs> parse(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return parse(std::string_view(utf8.constData(), std::size_t(utf8.size())));
}

QString formatMs(TimeMs ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString formatSeconds(TimeMs ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
}

}  // namespace qm::Iso8601
