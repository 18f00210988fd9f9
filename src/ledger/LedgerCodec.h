#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/LedgerRecords.h"

namespace qm::ledger {

// The index file's format. A change to it changes kIndexVersion, and an index of another
// version is rebuilt, not read.
inline constexpr std::uint32_t kIndexVersion = 1;

std::string encodeIndex(const std::vector<FileEntry>& files);
// None when the bytes are not a whole, intact index of this version.
std::optional<std::vector<FileEntry>> decodeIndex(std::string_view bytes);

}  // namespace qm::ledger
