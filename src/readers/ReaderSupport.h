#pragma once

#include <QFileInfo>
#include <QHash>
#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "core/UsageModels.h"
#include "readers/CliLogParsing.h"

// Pieces the three readers share when they assemble a summary.
namespace qm::readers {

inline constexpr std::size_t kListedSessions = 20;

// A regular file itself, not a link to one and not a FIFO, socket or device.
inline bool isRegularFile(const QFileInfo& info) {
    return !info.isSymLink() && info.isFile();
}

// Per-model totals in order of first use, so models that tie keep a stable order.
class ModelTotals {
public:
    ModelUsage& entry(const QString& model) {
        auto it = index_.constFind(model);
        if (it != index_.constEnd()) return models_[*it];
        index_.insert(model, models_.size());
        ModelUsage& created = models_.emplace_back();
        created.id = model;
        created.model = model;
        return created;
    }

    std::vector<ModelUsage> sortedByCost() const {
        std::vector<ModelUsage> sorted = models_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const ModelUsage& a, const ModelUsage& b) { return a.cost > b.cost; });
        return sorted;
    }

    std::vector<ModelUsage> sortedByTokens() const {
        std::vector<ModelUsage> sorted = models_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const ModelUsage& a, const ModelUsage& b) {
                             return CliLogParsing::addCounts(a.inputTokens, a.outputTokens) >
                                    CliLogParsing::addCounts(b.inputTokens, b.outputTokens);
                         });
        return sorted;
    }

private:
    std::vector<ModelUsage> models_;
    QHash<QString, std::size_t> index_;
};

// Most recently active first (no time counts as the distant past), cut to what a card lists.
inline std::vector<SessionUsage> latestSessions(std::vector<SessionUsage> sessions) {
    std::stable_sort(sessions.begin(), sessions.end(),
                     [](const SessionUsage& a, const SessionUsage& b) {
                         return a.lastActiveAt.value_or(std::numeric_limits<TimeMs>::min()) >
                                b.lastActiveAt.value_or(std::numeric_limits<TimeMs>::min());
                     });
    if (sessions.size() > kListedSessions) sessions.resize(kListedSessions);
    return sessions;
}

// Decoded-document lookups: the value under `key` when it has the wanted type.
inline std::optional<std::string_view> textAt(const simdjson::dom::object& object,
                                              std::string_view key) {
    std::string_view text;
    if (object.at_key(key).get(text) != simdjson::SUCCESS) return std::nullopt;
    return text;
}

inline std::optional<simdjson::dom::object> objectAt(const simdjson::dom::object& object,
                                                     std::string_view key) {
    simdjson::dom::object value;
    if (object.at_key(key).get(value) != simdjson::SUCCESS) return std::nullopt;
    return value;
}

// A list whose every element is an object (an empty list qualifies).
inline bool isListOfObjects(const simdjson::dom::element& element) {
    simdjson::dom::array array;
    if (element.get(array) != simdjson::SUCCESS) return false;
    for (simdjson::dom::element item : array) {
        if (!item.is_object()) return false;
    }
    return true;
}

inline QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// The first text of a message's "content": the text itself, or the first non-empty "text"
// of its items.
inline std::optional<std::string_view> firstContentText(const simdjson::dom::object& payload) {
    simdjson::dom::element content;
    if (payload.at_key("content").get(content) != simdjson::SUCCESS) {
        return textAt(payload, "text");
    }
    std::string_view text;
    if (content.get(text) == simdjson::SUCCESS) return text;
    simdjson::dom::array items;
    if (content.get(items) != simdjson::SUCCESS) return std::nullopt;
    for (simdjson::dom::element item : items) {
        if (item.get(text) == simdjson::SUCCESS) return text;
        simdjson::dom::object object;
        if (item.get(object) != simdjson::SUCCESS) continue;
        if (auto itemText = textAt(object, "text"); itemText && !itemText->empty()) {
            return itemText;
        }
    }
    return std::nullopt;
}

// A spawned Codex sub-agent names itself in "source": {"subagent": ...} (or a "subagent..."
// text).
inline bool isSubagentSource(const simdjson::dom::object& payload) {
    simdjson::dom::element source;
    if (payload.at_key("source").get(source) != simdjson::SUCCESS) return false;
    std::string_view text;
    if (source.get(text) == simdjson::SUCCESS) return text.starts_with("subagent");
    simdjson::dom::object object;
    simdjson::dom::element ignored;
    return source.get(object) == simdjson::SUCCESS &&
           object.at_key("subagent").get(ignored) == simdjson::SUCCESS;
}

// The counts one Codex rollout line reports, as the summary reader and the usage index both
// take them: a token_count event's cumulative totals, or an early rollout's usage on the line.
struct CodexCounts {
    std::int64_t input = 0;  // includes `cached`
    std::int64_t cached = 0;
    std::int64_t output = 0;  // includes `reasoning`
    std::int64_t reasoning = 0;
};
// None when a count breaks the rule for figures from outside (UsageFigures), each or the call's
// input and output together.
std::optional<CodexCounts> codexTotals(const simdjson::dom::object& totals);
std::optional<CodexCounts> codexLineUsage(const simdjson::dom::object& usage);
// An early rollout's usage on `line`: the object under the first of the keys it may use.
std::optional<simdjson::dom::object> codexLineUsageObject(const simdjson::dom::object& line);
// Whether the counts `line` reports keep the rule; a line that breaks it is skipped whole.
bool codexCountsInRange(const simdjson::dom::object& line);

// A Codex "rate_limits" object as plan limits observed at `at`: none when it holds neither
// window. The summary reader and the usage index read reports the same way.
std::optional<CodexPlanLimits> codexPlanLimits(const simdjson::dom::object& limits,
                                               std::optional<TimeMs> at);

}  // namespace qm::readers
