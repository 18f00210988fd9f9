#pragma once

#include <simdjson.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/Pricing.h"

// One line of a Claude Code transcript as the scans read it: the fields that say what the line
// is, which request it belongs to and what that request used. Shared by the summary scan and
// the usage index, so both count the same lines.
namespace qm::ClaudeTranscript {

enum class LineKind { other, user, assistant };

// The fields of one transcript line the scan needs; views into the parser's buffers.
struct LineFacts {
    LineKind kind = LineKind::other;
    std::string_view timestamp;
    std::string_view requestId;
    std::string_view messageId;
    std::string_view model;
    std::string_view cwd;
    std::string_view uuid;  // the line's own id, kept when a resumed session copies it
    bool sidechain = false;
    bool meta = false;            // context the tool adds on the person's behalf
    bool compactSummary = false;  // the summary that continues a compacted conversation
    bool apiError = false;
    bool hasUsage = false;
    AnthropicTokens tokens;
    std::int64_t cacheWrites = 0;          // all cache writes, whatever their lifetime
    bool splitWrites = false;              // the lifetimes were given
    std::optional<std::string_view> text;  // a user line's text
    bool toolResult = false;
    // A count of its usage breaks the rule for figures from outside (UsageFigures): the line
    // is no usage and is skipped whole.
    bool outOfRange = false;
};

// Reads one line in a single pass over its fields. Any malformed part voids the whole line.
simdjson::error_code readLine(simdjson::ondemand::parser& parser, std::string_view line,
                              LineFacts& facts);

// Whether one request's tokens keep the rule for figures from outside, each kind and all
// together: what a line must hold to count, and what a request's repeated lines, merged, must
// still hold.
bool withinRule(const AnthropicTokens& tokens);

// Text the tool writes as a user line although no person typed it as a prompt: slash-command
// and shell-mode wrappers, their output, reminders, the interruption notice.
bool isToolWrapper(std::string_view text);

// A tool result sits in the first blocks of a user line, so looking at its head is enough to
// pass over the many large result lines without parsing them.
bool isToolResultLine(std::string_view line);

// A line the person typed as a prompt (not a tool's output, a wrapper, or injected context).
bool isTypedPrompt(const LineFacts& facts);

}  // namespace qm::ClaudeTranscript
