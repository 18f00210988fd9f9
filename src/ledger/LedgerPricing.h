#pragma once

#include <QString>
#include <optional>

#include "ledger/LedgerRecords.h"

namespace qm::ledger {

// The one place where the index's token counts become dollars, at the prices in effect now.
// `largeCalls` says that the counts are those of calls above kLargeCallInput input tokens, which
// pay a model's long-context rates. None when the model has no price.
std::optional<double> costOf(ProviderKind tool, const QString& model, const Counts& counts,
                             bool largeCalls);

// What a row of the index cost: what the tool itself recorded when it did (kRecordedCost),
// else the price list's estimate (none for a model without a price).
struct RowCost {
    std::optional<double> usd;
    bool recorded = false;
};
RowCost rowCost(ProviderKind tool, const QString& model, const Counts& counts, std::uint8_t flags);

}  // namespace qm::ledger
