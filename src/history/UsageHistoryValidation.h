#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/HistoryRecords.h"

namespace qm {

// The one rule for what a history record may hold, applied alike to records handed to the
// store, records read from the history file and records replayed from its journal. Each
// returns nothing for a record that may be kept, otherwise why not.
namespace UsageHistoryValidation {

// API records sum a provider's report over days, not one call: their bounds are a thousand
// times those of a call.
inline constexpr std::int64_t kMaxApiRecordTokens = 10'000'000'000'000;  // 10^13
inline constexpr double kMaxApiRecordCostUsd = 10'000'000;

std::optional<QString> problem(const GeminiUsageRecord& record, std::int64_t nowMs);
std::optional<QString> problem(const ApiUsageRecord& record, std::int64_t nowMs);
std::optional<QString> problem(const ClaudeUsageSnapshot& snapshot, std::int64_t nowMs);

// Drops every record with a problem; returns how many went.
std::size_t dropInvalid(UsageHistoryData& data, std::int64_t nowMs);

}  // namespace UsageHistoryValidation
}  // namespace qm
