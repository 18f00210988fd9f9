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
    explicit Writer(std::size_t reserve) { out_.reserve(reserve); }

    void open() { out_ += "    {\n"; }
    void close() { out_ += "\n    }"; }

    void key(const char* name) {
        if (needsComma_) out_ += ",\n";
        needsComma_ = true;
        out_ += "      \"";
        out_ += name;
        out_ += "\": ";
    }
    void integer(const char* name, std::int64_t value) {
        key(name);
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, result.ptr);
    }
    void number(const char* name, double value) {
        key(name);
        if (!std::isfinite(value)) value = 0;  // JSON has no NaN or infinity
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, result.ptr);
    }
    void text(const char* name, const QString& value) {
        key(name);
        appendQuoted(value);
    }

    std::string take() { return std::move(out_); }

private:
    void appendQuoted(const QString& value) {
        const QByteArray utf8 = value.toUtf8();
        out_ += '"';
        for (const char c : utf8) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte == '"' || byte == '\\') {
                out_ += '\\';
                out_ += c;
            } else if (byte < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out_ += "\\u00";
                out_ += hex[byte >> 4];
                out_ += hex[byte & 0xf];
            } else {
                out_ += c;
            }
        }
        out_ += '"';
    }

    std::string out_;
    bool needsComma_ = false;
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
    if (index >= records_.size()) {
        if (blocks_.empty() || blocks_.back()->size() + length > kBlockBytes) {
            blocks_.push_back(std::make_shared<std::string>());
            blocks_.back()->reserve(std::max(kBlockBytes, length));
        }
        const std::uint64_t number = firstBlock_ + blocks_.size() - 1;
        std::string& text = writable(number);
        records_.push_back({number, text.size()});
        text.append(record);
        text.append(separator);
        return;
    }
    // An older record arriving late goes into the block of the record it precedes; only that
    // block's later records move.
    const Position at = records_[index];
    std::string& text = writable(at.block);
    text.insert(at.offset, separator);
    text.insert(at.offset, record);
    for (std::size_t i = index; i < records_.size() && records_[i].block == at.block; ++i)
        records_[i].offset += length;
    records_.insert(records_.begin() + std::ptrdiff_t(index), at);
}

void EncodedSeries::dropFront(std::size_t count) {
    if (count == 0) return;
    if (count >= records_.size()) {
        clear();
        return;
    }
    records_.erase(records_.begin(), records_.begin() + std::ptrdiff_t(count));
    while (firstBlock_ < records_.front().block) {
        blocks_.pop_front();
        ++firstBlock_;
    }
}

void EncodedSeries::clear() {
    firstBlock_ += blocks_.size();
    blocks_.clear();
    records_.clear();
}

void EncodedSeries::appendPieces(std::vector<std::string_view>& pieces,
                                 std::vector<Block>& keep) const {
    if (records_.empty()) return;
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        std::string_view text(*blocks_[i]);
        if (i == 0) text.remove_prefix(records_.front().offset);
        if (i + 1 == blocks_.size()) text.remove_suffix(2);  // the last separator
        pieces.push_back(text);
        keep.push_back(blocks_[i]);
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
