#include "history/UsageHistoryEncoder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>

namespace qm {
namespace UsageHistoryJson {
namespace {

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

}  // namespace qm
