#pragma once

#include "relay/GeminiRelayStore.h"

namespace qm {

class AccountStore;
class UsageHistoryStore;

// The relay on the program's own stores: the Gemini accounts and their keys as config.json
// holds them at each request (the account store re-reads it when another process changed it;
// keys are read from the secret store once per account until the accounts change), and
// metered records into the usage history. Both stores must outlive the relay store that
// uses the result.
GeminiRelayEnvironment relayEnvironment(AccountStore& accounts, UsageHistoryStore& history);

}  // namespace qm
