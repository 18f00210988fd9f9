#include "history/UsageHistoryFile.h"

#include <simdjson.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace qm {
namespace UsageHistoryJson {
namespace {

using simdjson::dom::element;
using simdjson::dom::object;

// Repeated texts (account ids, models, sources) share one QString across all records.
class Interner {
public:
    QString get(std::string_view text) {
        auto it = m_cache.find(text);
        if (it != m_cache.end()) return it->second;
        QString value = QString::fromUtf8(text.data(), qsizetype(text.size()));
        m_cache.emplace(text, value);
        return value;
    }

private:
    std::unordered_map<std::string_view, QString> m_cache;  // views into the parser's strings
};

bool readInt(element value, std::int64_t& out) {
    return value.get_int64().get(out) == simdjson::SUCCESS;
}

bool readDouble(element value, double& out) {
    // Integers are numbers too; simdjson converts them.
    return value.get_double().get(out) == simdjson::SUCCESS;
}

bool readText(element value, Interner& strings, QString& out) {
    std::string_view text;
    if (value.get_string().get(text) != simdjson::SUCCESS) return false;
    out = strings.get(text);
    return true;
}

// Walks one object's members once; `field` returns -1 for a bad value, the bit of a known key,
// or 0 for a key to ignore. The record decodes when every required bit was seen.
template <typename Field>
bool readObject(element value, unsigned required, Field field) {
    object members;
    if (value.get_object().get(members) != simdjson::SUCCESS) return false;
    unsigned seen = 0;
    for (auto member : members) {
        const int bit = field(member.key, member.value);
        if (bit < 0) return false;
        seen |= unsigned(bit);
    }
    return (seen & required) == required;
}

bool decodeClaude(element value, Interner& strings, ClaudeUsageSnapshot& out) {
    return readObject(value, 0x1f, [&](std::string_view key, element v) -> int {
        if (key == "timestampMs") return readInt(v, out.timestampMs) ? 0x01 : -1;
        if (key == "sessionPct") return readDouble(v, out.sessionPct) ? 0x02 : -1;
        if (key == "weekPct") return readDouble(v, out.weekPct) ? 0x04 : -1;
        if (key == "subPct") return readDouble(v, out.subPct) ? 0x08 : -1;
        if (key == "subModelName") return readText(v, strings, out.subModelName) ? 0x10 : -1;
        return 0;
    });
}

bool decodeGemini(element value, Interner& strings, GeminiUsageRecord& out) {
    return readObject(value, 0x7ff, [&](std::string_view key, element v) -> int {
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
            QString agent;
            if (!readText(v, strings, agent)) return -1;
            out.clientUserAgent = agent;
            return 0;
        }
        return 0;
    });
}

bool decodeApi(element value, Interner& strings, ApiUsageRecord& out) {
    return readObject(value, 0xff, [&](std::string_view key, element v) -> int {
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
bool decodeArray(element value, Interner& strings, std::vector<Record>& out, Decode decodeOne) {
    simdjson::dom::array items;
    if (value.get_array().get(items) != simdjson::SUCCESS) return false;
    out.reserve(items.size());
    for (element item : items) {
        Record record;
        if (!decodeOne(item, strings, record)) return false;
        out.push_back(std::move(record));
    }
    std::stable_sort(out.begin(), out.end(), [](const Record& a, const Record& b) {
        return a.timestampMs < b.timestampMs;
    });
    return true;
}

// --- encoding ---------------------------------------------------------------------------

class Writer {
public:
    explicit Writer(std::size_t reserve) { m_out.reserve(reserve); }

    void open() { m_out += "    {\n"; }
    void close() { m_out += "\n    }"; }

    void key(const char* name) {
        if (m_needsComma) m_out += ",\n";
        m_needsComma = true;
        m_out += "      \"";
        m_out += name;
        m_out += "\": ";
    }
    void integer(const char* name, std::int64_t value) {
        key(name);
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        m_out.append(buffer, result.ptr);
    }
    void number(const char* name, double value) {
        key(name);
        if (!std::isfinite(value)) value = 0;  // JSON has no NaN or infinity
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        m_out.append(buffer, result.ptr);
    }
    void text(const char* name, const QString& value) {
        key(name);
        appendQuoted(value);
    }

    std::string take() { return std::move(m_out); }

private:
    void appendQuoted(const QString& value) {
        const QByteArray utf8 = value.toUtf8();
        m_out += '"';
        for (const char c : utf8) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte == '"' || byte == '\\') {
                m_out += '\\';
                m_out += c;
            } else if (byte < 0x20) {
                static const char hex[] = "0123456789abcdef";
                m_out += "\\u00";
                m_out += hex[byte >> 4];
                m_out += hex[byte & 0xf];
            } else {
                m_out += c;
            }
        }
        m_out += '"';
    }

    std::string m_out;
    bool m_needsComma = false;
};

void appendSeries(QByteArray& out, const char* key, const std::vector<std::string>& chunks,
                  bool last) {
    out += "  \"";
    out += key;
    out += "\": [";
    if (!chunks.empty()) {
        out += '\n';
        bool first = true;
        for (const std::string& chunk : chunks) {
            if (!first) out += ",\n";
            first = false;
            out.append(chunk.data(), qsizetype(chunk.size()));
        }
        out += "\n  ";
    }
    out += last ? "]\n" : "],\n";
}

template <typename Record>
std::vector<std::string> encodeAll(const std::vector<Record>& records) {
    std::vector<std::string> chunks;
    chunks.reserve(records.size());
    for (const Record& record : records) chunks.push_back(encodeRecord(record));
    return chunks;
}

}  // namespace

std::optional<UsageHistoryData> decodePadded(const simdjson::padded_string& json);

std::optional<UsageHistoryData> decode(std::string_view json) {
    return decodePadded(simdjson::padded_string(json));
}

std::optional<UsageHistoryData> decodePadded(const simdjson::padded_string& json) {
    simdjson::dom::parser parser;
    element root;
    if (parser.parse(json).get(root) != simdjson::SUCCESS) return std::nullopt;
    object members;
    if (root.get_object().get(members) != simdjson::SUCCESS) return std::nullopt;
    Interner strings;
    UsageHistoryData data;
    for (auto member : members) {
        bool ok = true;
        if (member.key == "claudeSnapshots") {
            data.claudeSnapshots.clear();
            ok = decodeArray(member.value, strings, data.claudeSnapshots, decodeClaude);
        } else if (member.key == "geminiRecords") {
            data.geminiRecords.clear();
            ok = decodeArray(member.value, strings, data.geminiRecords, decodeGemini);
        } else if (member.key == "apiRecords") {
            data.apiRecords.clear();
            ok = decodeArray(member.value, strings, data.apiRecords, decodeApi);
        }
        if (!ok) return std::nullopt;
    }
    return data;
}

std::string encodeRecord(const ClaudeUsageSnapshot& snapshot) {
    Writer w(160);
    w.open();
    w.number("sessionPct", snapshot.sessionPct);
    w.text("subModelName", snapshot.subModelName);
    w.number("subPct", snapshot.subPct);
    w.integer("timestampMs", snapshot.timestampMs);
    w.number("weekPct", snapshot.weekPct);
    w.close();
    return w.take();
}

std::string encodeRecord(const GeminiUsageRecord& record) {
    Writer w(384);
    w.open();
    w.text("accountId", record.accountId);
    w.integer("cacheTokens", record.cacheTokens);
    if (record.clientUserAgent) w.text("clientUserAgent", *record.clientUserAgent);
    w.number("costUsd", record.costUsd);
    w.integer("inputTokens", record.inputTokens);
    w.integer("latencyMs", record.latencyMs);
    w.text("model", record.model);
    w.integer("outputTokens", record.outputTokens);
    w.text("source", record.source);
    w.integer("thinkingTokens", record.thinkingTokens);
    w.integer("timestampMs", record.timestampMs);
    w.integer("toolTokens", record.toolTokens);
    w.close();
    return w.take();
}

std::string encodeRecord(const ApiUsageRecord& record) {
    Writer w(256);
    w.open();
    w.text("accountId", record.accountId);
    w.integer("cacheTokens", record.cacheTokens);
    w.number("costUsd", record.costUsd);
    w.integer("inputTokens", record.inputTokens);
    w.text("model", record.model);
    w.integer("outputTokens", record.outputTokens);
    w.text("provider", record.provider);
    w.integer("timestampMs", record.timestampMs);
    w.close();
    return w.take();
}

QByteArray assemble(const std::vector<std::string>& apiRecords,
                    const std::vector<std::string>& claudeSnapshots,
                    const std::vector<std::string>& geminiRecords) {
    std::size_t size = 128;
    for (const auto* series : {&apiRecords, &claudeSnapshots, &geminiRecords}) {
        for (const std::string& chunk : *series) size += chunk.size() + 2;
    }
    QByteArray out;
    out.reserve(qsizetype(size));
    out += "{\n";
    appendSeries(out, "apiRecords", apiRecords, false);
    appendSeries(out, "claudeSnapshots", claudeSnapshots, false);
    appendSeries(out, "geminiRecords", geminiRecords, true);
    out += "}\n";
    return out;
}

QByteArray encode(const UsageHistoryData& data) {
    return assemble(encodeAll(data.apiRecords), encodeAll(data.claudeSnapshots),
                    encodeAll(data.geminiRecords));
}

}  // namespace UsageHistoryJson

UsageHistoryFileStore::UsageHistoryFileStore(QString historyPath)
    : m_path(std::move(historyPath)) {}

QString UsageHistoryFileStore::pathIn(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("usage-history.json"));
}

UsageHistoryFileStore::LoadResult UsageHistoryFileStore::load() const {
    LoadResult result;
    if (!QFileInfo::exists(m_path)) return result;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.state = LoadState::Unreadable;
        return result;
    }
    // simdjson reads past the end of its input, so the bytes get its padding.
    const qint64 size = file.size();
    simdjson::padded_string bytes(std::size_t(std::max<qint64>(size, 0)));
    const qint64 read = size > 0 ? file.read(bytes.data(), size) : 0;
    if (read < 0 || read != size) {
        result.state = LoadState::Unreadable;
        return result;
    }
    if (size == 0) {
        result.state = LoadState::Empty;
        return result;
    }
    std::optional<UsageHistoryData> data = UsageHistoryJson::decodePadded(bytes);
    if (!data) {
        result.state = LoadState::Undecodable;
        return result;
    }
    result.data = std::move(*data);
    result.state = LoadState::Loaded;
    return result;
}

std::optional<FileError> UsageHistoryFileStore::save(const UsageHistoryData& data) const {
    return writeAtomically(UsageHistoryJson::encode(data));
}

std::optional<FileError> UsageHistoryFileStore::writeAtomically(const QByteArray& bytes) const {
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        return FileError{EIO, QStringLiteral("Could not create the folder ") + folder};
    }
    return AtomicFile::write(m_path, bytes);
}

}  // namespace qm
