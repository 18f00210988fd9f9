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

}  // namespace qm::ledger
