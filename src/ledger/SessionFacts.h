#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/Pricing.h"
#include "core/UsageModels.h"
#include "ledger/LedgerRecords.h"
#include "readers/ClaudeTranscriptLine.h"
#include "readers/CodexCliReader.h"
#include "readers/GeminiChatRecords.h"
#include "readers/GeminiCliReader.h"

// What a log file's entry keeps for the five-hour summaries: the session as a summary lists
// it, whatever the window, in FileEntry::facts; what counts only inside the window as
// FileEntry::recent records of the kinds below.
namespace qm::ledger {

// A Codex rollout read so far, as the summary reader would report it.
struct CodexFacts {
    using Tokens = CodexCliReader::Tokens;
    using ModelTokens = CodexCliReader::ModelTokens;
    struct Prompts {
        std::int64_t count = 0;
        std::int64_t untimed = 0;  // of which without a time stamp: always in the window
        QString task;
        bool operator==(const Prompts&) const = default;
    };

    bool hasTotalUsage = false;
    bool isSubagent = false;
    bool sawTypedEvent = false;
    QString model;  // of the last turn
    Tokens tokens;  // from the cumulative totals
    std::vector<ModelTokens> byModel;
    std::int64_t untimedWindowTokens = 0;
    // Early rollouts: usage on the lines themselves, counted only when there are no totals.
    std::vector<ModelTokens> lineUsage;
    std::int64_t untimedLineWindowTokens = 0;
    Prompts typed;  // user_message events
    Prompts items;  // user message items, for files without those events
    std::optional<TimeMs> startedAt;
    std::optional<TimeMs> endedAt;
    std::optional<CodexPlanLimits> planLimits;  // from the newest event that has them

    enum RecordKind : std::uint8_t {
        kWindowTokens = 1,      // value: input + output of one turn's totals
        kLineWindowTokens = 2,  // value: input + output of one early line
        kTypedPrompt = 3,
        kItemPrompt = 4,
        kPlanReading = 5,  // detail: the limits, encoded
    };

    QByteArray encode() const;
    // False when the bytes are not facts this version writes.
    bool decode(const QByteArray& bytes);
    bool operator==(const CodexFacts&) const = default;
};

// A Grok updates.jsonl read so far: every finished turn's usage, in order. Turns carry no time:
// a session counts whole when it was active in the window.
struct GrokFacts {
    static constexpr double kTicksPerUsd = 1e10;

    // One model's part of a finished turn, as updates.jsonl reports it.
    struct Turn {
        std::optional<QString> model;  // none: the turn did not split by model
        std::int64_t input = 0;        // includes `cached`
        std::int64_t cached = 0;
        std::int64_t output = 0;
        std::optional<double> ticks;  // the tool's own cost, kTicksPerUsd to the dollar
        bool operator==(const Turn&) const = default;
    };
    // Whether a turn's figures keep the rule for figures from outside (UsageFigures): its
    // counts, input and output together, and its cost.
    static bool withinRule(const Turn& turn);

    std::vector<Turn> turns;

    QByteArray encode() const;
    bool decode(const QByteArray& bytes);
};

// A Grok session folder as its small files describe it (summary.json, and signals.json or
// else chat_history.jsonl): the session as the summary lists it. When the folder has no
// updates.jsonl the tool logged no usage, and the entry also holds the session's estimated
// call: its context fill as input, at the hour it was last active.
struct GrokSessionFacts {
    bool listed = false;  // summary.json was read: the folder is a session
    QString id;           // the tool's id, else the summary file's path
    QString task;
    QString model;        // the signals' primary model, else the summary's; may be empty
    bool hidden = false;  // an agent the tool spawned: its usage counts, its prompts do not
    bool estimated = false;
    std::int64_t contextTokens = 0;  // the current fill of the context window
    std::int64_t prompts = 0;
    std::optional<TimeMs> startedAt;
    std::optional<TimeMs> lastActiveAt;

    QByteArray encode() const;
    bool decode(const QByteArray& bytes);
    bool operator==(const GrokSessionFacts&) const = default;
};

// Anthropic's figures of one request as the index counts them: input holds every kind of input
// (fresh, cache reads, cache writes), and the call counts once. And back.
Counts claudeCounts(const AnthropicTokens& tokens);
AnthropicTokens claudeTokens(const Counts& counts);

// A Claude Code transcript read so far: what the session's summary lists beyond the figures,
// which are its entry's rows (whole session) and recent records (the window): a record of kind
// kCall for each request this file counts, kPrompt for each prompt.
struct ClaudeFacts {
    QString model;  // of the last request line
    QString project;
    QString task;  // from the first prompt this file counts
    std::optional<TimeMs> startedAt;
    std::optional<TimeMs> lastActiveAt;

    enum RecordKind : std::uint8_t {
        kCall = 1,    // detail: encodeCall()
        kPrompt = 2,  // value: 1
    };

    QByteArray encode() const;
    bool decode(const QByteArray& bytes);
    static QByteArray encodeCall(std::uint64_t key, const QString& model,
                                 const AnthropicTokens& tokens);
    static bool decodeCall(const QByteArray& bytes, std::uint64_t& key, QString& model,
                           AnthropicTokens& tokens);
    bool operator==(const ClaudeFacts&) const = default;
};

// A Gemini chat recording as the summary takes it, read whole when it changed: its facts.
QByteArray encodeChat(const std::vector<GeminiChat::ChatItem>& items);
std::optional<std::vector<GeminiChat::ChatItem>> decodeChat(const QByteArray& bytes);

// The other Gemini logs (logs.json, older usage logs) keep what the summary takes of them as
// recent records, one per prompt or usage record, with the record's time.
struct GeminiLogFacts {
    enum RecordKind : std::uint8_t {
        kUsage = 1,         // detail: encodeUsage()
        kLoggedPrompt = 2,  // detail: encodePrompt()
    };
    static QByteArray encodeUsage(const GeminiCliReader::UsageEvent& event);
    static std::optional<GeminiCliReader::UsageEvent> decodeUsage(const RecentRecord& record);
    static QByteArray encodePrompt(const GeminiChat::LoggedPrompt& prompt);
    static std::optional<GeminiChat::LoggedPrompt> decodePrompt(const RecentRecord& record);
};

QByteArray encodePlanLimits(const CodexPlanLimits& limits);
std::optional<CodexPlanLimits> decodePlanLimits(const QByteArray& bytes);

}  // namespace qm::ledger
