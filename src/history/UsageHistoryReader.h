#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/HistoryRecords.h"
#include "history/UsageHistoryFile.h"

namespace qm {

// The usage history as a reader sees it: the file and the records its journal adds, merged in
// memory, checked and pruned as the store would. Reading never creates, locks, renames or
// rewrites anything, so every command that only reports (history, title, budgets, limits,
// report) goes through here; only a process that records usage folds the journal.
class UsageHistoryReader {
public:
    // `nowMs` decides what has expired and what lies in the future.
    static UsageHistoryReader read(const QString& historyPath, std::int64_t nowMs);

    const QString& historyPath() const { return path_; }
    const UsageHistoryData& data() const { return data_; }
    const std::vector<ClaudeUsageSnapshot>& claudeSnapshots() const {
        return data_.claudeSnapshots;
    }
    const std::vector<GeminiUsageRecord>& geminiUsageRecords() const { return data_.geminiRecords; }
    const std::vector<ApiUsageRecord>& apiUsageRecords() const { return data_.apiRecords; }
    // How the file looked; an unusable one is reported and left for a writer to set aside.
    UsageHistoryFileStore::LoadState loadState() const { return state_; }
    // Why the journal could not be read, when it could not.
    const std::optional<QString>& journalProblem() const { return journalProblem_; }

private:
    QString path_;
    UsageHistoryData data_;
    UsageHistoryFileStore::LoadState state_ = UsageHistoryFileStore::LoadState::Missing;
    std::optional<QString> journalProblem_;
};

}  // namespace qm
