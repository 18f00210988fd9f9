#include "relay/GeminiRelayMetering.h"

#include <simdjson.h>

#include <QDateTime>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "core/Clock.h"
#include "core/Pricing.h"
#include "core/UsageFigures.h"

namespace qm::GeminiRelayMetering {
namespace {

std::int64_t parseIntegerText(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return 0;
    __int128 value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<__int128>(INT64_MAX) + 1) return 0;
    }
    if (negative) value = -value;
    if (value > INT64_MAX || value < INT64_MIN) return 0;
    return static_cast<std::int64_t>(value);
}

// One usage value: integers as they are, floats truncated toward zero, integer text parsed;
// anything else, or a number outside the 64-bit range, counts 0.
std::int64_t int64(simdjson::dom::element value) {
    using Type = simdjson::dom::element_type;
    switch (value.type()) {
        case Type::INT64:
            return value.get_int64().value_unsafe();
        case Type::UINT64:
            return 0;
        case Type::DOUBLE: {
            const double d = value.get_double().value_unsafe();
            // 2^63 is exactly representable; anything at or beyond it does not fit.
            if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) {
                return 0;
            }
            return static_cast<std::int64_t>(d);
        }
        case Type::STRING:
            return parseIntegerText(value.get_string().value_unsafe());
        default:
            return 0;
    }
}

std::optional<UsageCounts> countsOf(simdjson::dom::element answer) {
    simdjson::dom::object object;
    if (answer.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
    simdjson::dom::object usage;
    if (object["usageMetadata"].get_object().get(usage) != simdjson::SUCCESS) return std::nullopt;
    UsageCounts counts;
    const auto read = [&usage](const char* key) -> std::int64_t {
        simdjson::dom::element value;
        if (usage[key].get(value) != simdjson::SUCCESS) return 0;
        return int64(value);
    };
    counts.promptTokenCount = read("promptTokenCount");
    counts.candidatesTokenCount = read("candidatesTokenCount");
    counts.cachedContentTokenCount = read("cachedContentTokenCount");
    counts.thoughtsTokenCount = read("thoughtsTokenCount");
    counts.toolUsePromptTokenCount = read("toolUsePromptTokenCount");
    return counts;
}

// prompt_tokens (cached included, as promptTokenCount), completion_tokens (reasoning
// included, unlike candidatesTokenCount, so the reasoning is moved to thoughts).
std::optional<UsageCounts> openAiCountsOf(simdjson::dom::element answer) {
    simdjson::dom::object usage;
    if (answer["usage"].get_object().get(usage) != simdjson::SUCCESS) return std::nullopt;
    const auto read = [](simdjson::dom::object object, const char* key) -> std::int64_t {
        simdjson::dom::element value;
        if (object[key].get(value) != simdjson::SUCCESS) return 0;
        return int64(value);
    };
    const auto detail = [&read, &usage](const char* object, const char* key) -> std::int64_t {
        simdjson::dom::object details;
        if (usage[object].get_object().get(details) != simdjson::SUCCESS) return 0;
        return read(details, key);
    };
    UsageCounts counts;
    counts.promptTokenCount = read(usage, "prompt_tokens");
    counts.cachedContentTokenCount = detail("prompt_tokens_details", "cached_tokens");
    counts.thoughtsTokenCount = detail("completion_tokens_details", "reasoning_tokens");
    counts.candidatesTokenCount =
        std::max<std::int64_t>(0, read(usage, "completion_tokens") - counts.thoughtsTokenCount);
    return counts;
}

std::optional<simdjson::dom::element> parse(simdjson::dom::parser& parser, const char* data,
                                            size_t size) {
    simdjson::dom::element root;
    if (parser.parse(data, size, true).get(root) != simdjson::SUCCESS) return std::nullopt;
    return root;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

std::int64_t nowMs() {
    return systemNow();
}

using CountsOf = std::optional<UsageCounts> (*)(simdjson::dom::element);

// The counts of the last server-sent event that has them. Each event line is checked on its
// own, so a capture cut inside a multi-byte character (or one bad line) costs only that line
// rather than the whole answer's metering.
std::optional<UsageCounts> lastEventCounts(const QByteArray& body, CountsOf countsOf) {
    simdjson::dom::parser parser;
    std::optional<UsageCounts> last;
    const std::string_view text(body.constData(), static_cast<size_t>(body.size()));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trimmed(text.substr(start, end - start));
        if (line.starts_with("data:")) {
            const std::string_view data = trimmed(line.substr(5));
            if (!data.empty() && data != "[DONE]") {
                if (const auto event = parse(parser, data.data(), data.size())) {
                    if (auto counts = countsOf(*event)) last = counts;
                }
            }
        }
        start = end + 1;
    }
    return last;
}

std::optional<UsageCounts> bodyCounts(const QByteArray& body, CountsOf countsOf) {
    simdjson::dom::parser parser;
    const auto root = parse(parser, body.constData(), static_cast<size_t>(body.size()));
    if (!root) return std::nullopt;
    return countsOf(*root);
}

std::optional<simdjson::dom::object> requestObject(simdjson::dom::parser& parser,
                                                   const QByteArray& body) {
    const auto root = parse(parser, body.constData(), static_cast<size_t>(body.size()));
    simdjson::dom::object object;
    if (!root || root->get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
    return object;
}

}  // namespace

std::optional<UsageCounts> metadataFromJsonBody(const QByteArray& body) {
    simdjson::dom::parser parser;
    const auto root = parse(parser, body.constData(), static_cast<size_t>(body.size()));
    if (!root) return std::nullopt;
    simdjson::dom::array array;
    if (root->get_array().get(array) == simdjson::SUCCESS) {
        std::optional<UsageCounts> last;
        for (simdjson::dom::element element : array) {
            if (auto counts = countsOf(element)) last = counts;
        }
        return last;
    }
    return countsOf(*root);
}

std::optional<GeminiUsageRecord> recordFromJson(const QByteArray& body, const RequestFacts& facts) {
    const auto counts = bodyCounts(body, countsOf);
    if (!counts) return std::nullopt;
    return makeRecord(*counts, facts, nowMs());
}

std::optional<GeminiUsageRecord> recordFromStream(const QByteArray& body,
                                                  const RequestFacts& facts) {
    std::optional<UsageCounts> last = lastEventCounts(body, countsOf);
    if (!last) last = metadataFromJsonBody(body);
    if (!last) return std::nullopt;
    return makeRecord(*last, facts, nowMs());
}

std::optional<GeminiUsageRecord> recordFromOpenAiJson(const QByteArray& body,
                                                      const RequestFacts& facts) {
    const auto counts = bodyCounts(body, openAiCountsOf);
    if (!counts) return std::nullopt;
    return makeRecord(*counts, facts, nowMs());
}

std::optional<GeminiUsageRecord> recordFromOpenAiStream(const QByteArray& body,
                                                        const RequestFacts& facts) {
    const auto counts = lastEventCounts(body, openAiCountsOf);
    if (!counts) return std::nullopt;
    return makeRecord(*counts, facts, nowMs());
}

QString modelOfOpenAiRequest(const QByteArray& body) {
    simdjson::dom::parser parser;
    const auto object = requestObject(parser, body);
    std::string_view model;
    if (!object || (*object)["model"].get_string().get(model) != simdjson::SUCCESS) return {};
    QString text = QString::fromUtf8(model.data(), static_cast<qsizetype>(model.size())).trimmed();
    if (text.startsWith(QLatin1String("models/"))) text.remove(0, 7);
    return text;
}

bool openAiRequestStreams(const QByteArray& body) {
    simdjson::dom::parser parser;
    const auto object = requestObject(parser, body);
    bool stream = false;
    return object && (*object)["stream"].get_bool().get(stream) == simdjson::SUCCESS && stream;
}

GeminiUsageRecord makeRecord(const UsageCounts& counts, const RequestFacts& facts,
                             std::int64_t timestampMs) {
    GeminiUsageRecord record;
    record.timestampMs = timestampMs;
    record.accountId = facts.accountId;
    record.model = facts.model.isEmpty() ? QStringLiteral("unknown") : facts.model;
    record.inputTokens = counts.promptTokenCount;
    record.outputTokens = counts.candidatesTokenCount;
    record.cacheTokens = counts.cachedContentTokenCount;
    record.thinkingTokens = counts.thoughtsTokenCount;
    record.toolTokens = counts.toolUsePromptTokenCount;
    record.costUsd = UsagePricing::geminiCost(record.model, record.inputTokens, record.cacheTokens,
                                              record.outputTokens, record.thinkingTokens);
    record.latencyMs = facts.latencyMs;
    record.source = QStringLiteral("relay");
    if (facts.userAgent) {
        const QString agent = facts.userAgent->trimmed();
        if (!agent.isEmpty()) record.clientUserAgent = agent;
    }
    return record;
}

std::optional<QString> implausible(const GeminiUsageRecord& record) {
    for (const std::int64_t tokens : {record.inputTokens, record.outputTokens, record.cacheTokens,
                                      record.thinkingTokens, record.toolTokens}) {
        if (auto problem = UsageFigures::checkTokens(tokens)) return problem;
    }
    return UsageFigures::checkCost(record.costUsd);
}

}  // namespace qm::GeminiRelayMetering
