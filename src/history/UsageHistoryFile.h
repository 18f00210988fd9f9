#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/AtomicFile.h"
#include "core/HistoryRecords.h"
#include "history/UsageHistoryDecoder.h"
#include "history/UsageHistoryEncoder.h"

namespace qm {

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
    // A file that is there but gave nothing usable: it is kept aside before the next save.
    static bool isUnusable(LoadState state) {
        return state == LoadState::Unreadable || state == LoadState::Undecodable;
    }
    struct LoadResult {
        UsageHistoryData data;
        LoadState state = LoadState::Missing;
    };

    explicit UsageHistoryFileStore(QString historyPath);
    static QString pathIn(const QString& dataDirectory);  // <dir>/usage-history.json

    const QString& historyPath() const { return path_; }

    // Never fails: every problem gives an empty history, told apart by `state`.
    LoadResult load() const;

    std::optional<FileError> save(const UsageHistoryData& data) const;
    // Creates the parent folder, then replaces the file through "<file>.tmp" and a rename.
    std::optional<FileError> writeAtomically(const std::vector<std::string_view>& pieces) const;

private:
    QString path_;
};

}  // namespace qm
