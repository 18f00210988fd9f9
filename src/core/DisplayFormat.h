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

// `text` with control characters written as "\xNN" (backslashes doubled), so a value a
// client chose (a path, a user agent, a model) can neither start a line of its own nor send
// escape codes to a terminal.
QString printable(const QString& text);

}  // namespace qm::DisplayFormat
