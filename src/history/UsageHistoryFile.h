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

// The whole file from already encoded records, in file order; ends with one line feed.
QByteArray assemble(const std::vector<std::string>& apiRecords,
                    const std::vector<std::string>& claudeSnapshots,
                    const std::vector<std::string>& geminiRecords);

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
    std::optional<FileError> writeAtomically(const QByteArray& bytes) const;

private:
    QString m_path;
};

}  // namespace qm
