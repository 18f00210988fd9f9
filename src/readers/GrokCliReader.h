#pragma once

#include <QString>
#include <cstdint>

#include "core/UsageModels.h"

namespace qm {

// Reads the Grok CLI's session folders ("summary.json", optional "signals.json" and
// "chat_history.jsonl", "updates.jsonl") into the Grok summary: billed usage where the tool
// logged it, else an estimate from the context fill. Sessions last
// active before the window start are dropped, so every figure describes the recent window.
class GrokCliReader {
public:
    static constexpr std::uint64_t kMaxChatHistoryBytes = 20'000'000;

    GrokCliReader(QString sessionsDirectory, QString authFile);

    // Never fails: problems become warnings.
    ProviderUsage readUsageSync(TimeMs since) const;

private:
    QString sessionsDirectory_;
    QString authFile_;
};

}  // namespace qm
