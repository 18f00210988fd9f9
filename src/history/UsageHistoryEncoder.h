#pragma once

#include <QByteArray>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/HistoryRecords.h"

namespace qm {

// The JSON form of usage-history.json, written. Records are encoded one by one so the store
// can keep each record's text and rewrite a large history without encoding it again.
namespace UsageHistoryJson {

// One record as it appears inside its array: indented, keys sorted, no trailing separator.
std::string encodeRecord(const ClaudeUsageSnapshot& snapshot);
std::string encodeRecord(const GeminiUsageRecord& record);
std::string encodeRecord(const ApiUsageRecord& record);

// The encoded records of one series, each followed by ",\n", kept in blocks of bounded size.
// A block that a save in progress still reads is never changed (it is copied first), so a
// save can go on in the background while new records arrive, and a large history is written
// from the blocks without being joined.
class EncodedSeries {
public:
    static constexpr std::size_t kBlockBytes = 256 * 1024;
    using Block = std::shared_ptr<const std::string>;

    std::size_t size() const { return records_.size(); }
    void insert(std::size_t index, std::string_view record);  // index == size() appends
    void dropFront(std::size_t count);
    void clear();
    // Adds the records joined by ",\n" (no separator after the last one) to `pieces`, and the
    // blocks those pieces point into to `keep`.
    void appendPieces(std::vector<std::string_view>& pieces, std::vector<Block>& keep) const;

private:
    struct Position {
        std::uint64_t block;  // number of the block; blocks_[0] is number firstBlock_
        std::size_t offset;
    };
    std::shared_ptr<std::string>& block(std::uint64_t number) {
        return blocks_[std::size_t(number - firstBlock_)];
    }
    // The block itself when nothing else holds it, otherwise a copy that replaces it.
    std::string& writable(std::uint64_t number);

    std::deque<std::shared_ptr<std::string>> blocks_;
    std::uint64_t firstBlock_ = 0;
    std::deque<Position> records_;
};

// The whole file, in file order, as pieces that point into static text and into `keep`.
struct FileSnapshot {
    std::vector<std::string_view> pieces;
    std::vector<EncodedSeries::Block> keep;
};
FileSnapshot fileSnapshot(const EncodedSeries& apiRecords, const EncodedSeries& claudeSnapshots,
                          const EncodedSeries& geminiRecords);

QByteArray encode(const UsageHistoryData& data);

}  // namespace UsageHistoryJson

}  // namespace qm
