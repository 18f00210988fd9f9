#include "readers/ClaudeTranscriptLine.h"

#include <algorithm>

#include "core/UsageFigures.h"
#include "readers/CliLogParsing.h"

namespace qm::ClaudeTranscript {
namespace {

namespace od = simdjson::ondemand;

// The fields of one transcript line the scan needs; views into the parser's buffers.

simdjson::error_code stringOf(od::value& value, std::string_view& out) {
    od::json_type type;
    if (auto error = value.type().get(type)) return error;
    if (type != od::json_type::string) return simdjson::SUCCESS;
    return value.get_string().get(out);
}

simdjson::error_code boolOf(od::value& value, bool& out) {
    od::json_type type;
    if (auto error = value.type().get(type)) return error;
    if (type != od::json_type::boolean) return simdjson::SUCCESS;
    return value.get_bool().get(out);
}

// A token count: text and null count 0; a number that is no token count by the rule for
// figures from outside (negative, a fraction, past the bound) marks the line out of range.
simdjson::error_code countOf(od::value& value, std::int64_t& out, LineFacts& facts) {
    od::json_type type;
    if (auto error = value.type().get(type)) return error;
    if (type != od::json_type::number) return simdjson::SUCCESS;
    std::int64_t whole = 0;
    if (value.get_int64().get(whole) == simdjson::SUCCESS) {
        if (UsageFigures::isTokenCount(whole)) {
            out = whole;
        } else {
            facts.outOfRange = true;
        }
        return simdjson::SUCCESS;
    }
    // Fractions, and whole numbers past the signed range.
    double d = 0;
    if (auto error = value.get_double().get(d)) return error;
    if (UsageFigures::isTokenCountNumber(d)) {
        out = std::int64_t(d);
    } else {
        facts.outOfRange = true;
    }
    return simdjson::SUCCESS;
}

template <typename F>
simdjson::error_code forEachField(od::value& value, F&& f) {
    od::object object;
    if (auto error = value.get_object().get(object)) return error;
    for (auto fieldResult : object) {
        od::field field;
        if (auto error = std::move(fieldResult).get(field)) return error;
        std::string_view key;
        if (auto error = field.unescaped_key().get(key)) return error;
        od::value inner = field.value();
        if (auto error = f(key, inner)) return error;
    }
    return simdjson::SUCCESS;
}

simdjson::error_code readUsage(od::value& value, LineFacts& facts) {
    facts.hasUsage = true;
    return forEachField(value, [&](std::string_view key, od::value& v) -> simdjson::error_code {
        if (key == "input_tokens") return countOf(v, facts.tokens.input, facts);
        if (key == "output_tokens") return countOf(v, facts.tokens.output, facts);
        if (key == "cache_read_input_tokens") return countOf(v, facts.tokens.cacheRead, facts);
        if (key == "cache_creation_input_tokens") return countOf(v, facts.cacheWrites, facts);
        if (key != "cache_creation") return simdjson::SUCCESS;
        od::json_type type;
        if (auto error = v.type().get(type)) return error;
        if (type != od::json_type::object) return simdjson::SUCCESS;
        facts.splitWrites = true;
        return forEachField(v, [&](std::string_view k, od::value& n) -> simdjson::error_code {
            if (k == "ephemeral_5m_input_tokens")
                return countOf(n, facts.tokens.cacheWrite5m, facts);
            if (k == "ephemeral_1h_input_tokens")
                return countOf(n, facts.tokens.cacheWrite1h, facts);
            return simdjson::SUCCESS;
        });
    });
}

// A user line's content: its text, or the first text block of its list; tool results marked.
simdjson::error_code readContent(od::value& value, LineFacts& facts) {
    od::json_type type;
    if (auto error = value.type().get(type)) return error;
    if (type == od::json_type::string) {
        std::string_view text;
        if (auto error = value.get_string().get(text)) return error;
        facts.text = text;
        return simdjson::SUCCESS;
    }
    if (type != od::json_type::array) return simdjson::SUCCESS;
    od::array blocks;
    if (auto error = value.get_array().get(blocks)) return error;
    for (auto blockResult : blocks) {
        od::value block;
        // get() exists only on an rvalue result, so the move is what makes the call compile.
        if (auto error = std::move(blockResult).get(block))  // NOLINT(performance-move-const-arg)
            return error;
        od::json_type blockType;
        if (auto error = block.type().get(blockType)) return error;
        if (blockType != od::json_type::object) continue;
        std::string_view kind;
        std::string_view text;
        bool hasText = false;
        auto error = forEachField(block, [&](std::string_view k, od::value& v) {
            if (k == "type") return stringOf(v, kind);
            if (k == "text") {
                hasText = true;
                return stringOf(v, text);
            }
            return simdjson::SUCCESS;
        });
        if (error) return error;
        if (kind == "tool_result") facts.toolResult = true;
        if (kind == "text" && hasText && !facts.text) facts.text = text;
    }
    return simdjson::SUCCESS;
}

simdjson::error_code readMessage(od::value& value, LineFacts& facts) {
    od::json_type type;
    if (auto error = value.type().get(type)) return error;
    if (type != od::json_type::object) return simdjson::SUCCESS;
    return forEachField(value, [&](std::string_view key, od::value& v) -> simdjson::error_code {
        if (key == "id") return stringOf(v, facts.messageId);
        if (key == "model") return stringOf(v, facts.model);
        if (key == "usage") {
            od::json_type usageType;
            if (auto error = v.type().get(usageType)) return error;
            return usageType == od::json_type::object ? readUsage(v, facts) : simdjson::SUCCESS;
        }
        if (key == "content") return readContent(v, facts);
        return simdjson::SUCCESS;
    });
}

}  // namespace

simdjson::error_code readLine(od::parser& parser, std::string_view line, LineFacts& facts) {
    od::document doc;
    if (auto error =
            parser.iterate(line.data(), line.size(), line.size() + simdjson::SIMDJSON_PADDING)
                .get(doc)) {
        return error;
    }
    od::object root;
    if (auto error = doc.get_object().get(root)) return error;
    for (auto fieldResult : root) {
        od::field field;
        if (auto error = std::move(fieldResult).get(field)) return error;
        std::string_view key;
        if (auto error = field.unescaped_key().get(key)) return error;
        od::value value = field.value();
        simdjson::error_code error = simdjson::SUCCESS;
        if (key == "type") {
            std::string_view type;
            error = stringOf(value, type);
            facts.kind = type == "assistant" ? LineKind::assistant
                         : type == "user"    ? LineKind::user
                                             : LineKind::other;
        } else if (key == "message") {
            error = readMessage(value, facts);
        } else if (key == "timestamp") {
            error = stringOf(value, facts.timestamp);
        } else if (key == "requestId") {
            error = stringOf(value, facts.requestId);
        } else if (key == "cwd") {
            error = stringOf(value, facts.cwd);
        } else if (key == "uuid") {
            error = stringOf(value, facts.uuid);
        } else if (key == "isSidechain") {
            error = boolOf(value, facts.sidechain);
        } else if (key == "isMeta") {
            error = boolOf(value, facts.meta);
        } else if (key == "isCompactSummary") {
            error = boolOf(value, facts.compactSummary);
        } else if (key == "isApiErrorMessage") {
            error = boolOf(value, facts.apiError);
        }
        if (error) return error;
    }
    if (facts.hasUsage && !facts.outOfRange) {
        // The request as it is counted: writes beyond their lifetimes' split are five-minute
        // writes.
        AnthropicTokens counted = facts.tokens;
        counted.cacheWrite5m =
            std::max(counted.cacheWrite5m, facts.cacheWrites - counted.cacheWrite1h);
        facts.outOfRange = !withinRule(counted);
    }
    return simdjson::SUCCESS;
}

bool withinRule(const AnthropicTokens& t) {
    return UsageFigures::isCallTokens(
        {t.input, t.output, t.cacheRead, t.cacheWrite5m, t.cacheWrite1h});
}

bool isToolWrapper(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n' || text.front() == '\t' ||
                             text.front() == '\r')) {
        text.remove_prefix(1);
    }
    for (std::string_view prefix :
         {"<command-name>", "<command-message>", "<command-args>", "<local-command-stdout>",
          "<local-command-stderr>", "<local-command-caveat>", "<system-reminder>", "<bash-input>",
          "<bash-stdout>", "<bash-stderr>", "[Request interrupted by user"}) {
        if (text.starts_with(prefix)) return true;
    }
    return false;
}

bool isToolResultLine(std::string_view line) {
    return CliLogParsing::containsBytes(line.substr(0, 4096), "\"type\":\"tool_result\"");
}

bool isTypedPrompt(const LineFacts& facts) {
    return facts.kind == LineKind::user && !facts.sidechain && !facts.meta &&
           !facts.compactSummary && !facts.toolResult && facts.text &&
           !isToolWrapper(*facts.text) && CliLogParsing::isRealUserPrompt(*facts.text);
}

}  // namespace qm::ClaudeTranscript
