#pragma once

#include <QString>

#include "ledger/LedgerRecords.h"

namespace qm::ledger {

// The one place where the index's token counts become dollars, at today's prices. `largeCalls`
// says that the counts are those of calls above kLargeCallInput input tokens.
double costOf(ProviderKind tool, const QString& model, const Counts& counts, bool largeCalls);

}  // namespace qm::ledger
