#include "history/UsageHistoryReader.h"

#include <algorithm>

#include "core/SharedFile.h"
#include "history/UsageHistoryJournal.h"
#include "history/UsageHistoryStore.h"
#include "history/UsageHistoryValidation.h"

namespace qm {
namespace {

template <typename Record>
void mergeSorted(std::vector<Record>& into, std::vector<Record>& more, std::int64_t cutoffMs) {
    for (Record& record : more) into.push_back(std::move(record));
    std::stable_sort(into.begin(), into.end(), [](const Record& a, const Record& b) {
        return a.timestampMs < b.timestampMs;
    });
    std::erase_if(into, [cutoffMs](const Record& r) { return r.timestampMs < cutoffMs; });
}

}  // namespace

UsageHistoryReader UsageHistoryReader::read(const QString& historyPath, std::int64_t nowMs) {
    UsageHistoryReader result;
    result.path_ = historyPath;
    const UsageHistoryFileStore store(historyPath);
    const QString journalPath = UsageHistoryJournal::pathFor(historyPath);
    UsageHistoryFileStore::LoadResult loaded;
    UsageHistoryJournal::Read journal;
    FileStamp file;
    // Without the lock a writer may replace the file between the two reads; the file is then
    // read again, so the journal is matched against the file it extends.
    for (int attempt = 0; attempt < 5; ++attempt) {
        file = FileStamp::of(historyPath);
        loaded = store.load();
        journal = UsageHistoryJournal::read(journalPath, 0);
        if (FileStamp::of(historyPath) == file) break;
    }
    result.state_ = loaded.state;
    if (journal.error) result.journalProblem_ = journal.error->message;
    UsageHistoryData extra;
    // A journal naming another file is not replayed, as the store does not replay it.
    if (journal.base && *journal.base == file) extra = std::move(journal.records);
    UsageHistoryValidation::dropInvalid(loaded.data, nowMs);
    UsageHistoryValidation::dropInvalid(extra, nowMs);
    result.data_ = std::move(loaded.data);
    mergeSorted(result.data_.claudeSnapshots, extra.claudeSnapshots,
                nowMs - UsageHistoryStore::claudeRetentionMs);
    mergeSorted(result.data_.geminiRecords, extra.geminiRecords,
                nowMs - UsageHistoryStore::geminiRetentionMs);
    mergeSorted(result.data_.apiRecords, extra.apiRecords,
                nowMs - UsageHistoryStore::apiRetentionMs);
    return result;
}

}  // namespace qm
