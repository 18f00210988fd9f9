#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

#include "core/HistoryRecords.h"

// Turns a successful Gemini generation answer into one history record: the token counts of
// its "usageMetadata", a price-table cost, the latency and the client's user agent.
namespace qm::GeminiRelayMetering {

// The five counts of one "usageMetadata" object; absent keys count 0.
struct UsageCounts {
    std::int64_t promptTokenCount = 0;
    std::int64_t candidatesTokenCount = 0;
    std::int64_t cachedContentTokenCount = 0;
    std::int64_t thoughtsTokenCount = 0;
    std::int64_t toolUsePromptTokenCount = 0;
    bool operator==(const UsageCounts&) const = default;
};

struct RequestFacts {
    QString model;  // from the request path; may be empty
    QString accountId;
    std::optional<QString> userAgent;  // as received
    std::int64_t latencyMs = 0;
};

// A buffered "generateContent" answer: a JSON object with an object under "usageMetadata".
std::optional<GeminiUsageRecord> recordFromJson(const QByteArray& body, const RequestFacts& facts);

// A "streamGenerateContent" answer: the last server-sent event carrying "usageMetadata", or,
// failing that, a body that is one answer object or a JSON array of them.
std::optional<GeminiUsageRecord> recordFromStream(const QByteArray& body,
                                                  const RequestFacts& facts);

// The usage of a body that is one JSON answer object or an array of them (last one wins).
std::optional<UsageCounts> metadataFromJsonBody(const QByteArray& body);

// Gemini's OpenAI-compatible chat completions ("/openai/chat/completions"): the "usage"
// object of a buffered answer, or of the last streamed chunk that carries one (there is none
// unless the client asked for it with stream_options.include_usage).
std::optional<GeminiUsageRecord> recordFromOpenAiJson(const QByteArray& body,
                                                      const RequestFacts& facts);
std::optional<GeminiUsageRecord> recordFromOpenAiStream(const QByteArray& body,
                                                        const RequestFacts& facts);
// What an OpenAI-style request body says: its "model" (without a "models/" prefix; empty when
// absent) and whether it asks for a stream.
QString modelOfOpenAiRequest(const QByteArray& body);
bool openAiRequestStreams(const QByteArray& body);

// The record for counts that were found, stamped with the current time.
// Why the figures of a metered call cannot be usage (a negative or absurd token count, a cost
// that is not finite or absurd), or nothing. Such a call is unmetered: never stored.
std::optional<QString> implausible(const GeminiUsageRecord& record);

GeminiUsageRecord makeRecord(const UsageCounts& counts, const RequestFacts& facts,
                             std::int64_t nowMs);

}  // namespace qm::GeminiRelayMetering
