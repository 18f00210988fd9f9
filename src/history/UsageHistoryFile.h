#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/AtomicFile.h"
#include "history/HistoryRecords.h"

namespace qm {

// The JSON form of usage-history.json. Records are encoded one by one so the store can keep
// each record's text and rewrite a large history without encoding it again.
namespace UsageHistoryJson {

// Undecodable input (malformed JSON, a missing or mistyped record key) gives nothing.
// Extra keys are ignored; each series comes back sorted by time (stable).
std::optional<UsageHistoryData> decode(std::string_view json);

// One record as it appears inside its array: indented, keys sorted, no trailing separator.
std::string encodeRecord(const ClaudeUsageSnapshot& snapshot);
std::string encodeRecord(const GeminiUsageRecord& record);
std::string encodeRecord(const ApiUsageRecord& record);

// The encoded records of one series kept as one text, each record followed by ",\n", so a
// save writes the series with one copy-free piece and an append only adds to the end.
class EncodedSeries {
public:
    std::size_t size() const { return m_offsets.size(); }
    void insert(std::size_t index, std::string_view record);  // index == size() appends
    void dropFront(std::size_t count);
    void clear();
    // The records joined by ",\n", without a separator after the last one.
    std::string_view joined() const;

private:
    std::string m_text;
    std::vector<std::size_t> m_offsets;  // where each record starts in m_text
    std::size_t m_head = 0;              // bytes of dropped records still at the front
};

// The whole file, in file order, as pieces that point into the series; ends with one line feed.
std::vector<std::string_view> filePieces(const EncodedSeries& apiRecords,
                                         const EncodedSeries& claudeSnapshots,
                                         const EncodedSeries& geminiRecords);

QByteArray encode(const UsageHistoryData& data);

}  // namespace UsageHistoryJson

// Loads and atomically saves the history file.
class UsageHistoryFileStore {
public:
    enum class LoadState {
        Missing,      // no file: an empty history
        Empty,        // a file without bytes: an empty history
        Loaded,       // decoded
        Unreadable,   // exists but could not be read: an empty history
        Undecodable,  // exists but is not a history: an empty history
    };
    struct LoadResult {
        UsageHistoryData data;
        LoadState state = LoadState::Missing;
    };

    explicit UsageHistoryFileStore(QString historyPath);
    static QString pathIn(const QString& dataDirectory);  // <dir>/usage-history.json

    const QString& historyPath() const { return m_path; }

    // Never fails: every problem gives an empty history, told apart by `state`.
    LoadResult load() const;

    std::optional<FileError> save(const UsageHistoryData& data) const;
    // Creates the parent folder, then replaces the file through "<file>.tmp" and a rename.
    std::optional<FileError> writeAtomically(const std::vector<std::string_view>& pieces) const;

private:
    QString m_path;
};

}  // namespace qm
