#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/HistoryRecords.h"
#include "core/SharedFile.h"
#include "core/UsageBucket.h"
#include "history/UsageHistoryFile.h"
#include "history/UsageHistoryWriter.h"

namespace qm {

// The one owner of the usage history in memory: validates what the producers hand over,
// keeps each series sorted and prunes old entries. Every accepted record is appended to the
// journal beside the file before the call returns, so it survives a kill, and synced to the
// disk once per turn of the event loop, before anything queued after it runs; the whole
// file is rewritten from memory a few seconds after a change, when the journal grows past a
// bound, and at exit, on a writer thread from a snapshot of the encoded records.
//
// Other processes write the same files. Every write holds the file's lock and first reads what
// the others added (a stat of each file when nothing changed); a watcher notices their changes
// between writes, and the store republishes. Main thread only.
class UsageHistoryStore : public QObject {
    Q_OBJECT
public:
    static constexpr std::int64_t claudeRetentionMs = 2'592'000'000;  // 30 days
    static constexpr std::int64_t geminiRetentionMs = 7'776'000'000;  // 90 days
    static constexpr std::int64_t apiRetentionMs = 7'776'000'000;     // 90 days
    static constexpr std::int64_t duplicateWindowMs = 60'000;
    // How long after a change the file is rewritten, and the journal size that forces it.
    static constexpr std::int64_t rewriteDelayMs = 3'000;
    static constexpr std::int64_t journalBoundBytes = 1 << 20;

    explicit UsageHistoryStore(UsageHistoryFileStore storage, Clock now = {},
                               QObject* parent = nullptr);
    // Rewrites the file when the journal holds records, and waits for the save to end.
    ~UsageHistoryStore() override;

    // What became of a record handed over: in the journal (saved), held in memory because
    // nothing can be written now (saved later, lost to a kill before then), dropped because
    // too many were held already, or refused as invalid.
    enum class Outcome { saved, held, dropped, refused };
    // Records held in memory at most while nothing can be written.
    static constexpr std::size_t kDefaultHeldLimit = 100'000;
    // How soon a failed write is tried again, doubling up to the maximum.
    static constexpr int kFirstRetryMs = 500;
    static constexpr int kMaxRetryMs = 30'000;

    // Saves held records when writing works again, rewrites the file now when the journal
    // holds records, waits until it is written (or the save failed) and updates lastError().
    void flush();
    // Reads what other processes wrote since, and publishes it. The watcher calls this.
    bool refreshIfChanged();

    const std::vector<ClaudeUsageSnapshot>& claudeSnapshots() const { return claude_.records; }
    const std::vector<GeminiUsageRecord>& geminiUsageRecords() const { return gemini_.records; }
    const std::vector<ApiUsageRecord>& apiUsageRecords() const { return api_.records; }
    UsageHistoryData data() const;
    // The last failed save, or the notice that an unreadable file was kept aside; cleared by
    // the next save that succeeds.
    std::optional<QString> lastError() const { return lastError_; }
    const QString& historyPath() const { return storage_.historyPath(); }
    // Why records cannot be saved right now (with how many wait in memory and how many were
    // lost to the bound), or nothing while writing works.
    std::optional<QString> saveProblem() const;
    std::size_t heldRecordCount() const;
    std::size_t droppedRecordCount() const { return droppedRecords_; }
    void setHeldLimit(std::size_t limit) { heldLimit_ = limit; }
    // How the file looked at start, so a view can tell an empty history from an unreadable one.
    UsageHistoryFileStore::LoadState loadState() const { return loadState_; }

    // Invalid input is dropped without a message; an accepted change is in the journal when
    // the call returns, or held in memory while nothing can be written (see Outcome).
    Outcome appendClaudeSnapshot(const ClaudeUsageSnapshot& snapshot);
    Outcome appendGeminiRecord(const GeminiUsageRecord& record);
    Outcome appendApiRecords(const std::vector<UsageBucket>& buckets, const QString& provider,
                             const QString& accountId);

    bool isDuplicateClaudeSnapshot(const ClaudeUsageSnapshot& snapshot) const;

Q_SIGNALS:
    void changed();

private:
    // A series and, once a save needed them, the encoded text of each record in the same
    // order, so a save of a large history only copies text it already has.
    template <typename Record>
    struct Series {
        std::vector<Record> records;
        UsageHistoryJson::EncodedSeries encoded;
        bool encodedValid = false;

        void insert(Record record);
        void replace(std::vector<Record> all);
        void pruneBefore(std::int64_t cutoffMs);
        const UsageHistoryJson::EncodedSeries& encodedRecords();
    };

    void prune(std::int64_t nowMs);
    // Waits for the writer, locks the file and reads what other processes added; nothing
    // when the lock could not be taken.
    std::optional<FileLock> beginChange();
    // Appends the change's journal lines, releases the lock, then schedules the rewrite
    // (which takes the lock again). False when the lines could not be written.
    bool endChange(FileLock lock, const std::string& lines, std::int64_t nowMs);
    // Starts a journal that extends the file when there is none, then appends `lines` (and
    // with `synced`, waits until they are on the disk). A failed append leaves the journal
    // as it was.
    std::optional<FileError> appendToJournal(const std::string& lines, bool synced = false);
    // Nothing can be written: records are held in memory from now on, and writing is tried
    // again with a growing delay.
    void startHolding(const QString& reason);
    template <typename Record>
    Outcome hold(Series<Record>& series, std::vector<Record>& held, Record record);
    void retryHeld();
    // Puts held records back into series that were replaced by what another process wrote.
    void reinsertHeld();
    void scheduleRewrite();
    void scheduleSync();
    void syncJournal();
    void rewrite();
    void writerIdle();
    bool catchUp();
    bool readJournal();
    template <typename Record>
    static bool takeMissing(Series<Record>& series, std::vector<Record>& records,
                            std::vector<Record>& taken);
    void watchFiles();
    void applyWriteResult();
    // Waits for the text prepared at start; every change of a series calls it first.
    void encodingDone();
    std::int64_t now() const;

    UsageHistoryFileStore storage_;
    Clock now_;
    Series<ClaudeUsageSnapshot> claude_;
    Series<GeminiUsageRecord> gemini_;
    Series<ApiUsageRecord> api_;
    std::optional<QString> lastError_;
    bool moveAsideBeforeSave_ = false;
    // The move-aside notice, shown with the result of the save that followed it.
    std::optional<QString> notice_;
    std::uint64_t noticeSequence_ = 0;
    std::uint64_t sequence_ = 0;         // of the last snapshot handed to the writer
    std::uint64_t appliedSequence_ = 0;  // of the last save result shown in lastError
    std::unique_ptr<UsageHistoryWriter> writer_;
    std::future<void> encoding_;
    UsageHistoryFileStore::LoadState loadState_ = UsageHistoryFileStore::LoadState::Missing;

    QString journalPath_;
    FileStamp fileStamp_;             // the history file as this process last read or wrote it
    FileStamp journalStamp_;          // the journal likewise
    std::int64_t journalOffset_ = 0;  // how far this process has read the journal
    bool journalLineBreak_ = true;    // false after a torn append
    bool journalCurrent_ = false;     // the journal extends the file as last seen
    std::size_t journalRecords_ = 0;  // records in the journal that the file lacks
    bool rewriteWanted_ = false;      // memory holds what neither file nor journal has
    UsageHistoryData unfiled_;        // taken from a stale journal, not yet in a current one
    bool syncPending_ = false;        // appended lines wait for the sync of this turn
    QTimer rewriteTimer_;
    QFileSystemWatcher watcher_;
    std::optional<QString> saveFailure_;  // set while records are held
    UsageHistoryData held_;               // accepted records neither journal nor file has
    std::size_t heldLimit_ = kDefaultHeldLimit;
    std::size_t droppedRecords_ = 0;
    int retryDelayMs_ = kFirstRetryMs;
    bool lastRewriteFailed_ = false;
    QTimer retryTimer_;
};

}  // namespace qm
