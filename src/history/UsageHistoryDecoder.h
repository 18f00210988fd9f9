#pragma once

#include <simdjson.h>

#include <optional>
#include <string_view>

#include "core/HistoryRecords.h"

namespace qm {

// The JSON form of usage-history.json, read.
namespace UsageHistoryJson {

// Undecodable input (malformed JSON, a missing or mistyped record key) gives nothing.
// Extra keys are ignored; each series comes back sorted by time (stable).
std::optional<UsageHistoryData> decode(std::string_view json);

// The same, for text already followed by simdjson's padding (a mapped file).
std::optional<UsageHistoryData> decodePadded(simdjson::padded_string_view json);

}  // namespace UsageHistoryJson

}  // namespace qm
