#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/UsageModels.h"
#include "readers/GeminiChatRecords.h"

namespace qm {

// The Gemini summary: what the Gemini command-line tools leave under ~/.gemini (chat
// recordings, logs.json prompt logs, older usage logs in several JSON shapes), as the usage
// index read them (ledger/), composed into the sessions, models and window figures the cards
// and `usage` show. Only what falls inside the recent window counts.
class GeminiCliReader {
public:
    // One record of an older usage log: a prompt, usage, or both.
    struct UsageEvent {
        TimeMs at = 0;  // the record's time, else its file's
        QString model;
        std::int64_t inputTokens = 0;
        std::int64_t outputTokens = 0;
        std::int64_t totalTokens = 0;  // input + output, else the record's own total
        std::int64_t prompts = 0;      // 0 or 1
        QString task;
        bool operator==(const UsageEvent&) const = default;
    };

    // Builds the summary from the files' contents, given in the order of the paths' bytes.
    // Files last modified before `since` are the caller's to pass over.
    class Summary {
    public:
        Summary(const QString& geminiDirectory, TimeMs since);
        ~Summary();
        Summary(const Summary&) = delete;
        Summary& operator=(const Summary&) = delete;

        // The folder does not exist: finish() says so.
        bool isMissing() const;
        // A usage log's records, in file order: each one in the window is a session of its own.
        void addEvents(const QString& path, const std::vector<UsageEvent>& events);
        // A chat recording's items. Sessions are keyed by the id the recording names (one
        // session may be written by two versions), records by their own ids.
        void addChat(const QString& path, const std::vector<GeminiChat::ChatItem>& items,
                     const QString& project, bool spawned);
        // A logs.json's prompts: they count for sessions that have no chat recording.
        void addLoggedPrompts(const std::vector<GeminiChat::LoggedPrompt>& prompts);
        ProviderUsage finish();

    private:
        struct State;
        std::unique_ptr<State> state_;
    };
};

}  // namespace qm
