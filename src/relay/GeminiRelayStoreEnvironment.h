#pragma once

#include "relay/GeminiRelayStore.h"

namespace qm {

class AccountStore;
class UsageHistoryStore;

// The relay on the program's own stores: the Gemini accounts and their keys as the account
// store holds them at each request, and metered records into the usage history. Both stores
// must outlive the relay store that uses the result.
GeminiRelayEnvironment relayEnvironment(const AccountStore& accounts, UsageHistoryStore& history);

}  // namespace qm
