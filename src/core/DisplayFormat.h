#pragma once

#include <QString>
#include <QTimeZone>
#include <cstdint>
#include <optional>

#include "core/UsageModels.h"

namespace qm {

// How many decimals a dollar amount shows: cents for budgets, spend and totals; four places
// for costs that are often a fraction of a cent (one tool's day, one account's calls); six
// for the cost of a single relayed call.
enum class MoneyPrecision { Cents, SubCent, Millionths };

}  // namespace qm

// The display formatters every view shares.
namespace qm::DisplayFormat {

// "-", "now", "5m", "3h", "yesterday", "4d", or the month and day "MM/dd" in `zone`.
QString relativeTime(std::optional<TimeMs> date, TimeMs now,
                     const QTimeZone& zone = QTimeZone::systemTimeZone());

// 999, 1.0k, 1000.0k, 1.3M: one decimal, point as separator, locale grouping below 1000.
QString formattedTokens(std::int64_t value);

// "$12.50" ("$12.5000" with SubCent, "$0.000125" with Millionths): point as separator, no grouping,
// never an exponent. A negative amount reads "-$1.50"; one that rounds to zero, and a value that is
// not a number, read as zero.
QString money(double usd, MoneyPrecision precision = MoneyPrecision::Cents);

// A plain count with the current locale's grouping.
QString formattedCount(std::int64_t value);

// A percent as the alerts and the budgets write it: whole, rounded down, so no text says a
// threshold is reached before it is ("97" for 97.9). Not a number counts as 0.
QString flooredPercent(double share);

// `text` with control characters (C0, DEL, C1) written as "\xNN" and the characters that
// turn or break a line's direction or the line itself (U+061C, U+200E, U+200F, U+2028 to
// U+202E, U+2066 to U+2069) as "\uNNNN", backslashes doubled: a value that came from outside
// (a path, a user agent, a model, a project, a session, a host) can neither start a line of its
// own, nor send escape codes to a terminal, nor make the text around it read in another order.
QString printable(const QString& text);

}  // namespace qm::DisplayFormat
