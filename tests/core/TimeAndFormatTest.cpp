#include <gtest/gtest.h>

#include <limits>

#include "core/DisplayFormat.h"
#include "core/Iso8601.h"
#include "core/PercentEncoding.h"
#include "support/QtPrinters.h"

using namespace qm;

TEST(Iso8601, AcceptsInternetDateTimes) {
    EXPECT_EQ(Iso8601::parse(QStringLiteral("1970-01-01T00:00:00Z")), 0);
    EXPECT_EQ(Iso8601::parse(QStringLiteral("2025-06-01T10:00:00.123Z")), 1748772000123);
    EXPECT_EQ(Iso8601::parse(QStringLiteral("2025-06-01T10:00:00Z")), 1748772000000);
    EXPECT_EQ(Iso8601::parse(QStringLiteral("2025-06-01T12:00:00+02:00")), 1748772000000);
    EXPECT_EQ(Iso8601::parse(QStringLiteral("2025-06-01T05:30:00-04:30")), 1748772000000);
    EXPECT_EQ(Iso8601::parse(QStringLiteral("2025-03-01T10:00:00-07:52:58")), 1740851578000);
    // Digits beyond milliseconds are cut, not rounded.
    EXPECT_EQ(Iso8601::parse(QStringLiteral("2025-06-01T10:00:00.123999Z")), 1748772000123);
    EXPECT_EQ(Iso8601::parse(QStringLiteral("2024-02-29T00:00:00Z")), 1709164800000);
    EXPECT_EQ(Iso8601::parse(QStringLiteral("1969-12-31T23:59:59Z")), -1000);
}

TEST(Iso8601, RejectsEverythingElse) {
    for (const char* text :
         {"", "2025-06-01 10:00:00", "2025-06-01 10:00:00Z", "2025-06-01T10:00:00", "2025-06-01",
          "2025-13-01T10:00:00Z", "2025-02-29T10:00:00Z", "2025-06-01T24:00:00Z",
          "2025-06-01T10:00:00.Z", "2025-06-01T10:00:00Zjunk", "2025-06-01T10:00:00+0200",
          "2025-6-01T10:00:00Z", "２０２５-06-01T10:00:00Z"}) {
        EXPECT_FALSE(Iso8601::parse(QString::fromUtf8(text))) << text;
    }
}

TEST(Iso8601, FormatsUtc) {
    EXPECT_EQ(Iso8601::formatMs(1748772000123), "2025-06-01T10:00:00.123Z");
    EXPECT_EQ(Iso8601::formatSeconds(1748772000123), "2025-06-01T10:00:00Z");
}

TEST(DisplayFormat, RelativeTimeBoundaries) {
    const TimeMs now = 1748772000000;
    const auto ago = [&](double seconds) {
        return DisplayFormat::relativeTime(now - TimeMs(seconds * 1000), now, QTimeZone::utc());
    };
    EXPECT_EQ(DisplayFormat::relativeTime(std::nullopt, now), "-");
    EXPECT_EQ(ago(59), "now");
    EXPECT_EQ(ago(-30), "now");
    EXPECT_EQ(ago(60), "1m");
    EXPECT_EQ(ago(119), "1m");
    EXPECT_EQ(ago(3599), "59m");
    EXPECT_EQ(ago(3600), "1h");
    EXPECT_EQ(ago(36 * 3600), "yesterday");
    EXPECT_EQ(ago(6 * 86400), "6d");
    EXPECT_EQ(ago(8 * 86400), "05/24");
}

TEST(DisplayFormat, TokensSwitchUnitsWithoutRounding) {
    EXPECT_EQ(DisplayFormat::formattedTokens(999), QLocale().toString(999));
    EXPECT_EQ(DisplayFormat::formattedTokens(1000), "1.0k");
    EXPECT_EQ(DisplayFormat::formattedTokens(999999), "1000.0k");
    EXPECT_EQ(DisplayFormat::formattedTokens(1000000), "1.0M");
    EXPECT_EQ(DisplayFormat::formattedTokens(1260000), "1.3M");
    EXPECT_EQ(DisplayFormat::formattedTokens(-5000), QLocale().toString(-5000));
}

TEST(DisplayFormat, MoneyIsOneShapeWhateverTheAmountOrLocale) {
    using DisplayFormat::money;
    EXPECT_EQ(money(1.5), "$1.50");
    EXPECT_EQ(money(12.5, MoneyPrecision::SubCent), "$12.5000");
    EXPECT_EQ(money(0.12345, MoneyPrecision::SubCent), "$0.1235");
    EXPECT_EQ(money(0.00004, MoneyPrecision::SubCent), "$0.0000");
    EXPECT_EQ(money(0.000125, MoneyPrecision::Millionths), "$0.000125");
    // The sign goes before the dollar, and a refund too small to show loses it.
    EXPECT_EQ(money(-1.5), "-$1.50");
    EXPECT_EQ(money(-0.001), "$0.00");
    EXPECT_EQ(money(-0.0), "$0.00");
    // A broken figure reads as nothing spent rather than "$nan".
    EXPECT_EQ(money(std::numeric_limits<double>::quiet_NaN()), "$0.00");
    EXPECT_EQ(money(-std::numeric_limits<double>::infinity()), "$0.00");
    // Whole digits, never an exponent or the user's grouping and decimal comma.
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(money(1234567.891), "$1234567.89");
    EXPECT_EQ(money(1e15), "$1000000000000000.00");
    QLocale::setDefault(before);
}

TEST(DisplayFormat, PrintableKeepsClientTextOnOneLineWithoutEscapeCodes) {
    using DisplayFormat::printable;
    EXPECT_EQ(printable("curl/8.1 ünïcode"), "curl/8.1 ünïcode");
    EXPECT_EQ(printable("a\nb\r\x1b[2J\x7f"), "a\\x0ab\\x0d\\x1b[2J\\x7f");
    EXPECT_EQ(printable(QString(QChar(0x9b)) + "31m"), "\\x9b31m");  // the one-byte CSI
    // A backslash is doubled, so "\x0a" typed by a client is not read as an escape.
    EXPECT_EQ(printable("\\x0a"), "\\\\x0a");
}

// Paths and model names come percent-encoded from logs and requests; anything malformed is left
// to the caller rather than half decoded.
TEST(PercentEncoding, DecodesWellFormedUtf8AndRefusesTheRest) {
    EXPECT_EQ(percentDecoded("plain"), QString("plain"));
    EXPECT_EQ(percentDecoded("gemini%2D2.5%3Apro"), QString("gemini-2.5:pro"));
    EXPECT_EQ(percentDecoded("%E2%82%ac"), QString(QChar(0x20ac)));
    EXPECT_EQ(percentDecoded("100%"), std::nullopt);
    EXPECT_EQ(percentDecoded("%4"), std::nullopt);
    EXPECT_EQ(percentDecoded("%zz"), std::nullopt);
    EXPECT_EQ(percentDecoded("%FF%FE"), std::nullopt);  // not UTF-8
}
