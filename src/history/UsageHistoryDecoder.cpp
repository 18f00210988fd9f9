#include "history/UsageHistoryDecoder.h"

#include <algorithm>
#include <unordered_map>

namespace qm {
namespace UsageHistoryJson {
namespace {

// On-demand parsing walks the text once without building a document tree, which matters for
// a history of many megabytes read at every start.
namespace od = simdjson::ondemand;

// Repeated texts (account ids, models, sources) share one QString across all records.
class Interner {
public:
    QString get(std::string_view text) {
        auto it = cache_.find(text);
        if (it != cache_.end()) return it->second;
        QString value = QString::fromUtf8(text.data(), qsizetype(text.size()));
        cache_.emplace(text, value);
        return value;
    }

private:
    std::unordered_map<std::string_view, QString> cache_;  // views into the parser's strings
};

bool readInt(od::value& value, std::int64_t& out) {
    return value.get_int64().get(out) == simdjson::SUCCESS;
}

bool readDouble(od::value& value, double& out) {
    // Integers are numbers too; simdjson converts them.
    return value.get_double().get(out) == simdjson::SUCCESS;
}

bool readText(od::value& value, Interner& strings, QString& out) {
    std::string_view text;
    if (value.get_string().get(text) != simdjson::SUCCESS) return false;
    out = strings.get(text);
    return true;
}

// Reads a value this program does not use, checking it is well formed: an on-demand walk
// would otherwise skip it by counting brackets and accept text that is not JSON.
bool skipChecked(od::value& value) {
    od::json_type type;
    if (value.type().get(type) != simdjson::SUCCESS) return false;
    switch (type) {
        case od::json_type::array: {
            od::array items;
            if (value.get_array().get(items) != simdjson::SUCCESS) return false;
            for (auto result : items) {
                od::value item;
                if (result.get(item) != simdjson::SUCCESS || !skipChecked(item)) return false;
            }
            return true;
        }
        case od::json_type::object: {
            od::object members;
            if (value.get_object().get(members) != simdjson::SUCCESS) return false;
            for (auto member : members) {
                std::string_view key;
                od::value item;
                if (member.unescaped_key().get(key) != simdjson::SUCCESS ||
                    member.value().get(item) != simdjson::SUCCESS || !skipChecked(item)) {
                    return false;
                }
            }
            return true;
        }
        case od::json_type::number: {
            od::number number;
            return value.get_number().get(number) == simdjson::SUCCESS;
        }
        case od::json_type::string: {
            std::string_view text;
            return value.get_string().get(text) == simdjson::SUCCESS;
        }
        case od::json_type::boolean: {
            bool flag = false;
            return value.get_bool().get(flag) == simdjson::SUCCESS;
        }
        case od::json_type::null: {
            bool isNull = false;
            return value.is_null().get(isNull) == simdjson::SUCCESS && isNull;
        }
    }
    return false;
}

// Walks one object's members once; `field` returns -1 for a bad value, the bit of a known key,
// or 0 for a key it does not know (its value is checked and dropped). The record decodes when
// every required bit was seen.
template <typename Field>
bool readObject(od::value& value, unsigned required, Field field) {
    od::object members;
    if (value.get_object().get(members) != simdjson::SUCCESS) return false;
    unsigned seen = 0;
    for (auto member : members) {
        std::string_view key;
        od::value item;
        if (member.unescaped_key().get(key) != simdjson::SUCCESS ||
            member.value().get(item) != simdjson::SUCCESS) {
            return false;
        }
        const int bit = field(key, item);
        if (bit < 0 || (bit == 0 && !skipChecked(item))) return false;
        seen |= unsigned(bit);
    }
    return (seen & required) == required;
}

bool decodeClaude(od::value& value, Interner& strings, ClaudeUsageSnapshot& out) {
    return readObject(value, 0x1f, [&](std::string_view key, od::value& v) -> int {
        if (key == "timestampMs") return readInt(v, out.timestampMs) ? 0x01 : -1;
        if (key == "sessionPct") return readDouble(v, out.sessionPct) ? 0x02 : -1;
        if (key == "weekPct") return readDouble(v, out.weekPct) ? 0x04 : -1;
        if (key == "subPct") return readDouble(v, out.subPct) ? 0x08 : -1;
        if (key == "subModelName") return readText(v, strings, out.subModelName) ? 0x10 : -1;
        return 0;
    });
}

bool decodeGemini(od::value& value, Interner& strings, GeminiUsageRecord& out) {
    return readObject(value, 0x7ff, [&](std::string_view key, od::value& v) -> int {
        if (key == "timestampMs") return readInt(v, out.timestampMs) ? 0x001 : -1;
        if (key == "accountId") return readText(v, strings, out.accountId) ? 0x002 : -1;
        if (key == "model") return readText(v, strings, out.model) ? 0x004 : -1;
        if (key == "inputTokens") return readInt(v, out.inputTokens) ? 0x008 : -1;
        if (key == "outputTokens") return readInt(v, out.outputTokens) ? 0x010 : -1;
        if (key == "cacheTokens") return readInt(v, out.cacheTokens) ? 0x020 : -1;
        if (key == "thinkingTokens") return readInt(v, out.thinkingTokens) ? 0x040 : -1;
        if (key == "toolTokens") return readInt(v, out.toolTokens) ? 0x080 : -1;
        if (key == "costUsd") return readDouble(v, out.costUsd) ? 0x100 : -1;
        if (key == "latencyMs") return readInt(v, out.latencyMs) ? 0x200 : -1;
        if (key == "source") return readText(v, strings, out.source) ? 0x400 : -1;
        if (key == "clientUserAgent") {
            bool isNull = false;
            if (v.is_null().get(isNull) != simdjson::SUCCESS) return -1;
            if (isNull) return 0x800;  // null reads as absent
            QString agent;
            if (!readText(v, strings, agent)) return -1;
            out.clientUserAgent = agent;
            return 0x800;  // optional: not among the required bits
        }
        return 0;
    });
}

bool decodeApi(od::value& value, Interner& strings, ApiUsageRecord& out) {
    return readObject(value, 0xff, [&](std::string_view key, od::value& v) -> int {
        if (key == "timestampMs") return readInt(v, out.timestampMs) ? 0x01 : -1;
        if (key == "provider") return readText(v, strings, out.provider) ? 0x02 : -1;
        if (key == "accountId") return readText(v, strings, out.accountId) ? 0x04 : -1;
        if (key == "model") return readText(v, strings, out.model) ? 0x08 : -1;
        if (key == "inputTokens") return readInt(v, out.inputTokens) ? 0x10 : -1;
        if (key == "outputTokens") return readInt(v, out.outputTokens) ? 0x20 : -1;
        if (key == "cacheTokens") return readInt(v, out.cacheTokens) ? 0x40 : -1;
        if (key == "costUsd") return readDouble(v, out.costUsd) ? 0x80 : -1;
        return 0;
    });
}

template <typename Record, typename Decode>
bool decodeArray(od::value& value, Interner& strings, std::vector<Record>& out, Decode decodeOne) {
    od::array items;
    if (value.get_array().get(items) != simdjson::SUCCESS) return false;
    out.clear();
    for (auto result : items) {
        od::value item;
        Record record;
        if (result.get(item) != simdjson::SUCCESS || !decodeOne(item, strings, record))
            return false;
        out.push_back(std::move(record));
    }
    const auto byTime = [](const Record& a, const Record& b) {
        return a.timestampMs < b.timestampMs;
    };
    // A file this program wrote is already in order; only a hand-edited one needs sorting.
    if (!std::is_sorted(out.begin(), out.end(), byTime))
        std::stable_sort(out.begin(), out.end(), byTime);
    return true;
}

// --- encoding ---------------------------------------------------------------------------

}  // namespace

std::optional<UsageHistoryData> decode(std::string_view json) {
    const simdjson::padded_string padded(json);
    return decodePadded(padded);
}

std::optional<UsageHistoryData> decodePadded(simdjson::padded_string_view json) {
    od::parser parser;
    od::document document;
    if (parser.iterate(json).get(document) != simdjson::SUCCESS) return std::nullopt;
    od::object members;
    if (document.get_object().get(members) != simdjson::SUCCESS) return std::nullopt;
    Interner strings;
    UsageHistoryData data;
    for (auto member : members) {
        std::string_view key;
        od::value value;
        if (member.unescaped_key().get(key) != simdjson::SUCCESS ||
            member.value().get(value) != simdjson::SUCCESS) {
            return std::nullopt;
        }
        bool ok = true;
        if (key == "claudeSnapshots") {
            ok = decodeArray(value, strings, data.claudeSnapshots, decodeClaude);
        } else if (key == "geminiRecords") {
            ok = decodeArray(value, strings, data.geminiRecords, decodeGemini);
        } else if (key == "apiRecords") {
            ok = decodeArray(value, strings, data.apiRecords, decodeApi);
        } else {
            ok = skipChecked(value);
        }
        if (!ok) return std::nullopt;
    }
    // Nothing may follow the root object.
    if (document.current_location().error() != simdjson::OUT_OF_BOUNDS) return std::nullopt;
    return data;
}

}  // namespace UsageHistoryJson
}  // namespace qm
