#include "history/UsageHistoryFile.h"

#include <fcntl.h>
#include <simdjson.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "core/SharedFile.h"

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
        auto it = m_cache.find(text);
        if (it != m_cache.end()) return it->second;
        QString value = QString::fromUtf8(text.data(), qsizetype(text.size()));
        m_cache.emplace(text, value);
        return value;
    }

private:
    std::unordered_map<std::string_view, QString> m_cache;  // views into the parser's strings
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

template <typename Record>
EncodedSeries encodeAll(const std::vector<Record>& records) {
    EncodedSeries series;
    for (const Record& record : records) series.insert(series.size(), encodeRecord(record));
    return series;
}

}  // namespace

std::optional<UsageHistoryData> decodePadded(simdjson::padded_string_view json);

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

std::string& EncodedSeries::writable(std::uint64_t number) {
    std::shared_ptr<std::string>& slot = block(number);
    // References leave only through snapshots, and those come back to this thread to be
    // dropped, so a count of one means no save reads the block now.
    if (slot.use_count() > 1) slot = std::make_shared<std::string>(*slot);
    return *slot;
}

void EncodedSeries::insert(std::size_t index, std::string_view record) {
    static constexpr std::string_view separator = ",\n";
    const std::size_t length = record.size() + separator.size();
    if (index >= m_records.size()) {
        if (m_blocks.empty() || m_blocks.back()->size() + length > kBlockBytes) {
            m_blocks.push_back(std::make_shared<std::string>());
            m_blocks.back()->reserve(std::max(kBlockBytes, length));
        }
        const std::uint64_t number = m_firstBlock + m_blocks.size() - 1;
        std::string& text = writable(number);
        m_records.push_back({number, text.size()});
        text.append(record);
        text.append(separator);
        return;
    }
    // An older record arriving late goes into the block of the record it precedes; only that
    // block's later records move.
    const Position at = m_records[index];
    std::string& text = writable(at.block);
    text.insert(at.offset, separator);
    text.insert(at.offset, record);
    for (std::size_t i = index; i < m_records.size() && m_records[i].block == at.block; ++i)
        m_records[i].offset += length;
    m_records.insert(m_records.begin() + std::ptrdiff_t(index), at);
}

void EncodedSeries::dropFront(std::size_t count) {
    if (count == 0) return;
    if (count >= m_records.size()) {
        clear();
        return;
    }
    m_records.erase(m_records.begin(), m_records.begin() + std::ptrdiff_t(count));
    while (m_firstBlock < m_records.front().block) {
        m_blocks.pop_front();
        ++m_firstBlock;
    }
}

void EncodedSeries::clear() {
    m_firstBlock += m_blocks.size();
    m_blocks.clear();
    m_records.clear();
}

void EncodedSeries::appendPieces(std::vector<std::string_view>& pieces,
                                 std::vector<Block>& keep) const {
    if (m_records.empty()) return;
    for (std::size_t i = 0; i < m_blocks.size(); ++i) {
        std::string_view text(*m_blocks[i]);
        if (i == 0) text.remove_prefix(m_records.front().offset);
        if (i + 1 == m_blocks.size()) text.remove_suffix(2);  // the last separator
        pieces.push_back(text);
        keep.push_back(m_blocks[i]);
    }
}

FileSnapshot fileSnapshot(const EncodedSeries& apiRecords, const EncodedSeries& claudeSnapshots,
                          const EncodedSeries& geminiRecords) {
    FileSnapshot file;
    file.pieces.push_back("{\n");
    const auto series = [&file](std::string_view opening, const EncodedSeries& records, bool last) {
        file.pieces.push_back(opening);
        if (records.size() > 0) {
            file.pieces.push_back("\n");
            records.appendPieces(file.pieces, file.keep);
            file.pieces.push_back("\n  ");
        }
        file.pieces.push_back(last ? "]\n" : "],\n");
    };
    series("  \"apiRecords\": [", apiRecords, false);
    series("  \"claudeSnapshots\": [", claudeSnapshots, false);
    series("  \"geminiRecords\": [", geminiRecords, true);
    file.pieces.push_back("}\n");
    return file;
}

QByteArray encode(const UsageHistoryData& data) {
    const EncodedSeries api = encodeAll(data.apiRecords);
    const EncodedSeries claude = encodeAll(data.claudeSnapshots);
    const EncodedSeries gemini = encodeAll(data.geminiRecords);
    QByteArray out;
    for (const std::string_view piece : fileSnapshot(api, claude, gemini).pieces)
        out.append(piece.data(), qsizetype(piece.size()));
    return out;
}

}  // namespace UsageHistoryJson

UsageHistoryFileStore::UsageHistoryFileStore(QString historyPath)
    : m_path(std::move(historyPath)) {}

QString UsageHistoryFileStore::pathIn(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("usage-history.json"));
}

namespace {

// A file's bytes followed by simdjson's padding of zeros. The file is mapped over a zeroed
// anonymous region, so the padding comes from the region and nothing is copied; where mapping
// is not possible the bytes are read into memory.
class PaddedFileBytes {
public:
    PaddedFileBytes(int fd, std::size_t length) : m_length(length) {
        const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
        m_mappedSize = (length + simdjson::SIMDJSON_PADDING + page - 1) / page * page;
        void* region = ::mmap(nullptr, m_mappedSize, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (region != MAP_FAILED) {
            if (::mmap(region, length, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, 0) !=
                MAP_FAILED) {
                m_data = static_cast<const char*>(region);
                return;
            }
            ::munmap(region, m_mappedSize);
        }
        m_mappedSize = 0;
        m_copy.reset(new char[length + simdjson::SIMDJSON_PADDING]);
        std::memset(m_copy.get() + length, 0, simdjson::SIMDJSON_PADDING);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::read(fd, m_copy.get() + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                m_copy.reset();
                return;
            }
            done += std::size_t(n);
        }
        m_data = m_copy.get();
    }
    ~PaddedFileBytes() {
        if (m_mappedSize > 0) ::munmap(const_cast<char*>(m_data), m_mappedSize);
    }
    PaddedFileBytes(const PaddedFileBytes&) = delete;
    PaddedFileBytes& operator=(const PaddedFileBytes&) = delete;

    bool valid() const { return m_data != nullptr; }
    simdjson::padded_string_view view() const {
        return simdjson::padded_string_view(m_data, m_length,
                                            m_length + simdjson::SIMDJSON_PADDING);
    }

private:
    const char* m_data = nullptr;
    std::size_t m_length = 0;
    std::size_t m_mappedSize = 0;
    std::unique_ptr<char[]> m_copy;
};

}  // namespace

UsageHistoryFileStore::LoadResult UsageHistoryFileStore::load() const {
    LoadResult result;
    std::optional<FileError> error;
    const int fd = openRegularFile(m_path, std::nullopt, &error);
    if (fd < 0) {
        result.state = error && error->code == ENOENT ? LoadState::Missing : LoadState::Unreadable;
        return result;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        result.state = LoadState::Unreadable;
        return result;
    }
    if (info.st_size == 0) {
        ::close(fd);
        result.state = LoadState::Empty;
        return result;
    }
    // The file is replaced by a rename, never rewritten in place, so a mapping of it stays
    // whole while it is read.
    const PaddedFileBytes bytes(fd, std::size_t(info.st_size));
    ::close(fd);
    if (!bytes.valid()) {
        result.state = LoadState::Unreadable;
        return result;
    }
    std::optional<UsageHistoryData> data = UsageHistoryJson::decodePadded(bytes.view());
    if (!data) {
        result.state = LoadState::Undecodable;
        return result;
    }
    result.data = std::move(*data);
    result.state = LoadState::Loaded;
    return result;
}

std::optional<FileError> UsageHistoryFileStore::save(const UsageHistoryData& data) const {
    const QByteArray bytes = UsageHistoryJson::encode(data);
    return writeAtomically({std::string_view(bytes.constData(), std::size_t(bytes.size()))});
}

std::optional<FileError> UsageHistoryFileStore::writeAtomically(
    const std::vector<std::string_view>& pieces) const {
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        return FileError{EIO, QStringLiteral("Could not create the folder ") + folder};
    }
    return AtomicFile::write(m_path, pieces);
}

}  // namespace qm
