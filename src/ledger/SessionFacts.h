#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/Pricing.h"
#include "core/UsageModels.h"
#include "readers/ClaudeTranscriptLine.h"
#include "readers/CodexCliReader.h"
#include "readers/GeminiCliReader.h"
#include "readers/GrokCliReader.h"

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
    std::vector<GrokCliReader::TurnUsage> turns;

    QByteArray encode() const;
    bool decode(const QByteArray& bytes);
};

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

// A Gemini chat recording as the summary reader takes it, read whole when it changed.
QByteArray encodeChat(const std::vector<GeminiCliReader::ChatItem>& items);
std::optional<std::vector<GeminiCliReader::ChatItem>> decodeChat(const QByteArray& bytes);

QByteArray encodePlanLimits(const CodexPlanLimits& limits);
std::optional<CodexPlanLimits> decodePlanLimits(const QByteArray& bytes);

}  // namespace qm::ledger
