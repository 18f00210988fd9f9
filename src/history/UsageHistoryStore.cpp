#include "history/UsageHistoryStore.h"

#include <QDateTime>
#include <QFileInfo>
#include <algorithm>
#include <cmath>

namespace qm {
namespace {

bool validPercent(double value) {
    return std::isfinite(value) && value >= 0 && value <= 100;
}

bool validCost(double value) {
    return std::isfinite(value) && value >= 0;  // -0.0 >= 0 holds
}

bool validGemini(const GeminiUsageRecord& r) {
    return r.timestampMs >= 1 && !r.accountId.isEmpty() && r.inputTokens >= 0 &&
           r.outputTokens >= 0 && r.cacheTokens >= 0 && r.thinkingTokens >= 0 &&
           r.toolTokens >= 0 && r.latencyMs >= 0 && validCost(r.costUsd) &&
           (r.source == QLatin1String("relay") || r.source == QLatin1String("playground"));
}

bool validApi(const ApiUsageRecord& r) {
    return r.timestampMs >= 1 &&
           (r.provider == QLatin1String("anthropic") || r.provider == QLatin1String("openai")) &&
           !r.accountId.isEmpty() && r.inputTokens >= 0 && r.outputTokens >= 0 &&
           r.cacheTokens >= 0 && validCost(r.costUsd);
}

}  // namespace

template <typename Record>
void UsageHistoryStore::Series<Record>::insert(Record record) {
    // After every record of the same time, as appending and a stable sort would place it;
    // the newest record (the usual case) goes to the end without moving anything.
    const auto at = std::upper_bound(
        records.begin(), records.end(), record.timestampMs,
        [](std::int64_t time, const Record& other) { return time < other.timestampMs; });
    const auto index = at - records.begin();
    if (encodedValid) encoded.insert(std::size_t(index), UsageHistoryJson::encodeRecord(record));
    records.insert(at, std::move(record));
}

template <typename Record>
void UsageHistoryStore::Series<Record>::pruneBefore(std::int64_t cutoffMs) {
    const auto keep = std::lower_bound(
        records.begin(), records.end(), cutoffMs,
        [](const Record& other, std::int64_t time) { return other.timestampMs < time; });
    const auto count = keep - records.begin();
    if (count == 0) return;
    records.erase(records.begin(), keep);
    if (encodedValid) encoded.dropFront(std::size_t(count));
}

template <typename Record>
const UsageHistoryJson::EncodedSeries& UsageHistoryStore::Series<Record>::encodedRecords() {
    if (!encodedValid) {
        encoded.clear();
        for (const Record& record : records)
            encoded.insert(encoded.size(), UsageHistoryJson::encodeRecord(record));
        encodedValid = true;
    }
    return encoded;
}

UsageHistoryStore::UsageHistoryStore(UsageHistoryFileStore storage, Clock now, QObject* parent)
    : QObject(parent), m_storage(std::move(storage)), m_now(std::move(now)) {
    UsageHistoryFileStore::LoadResult loaded = m_storage.load();
    // A file that holds bytes we cannot use may still matter to the user: it is kept aside
    // before the first save instead of being replaced by the records gathered since.
    m_loadState = loaded.state;
    m_moveAsideBeforeSave = UsageHistoryFileStore::isUnusable(loaded.state);
    m_claude.records = std::move(loaded.data.claudeSnapshots);
    m_gemini.records = std::move(loaded.data.geminiRecords);
    m_api.records = std::move(loaded.data.apiRecords);
    prune(this->now());
    m_writer = std::make_unique<UsageHistoryWriter>(m_storage, [this] {
        QMetaObject::invokeMethod(this, &UsageHistoryStore::applyWriteResult, Qt::QueuedConnection);
    });
    // A large history's text is prepared in the background, so the first change after start
    // does not encode every record on this thread. The task only reads the records and fills
    // the encoded text, which nothing touches until encodingDone() has waited for it.
    if (m_claude.records.size() + m_gemini.records.size() + m_api.records.size() >= 1000) {
        m_encoding = std::async(std::launch::async, [this] {
            m_claude.encodedRecords();
            m_gemini.encodedRecords();
            m_api.encodedRecords();
        });
    }
}

UsageHistoryStore::~UsageHistoryStore() {
    encodingDone();
    // The writer finishes what it holds before it stops; its notices to this object are
    // dropped with the object.
    m_writer.reset();
}

void UsageHistoryStore::encodingDone() {
    if (m_encoding.valid()) m_encoding.get();
}

void UsageHistoryStore::flush() {
    m_writer->waitIdle();
    encodingDone();
    m_writer->releaseWritten();
    applyWriteResult();
}

void UsageHistoryStore::applyWriteResult() {
    const UsageHistoryWriter::Result result = m_writer->result();
    if (result.sequence <= m_appliedSequence) return;
    m_appliedSequence = result.sequence;
    std::optional<QString> text;
    if (result.error) text = result.error->message;
    if (m_notice && result.sequence >= m_noticeSequence) {
        text = result.error ? *m_notice + QStringLiteral("; ") + result.error->message : *m_notice;
        m_notice.reset();
    }
    if (text == m_lastError) return;
    m_lastError = text;
    emit changed();
}

UsageHistoryData UsageHistoryStore::data() const {
    return UsageHistoryData{m_claude.records, m_gemini.records, m_api.records};
}

std::int64_t UsageHistoryStore::now() const {
    return m_now ? m_now() : QDateTime::currentMSecsSinceEpoch();
}

bool UsageHistoryStore::isDuplicateClaudeSnapshot(const ClaudeUsageSnapshot& snapshot) const {
    if (m_claude.records.empty()) return false;
    const ClaudeUsageSnapshot& newest = m_claude.records.back();
    constexpr double epsilon = 0.000001;
    return std::llabs(snapshot.timestampMs - newest.timestampMs) <= duplicateWindowMs &&
           std::fabs(snapshot.sessionPct - newest.sessionPct) < epsilon &&
           std::fabs(snapshot.weekPct - newest.weekPct) < epsilon &&
           std::fabs(snapshot.subPct - newest.subPct) < epsilon &&
           snapshot.subModelName == newest.subModelName;
}

void UsageHistoryStore::appendClaudeSnapshot(const ClaudeUsageSnapshot& snapshot) {
    if (!validPercent(snapshot.sessionPct) || !validPercent(snapshot.weekPct) ||
        !validPercent(snapshot.subPct)) {
        return;
    }
    if (isDuplicateClaudeSnapshot(snapshot)) return;
    encodingDone();
    m_writer->releaseWritten();
    m_claude.insert(snapshot);
    prune(now());
    persist();
}

void UsageHistoryStore::appendGeminiRecord(const GeminiUsageRecord& record) {
    if (!validGemini(record)) return;
    encodingDone();
    m_writer->releaseWritten();
    m_gemini.insert(record);
    prune(now());
    persist();
}

void UsageHistoryStore::appendApiRecords(const std::vector<UsageBucket>& buckets,
                                         const QString& provider, const QString& accountId) {
    const QString name = provider.trimmed().toLower();
    const QString account = accountId.trimmed();
    if (name.isEmpty() || account.isEmpty() || buckets.empty()) return;
    const std::int64_t stamp = now();
    std::vector<ApiUsageRecord> accepted;
    for (const UsageBucket& bucket : buckets) {
        ApiUsageRecord record{
            stamp,
            name,
            account,
            bucket.model.isEmpty() ? QStringLiteral("unknown") : bucket.model,
            bucket.inputTokens,
            bucket.outputTokens,
            bucket.cacheCreationTokens + bucket.cacheReadTokens + bucket.cachedInputTokens,
            bucket.costUsd};
        if (validApi(record)) accepted.push_back(std::move(record));
    }
    if (accepted.empty()) return;
    encodingDone();
    m_writer->releaseWritten();
    for (ApiUsageRecord& record : accepted) m_api.insert(std::move(record));
    prune(stamp);
    persist();
}

void UsageHistoryStore::prune(std::int64_t nowMs) {
    m_claude.pruneBefore(nowMs - claudeRetentionMs);
    m_gemini.pruneBefore(nowMs - geminiRetentionMs);
    m_api.pruneBefore(nowMs - apiRetentionMs);
}

void UsageHistoryStore::persist() {
    if (m_moveAsideBeforeSave && QFileInfo::exists(m_storage.historyPath())) {
        QString error;
        const std::optional<QString> aside = AtomicFile::moveAside(m_storage.historyPath(), &error);
        if (!aside) {
            // Never write over it; the records stay in memory and the next change tries again.
            m_lastError =
                QStringLiteral("The history file could not be read and was not replaced: ") + error;
            emit changed();
            return;
        }
        m_notice = QStringLiteral("The history file could not be read; it was kept as ") + *aside;
        m_noticeSequence = m_sequence + 1;
    }
    m_moveAsideBeforeSave = false;
    m_writer->submit(++m_sequence, UsageHistoryJson::fileSnapshot(m_api.encodedRecords(),
                                                                  m_claude.encodedRecords(),
                                                                  m_gemini.encodedRecords()));
    emit changed();
}

}  // namespace qm
