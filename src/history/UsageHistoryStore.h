#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/UsageBucket.h"
#include "history/HistoryRecords.h"
#include "history/UsageHistoryFile.h"
#include "history/UsageHistoryWriter.h"

namespace qm {

// The one owner of the usage history in memory: validates what the producers hand over,
// keeps each series sorted, prunes old entries and saves the whole file after every change.
// The save runs on a writer thread from a snapshot of the encoded records, so recording
// never waits for the disk; lastError() follows once the save has ended. Main thread only.
class UsageHistoryStore : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<std::int64_t()>;  // milliseconds since the epoch

    static constexpr std::int64_t claudeRetentionMs = 2'592'000'000;  // 30 days
    static constexpr std::int64_t geminiRetentionMs = 7'776'000'000;  // 90 days
    static constexpr std::int64_t apiRetentionMs = 7'776'000'000;     // 90 days
    static constexpr std::int64_t duplicateWindowMs = 60'000;

    explicit UsageHistoryStore(UsageHistoryFileStore storage, Clock now = {},
                               QObject* parent = nullptr);
    // Waits for the last save to end.
    ~UsageHistoryStore() override;

    // Waits until every change so far is on disk (or its save failed) and updates lastError().
    void flush();

    const std::vector<ClaudeUsageSnapshot>& claudeSnapshots() const { return m_claude.records; }
    const std::vector<GeminiUsageRecord>& geminiUsageRecords() const { return m_gemini.records; }
    const std::vector<ApiUsageRecord>& apiUsageRecords() const { return m_api.records; }
    UsageHistoryData data() const;
    // The last failed save, or the notice that an unreadable file was kept aside; cleared by
    // the next save that succeeds.
    std::optional<QString> lastError() const { return m_lastError; }
    const QString& historyPath() const { return m_storage.historyPath(); }
    // How the file looked at start, so a view can tell an empty history from an unreadable one.
    UsageHistoryFileStore::LoadState loadState() const { return m_loadState; }

    // Invalid input is dropped without a message; each accepted change is saved at once.
    void appendClaudeSnapshot(const ClaudeUsageSnapshot& snapshot);
    void appendGeminiRecord(const GeminiUsageRecord& record);
    void appendApiRecords(const std::vector<UsageBucket>& buckets, const QString& provider,
                          const QString& accountId);

    bool isDuplicateClaudeSnapshot(const ClaudeUsageSnapshot& snapshot) const;

signals:
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
        void pruneBefore(std::int64_t cutoffMs);
        const UsageHistoryJson::EncodedSeries& encodedRecords();
    };

    void prune(std::int64_t nowMs);
    void persist();
    void applyWriteResult();
    // Waits for the text prepared at start; every change of a series calls it first.
    void encodingDone();
    std::int64_t now() const;

    UsageHistoryFileStore m_storage;
    Clock m_now;
    Series<ClaudeUsageSnapshot> m_claude;
    Series<GeminiUsageRecord> m_gemini;
    Series<ApiUsageRecord> m_api;
    std::optional<QString> m_lastError;
    bool m_moveAsideBeforeSave = false;
    // The move-aside notice, shown with the result of the save that followed it.
    std::optional<QString> m_notice;
    std::uint64_t m_noticeSequence = 0;
    std::uint64_t m_sequence = 0;         // of the last snapshot handed to the writer
    std::uint64_t m_appliedSequence = 0;  // of the last save result shown in lastError
    std::unique_ptr<UsageHistoryWriter> m_writer;
    std::future<void> m_encoding;
    UsageHistoryFileStore::LoadState m_loadState = UsageHistoryFileStore::LoadState::Missing;
};

}  // namespace qm
