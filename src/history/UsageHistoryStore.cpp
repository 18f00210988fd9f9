#include "history/UsageHistoryStore.h"

#include <QDateTime>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include "history/UsageHistoryJournal.h"
#include "history/UsageHistoryValidation.h"

namespace qm {
namespace {

bool validPercent(double value) {
    return std::isfinite(value) && value >= 0 && value <= 100;
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
void UsageHistoryStore::Series<Record>::replace(std::vector<Record> all) {
    records = std::move(all);
    encoded.clear();
    encodedValid = false;
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
    : QObject(parent),
      m_storage(std::move(storage)),
      m_now(std::move(now)),
      m_journalPath(UsageHistoryJournal::pathFor(m_storage.historyPath())) {
    m_writer = std::make_unique<UsageHistoryWriter>(m_storage, [this] {
        QMetaObject::invokeMethod(this, &UsageHistoryStore::applyWriteResult, Qt::QueuedConnection);
    });
    m_rewriteTimer.setSingleShot(true);
    m_rewriteTimer.setInterval(int(rewriteDelayMs));
    connect(&m_rewriteTimer, &QTimer::timeout, this, [this] { rewrite(); });
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] { retryHeld(); });
    {
        // Under the lock, so the file and the journal are read as one state.
        const FileLock lock = FileLock::acquire(m_storage.historyPath());
        AtomicFile::removeStaleTemporaries(m_storage.historyPath());
        AtomicFile::removeStaleTemporaries(m_journalPath);
        m_fileStamp = FileStamp::of(m_storage.historyPath());
        UsageHistoryFileStore::LoadResult loaded = m_storage.load();
        // A file that holds bytes we cannot use may still matter to the user: it is kept
        // aside before the first save instead of being replaced by the records gathered since.
        m_loadState = loaded.state;
        m_moveAsideBeforeSave = UsageHistoryFileStore::isUnusable(loaded.state);
        // Figures no call could have produced are faults or forgeries, not usage.
        UsageHistoryValidation::dropInvalid(loaded.data, this->now());
        m_claude.records = std::move(loaded.data.claudeSnapshots);
        m_gemini.records = std::move(loaded.data.geminiRecords);
        m_api.records = std::move(loaded.data.apiRecords);
        readJournal();
    }
    prune(this->now());
    // Records that only the journal holds go into the file soon.
    if (m_journalRecords || !(m_unfiled == UsageHistoryData{})) {
        m_rewriteWanted = true;
        m_rewriteTimer.start();
    }
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
    watchFiles();
}

UsageHistoryStore::~UsageHistoryStore() {
    // What only the journal (or memory) holds is folded into the file at exit.
    retryHeld();
    syncJournal();
    if (m_journalRecords || m_rewriteWanted || heldRecordCount()) rewrite();
    encodingDone();
    // The writer finishes what it holds before it stops; its notices to this object are
    // dropped with the object.
    m_writer.reset();
}

void UsageHistoryStore::encodingDone() {
    if (m_encoding.valid()) m_encoding.get();
}

void UsageHistoryStore::flush() {
    retryHeld();
    syncJournal();
    if (m_journalRecords || m_rewriteWanted || heldRecordCount()) rewrite();
    writerIdle();
}

void UsageHistoryStore::writerIdle() {
    m_writer->waitIdle();
    encodingDone();
    m_writer->releaseWritten();
    applyWriteResult();
}

void UsageHistoryStore::applyWriteResult() {
    const UsageHistoryWriter::Result result = m_writer->result();
    if (result.sequence <= m_appliedSequence) return;
    m_appliedSequence = result.sequence;
    m_lastRewriteFailed = !result.file;
    if (result.file) {
        m_fileStamp = *result.file;
        m_journalRecords = 0;
        m_unfiled = {};
        // Without a fresh journal the old one is stale now; it is read again (and ignored).
        m_journalStamp = result.journal.value_or(FileStamp{});
        m_journalOffset = result.journal ? result.journalOffset : 0;
        m_journalCurrent = result.journal.has_value();
        m_journalLineBreak = true;
        // Only flush() and the destructor rewrite while records are held, and they wait for
        // the writer: the file just written holds every held record.
        if (m_saveFailure) {
            m_held = {};
            m_saveFailure.reset();
            m_retryTimer.stop();
            emit changed();
        }
    } else {
        m_rewriteWanted = true;  // the records stay in the journal; a later rewrite retries
    }
    std::optional<QString> text;
    if (result.error) text = result.error->message;
    if (m_notice && result.sequence >= m_noticeSequence) {
        text = result.error ? *m_notice + QStringLiteral("; ") + result.error->message : *m_notice;
        m_notice.reset();
    }
    // Another process may have written while the rewrite held the writer.
    QMetaObject::invokeMethod(
        this, [this] { refreshIfChanged(); }, Qt::QueuedConnection);
    if (text == m_lastError) return;
    m_lastError = text;
    emit changed();
}

void UsageHistoryStore::watchFiles() {
    const QString folder = QFileInfo(m_storage.historyPath()).absolutePath();
    if (QFileInfo(folder).isDir()) m_watcher.addPath(folder);
    const auto check = [this] {
        // A journal replaced by a rename drops out of the watch; it is watched again.
        if (QFileInfo::exists(m_journalPath) && !m_watcher.files().contains(m_journalPath))
            m_watcher.addPath(m_journalPath);
        refreshIfChanged();
    };
    if (QFileInfo::exists(m_journalPath)) m_watcher.addPath(m_journalPath);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, check);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, check);
}

bool UsageHistoryStore::refreshIfChanged() {
    // Never waits for this process's own rewrite: the check runs again once it has ended.
    if (!m_writer->isIdle()) return false;
    writerIdle();
    if (FileStamp::of(m_storage.historyPath()) == m_fileStamp &&
        FileStamp::of(m_journalPath) == m_journalStamp)
        return false;
    const FileLock lock = FileLock::acquire(m_storage.historyPath());
    if (!catchUp()) return false;
    prune(now());
    emit changed();
    return true;
}

bool UsageHistoryStore::catchUp() {
    bool changed = false;
    const FileStamp file = FileStamp::of(m_storage.historyPath());
    if (file != m_fileStamp) {
        // Another process rewrote the file: it holds everything that process knew, this
        // one's records included, since every record went through the journal first.
        encodingDone();
        m_writer->releaseWritten();
        m_fileStamp = file;
        UsageHistoryFileStore::LoadResult loaded = m_storage.load();
        if (UsageHistoryFileStore::isUnusable(loaded.state)) {
            m_moveAsideBeforeSave = true;  // what this process holds stays
        } else {
            UsageHistoryValidation::dropInvalid(loaded.data, now());
            m_claude.replace(std::move(loaded.data.claudeSnapshots));
            m_gemini.replace(std::move(loaded.data.geminiRecords));
            m_api.replace(std::move(loaded.data.apiRecords));
            reinsertHeld();
        }
        m_journalStamp = {};
        m_journalOffset = 0;
        m_journalRecords = 0;
        m_unfiled = {};  // the other process took them into its file, or the journal has them
        changed = true;
    }
    if (FileStamp::of(m_journalPath) != m_journalStamp) changed = readJournal() || changed;
    return changed;
}

template <typename Record>
bool UsageHistoryStore::takeMissing(Series<Record>& series, std::vector<Record>& records,
                                    std::vector<Record>& taken) {
    bool added = false;
    for (Record& record : records) {
        const auto [from, to] = std::equal_range(
            series.records.begin(), series.records.end(), record,
            [](const Record& a, const Record& b) { return a.timestampMs < b.timestampMs; });
        if (std::find(from, to, record) != to) continue;
        taken.push_back(record);
        series.insert(std::move(record));
        added = true;
    }
    return added;
}

bool UsageHistoryStore::readJournal() {
    const FileStamp current = FileStamp::of(m_journalPath);
    // Only new lines are read while it is the same journal; a new one is read whole.
    const bool continues = current.exists && m_journalStamp.exists &&
                           current.device == m_journalStamp.device &&
                           current.inode == m_journalStamp.inode && current.size >= m_journalOffset;
    UsageHistoryJournal::Read read =
        UsageHistoryJournal::read(m_journalPath, continues ? m_journalOffset : 0);
    if (!continues) m_journalRecords = 0;
    m_journalStamp = read.journal;
    m_journalOffset = read.consumed;
    m_journalLineBreak = read.endsInLineBreak;
    m_journalCurrent = read.journal.exists && read.base && *read.base == m_fileStamp;
    // A journal naming another file is not replayed: left by a kill between a rewrite and the
    // fresh journal, its records are in the file; from a copied or restored folder, they may
    // belong to another history. It is set aside before the next journal starts.
    if (!m_journalCurrent) return false;
    // Journal lines pass the same checks as records handed over.
    const std::int64_t nowMs = now();
    UsageHistoryValidation::dropInvalid(read.records, nowMs);
    std::size_t count = 0;
    for (ClaudeUsageSnapshot& snapshot : read.records.claudeSnapshots) {
        m_claude.insert(std::move(snapshot));
        ++count;
    }
    for (GeminiUsageRecord& record : read.records.geminiRecords) {
        m_gemini.insert(std::move(record));
        ++count;
    }
    for (ApiUsageRecord& record : read.records.apiRecords) {
        m_api.insert(std::move(record));
        ++count;
    }
    m_journalRecords += count;
    return count > 0;
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

std::optional<FileLock> UsageHistoryStore::beginChange() {
    writerIdle();
    std::optional<FileError> error;
    FileLock lock = FileLock::acquire(m_storage.historyPath(), &error);
    if (!lock.held()) {
        m_lastError = error->message;
        return std::nullopt;
    }
    catchUp();
    return lock;
}

std::optional<FileError> UsageHistoryStore::appendToJournal(const std::string& lines) {
    if (!m_journalCurrent) {
        // The journal is missing or stale: a new one starts, the stale one kept aside.
        if (QFileInfo::exists(m_journalPath)) {
            QString error;
            if (!AtomicFile::moveAside(m_journalPath, &error)) return FileError{EIO, error};
        }
        std::string text = UsageHistoryJournal::header(m_fileStamp);
        for (const auto& snapshot : m_unfiled.claudeSnapshots)
            text += UsageHistoryJournal::line(snapshot);
        for (const auto& record : m_unfiled.geminiRecords)
            text += UsageHistoryJournal::line(record);
        for (const auto& record : m_unfiled.apiRecords) text += UsageHistoryJournal::line(record);
        if (auto error = AtomicFile::write(m_journalPath, QByteArray::fromStdString(text), 0600))
            return error;
        m_journalStamp = FileStamp::of(m_journalPath);
        m_journalOffset = std::int64_t(text.size());
        m_journalLineBreak = true;
        m_journalCurrent = true;
        m_journalRecords = m_unfiled.claudeSnapshots.size() + m_unfiled.geminiRecords.size() +
                           m_unfiled.apiRecords.size();
        m_unfiled = {};
        if (!m_watcher.files().contains(m_journalPath)) m_watcher.addPath(m_journalPath);
    }
    FileStamp after;
    if (auto error =
            UsageHistoryJournal::append(m_journalPath, lines, !m_journalLineBreak, &after)) {
        m_journalStamp = {};  // what made it in is read again (a torn line is skipped)
        return error;
    }
    m_journalStamp = after;
    m_journalOffset = after.size;
    m_journalLineBreak = true;
    ++m_journalRecords;
    scheduleSync();
    return std::nullopt;
}

bool UsageHistoryStore::endChange(FileLock lock, const std::string& lines, std::int64_t nowMs) {
    prune(nowMs);
    const std::optional<FileError> error = appendToJournal(lines);
    lock.release();  // a rewrite past the bound takes it again
    if (error) {
        startHolding(error->message);
    } else {
        if (m_lastError && m_appliedSequence == m_sequence) m_lastError.reset();
        scheduleRewrite();
    }
    emit changed();
    return !error;
}

void UsageHistoryStore::startHolding(const QString& reason) {
    if (!m_saveFailure) m_retryDelayMs = kFirstRetryMs;
    m_saveFailure = reason;
    m_lastError = reason;
    m_rewriteTimer.stop();  // a rewrite now would fail as well, and cost far more
    if (!m_retryTimer.isActive()) m_retryTimer.start(m_retryDelayMs);
}

std::size_t UsageHistoryStore::heldRecordCount() const {
    return m_held.claudeSnapshots.size() + m_held.geminiRecords.size() + m_held.apiRecords.size();
}

std::optional<QString> UsageHistoryStore::saveProblem() const {
    if (!m_saveFailure) return std::nullopt;
    QString text =
        *m_saveFailure +
        QStringLiteral("; %1 held in memory until it can be written").arg(heldRecordCount());
    if (m_droppedRecords) {
        text += QStringLiteral("; %1 lost: no more than %2 are held")
                    .arg(m_droppedRecords)
                    .arg(m_heldLimit);
    }
    return text;
}

template <typename Record>
UsageHistoryStore::Outcome UsageHistoryStore::hold(Series<Record>& series,
                                                   std::vector<Record>& held, Record record) {
    if (heldRecordCount() >= m_heldLimit) {
        ++m_droppedRecords;
        emit changed();
        return Outcome::dropped;
    }
    held.push_back(record);
    series.insert(std::move(record));
    emit changed();
    return Outcome::held;
}

void UsageHistoryStore::retryHeld() {
    if (!m_saveFailure) return;
    m_retryTimer.stop();
    std::optional<FileLock> lock = beginChange();
    std::optional<FileError> error;
    if (lock) {
        std::string lines;
        for (const auto& snapshot : m_held.claudeSnapshots)
            lines += UsageHistoryJournal::line(snapshot);
        for (const auto& record : m_held.geminiRecords) lines += UsageHistoryJournal::line(record);
        for (const auto& record : m_held.apiRecords) lines += UsageHistoryJournal::line(record);
        error = appendToJournal(lines);
        // Reported as saved only once they are on the disk.
        if (!error) error = UsageHistoryJournal::sync(m_journalPath);
        m_syncPending = false;
    }
    if (!lock || error) {
        m_saveFailure = lock ? error->message : m_lastError.value_or(QString());
        m_lastError = m_saveFailure;
        m_retryDelayMs = std::min(m_retryDelayMs * 2, kMaxRetryMs);
        m_retryTimer.start(m_retryDelayMs);
        emit changed();
        return;
    }
    lock->release();
    m_held = {};
    m_saveFailure.reset();
    if (m_appliedSequence == m_sequence) m_lastError.reset();
    if (m_droppedRecords) {
        m_lastError = QStringLiteral("%1 records were lost while nothing could be written")
                          .arg(m_droppedRecords);
    }
    scheduleRewrite();
    emit changed();
}

void UsageHistoryStore::reinsertHeld() {
    UsageHistoryData copy = m_held;  // taken from, so the held list keeps its records
    UsageHistoryData ignored;
    takeMissing(m_claude, copy.claudeSnapshots, ignored.claudeSnapshots);
    takeMissing(m_gemini, copy.geminiRecords, ignored.geminiRecords);
    takeMissing(m_api, copy.apiRecords, ignored.apiRecords);
}

void UsageHistoryStore::scheduleSync() {
    // One sync for every record of this turn of the event loop. It is queued now, so it runs
    // before anything that is queued after the record was handed over (the relay prints its
    // request line that way): nothing is reported before it is on the disk.
    if (m_syncPending) return;
    m_syncPending = true;
    QMetaObject::invokeMethod(
        this, [this] { syncJournal(); }, Qt::QueuedConnection);
}

void UsageHistoryStore::syncJournal() {
    if (!m_syncPending) return;
    m_syncPending = false;
    if (const auto error = UsageHistoryJournal::sync(m_journalPath)) {
        m_lastError = error->message;
        m_rewriteWanted = true;
        scheduleRewrite();
        emit changed();
    }
}

void UsageHistoryStore::scheduleRewrite() {
    // While records are held only flush() and the destructor rewrite: they wait for the
    // result, so no record held meanwhile can be taken for saved.
    if (m_saveFailure) return;
    // After a failed rewrite the next waits for the timer: one per record would stall them.
    if (m_journalOffset > journalBoundBytes && !m_lastRewriteFailed) {
        rewrite();
    } else if (!m_rewriteTimer.isActive()) {
        m_rewriteTimer.start();
    }
}

UsageHistoryStore::Outcome UsageHistoryStore::appendClaudeSnapshot(
    const ClaudeUsageSnapshot& snapshot) {
    if (!validPercent(snapshot.sessionPct) || !validPercent(snapshot.weekPct) ||
        !validPercent(snapshot.subPct) || UsageHistoryValidation::problem(snapshot, now())) {
        return Outcome::refused;
    }
    if (isDuplicateClaudeSnapshot(snapshot)) return Outcome::refused;
    // While nothing can be written, records wait in memory without touching the disk, so
    // the producers go on at full speed.
    if (m_saveFailure) return hold(m_claude, m_held.claudeSnapshots, snapshot);
    std::optional<FileLock> lock = beginChange();
    // Another process may have recorded the same observation meanwhile.
    if (lock && isDuplicateClaudeSnapshot(snapshot)) return Outcome::saved;
    if (!lock) {
        startHolding(m_lastError.value_or(QString()));
        return hold(m_claude, m_held.claudeSnapshots, snapshot);
    }
    m_claude.insert(snapshot);
    if (endChange(std::move(*lock), UsageHistoryJournal::line(snapshot), now()))
        return Outcome::saved;
    m_held.claudeSnapshots.push_back(snapshot);
    return Outcome::held;
}

UsageHistoryStore::Outcome UsageHistoryStore::appendGeminiRecord(const GeminiUsageRecord& record) {
    if (UsageHistoryValidation::problem(record, now())) return Outcome::refused;
    if (m_saveFailure) return hold(m_gemini, m_held.geminiRecords, record);
    std::optional<FileLock> lock = beginChange();
    if (!lock) {
        startHolding(m_lastError.value_or(QString()));
        return hold(m_gemini, m_held.geminiRecords, record);
    }
    m_gemini.insert(record);
    if (endChange(std::move(*lock), UsageHistoryJournal::line(record), now()))
        return Outcome::saved;
    m_held.geminiRecords.push_back(record);
    return Outcome::held;
}

UsageHistoryStore::Outcome UsageHistoryStore::appendApiRecords(
    const std::vector<UsageBucket>& buckets, const QString& provider, const QString& accountId) {
    const QString name = provider.trimmed().toLower();
    const QString account = accountId.trimmed();
    if (name.isEmpty() || account.isEmpty() || buckets.empty()) return Outcome::refused;
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
        if (!UsageHistoryValidation::problem(record, stamp)) accepted.push_back(std::move(record));
    }
    if (accepted.empty()) return Outcome::refused;
    std::optional<FileLock> lock = m_saveFailure ? std::nullopt : beginChange();
    if (!lock) {
        if (!m_saveFailure) startHolding(m_lastError.value_or(QString()));
        Outcome outcome = Outcome::held;
        for (ApiUsageRecord& record : accepted)
            if (hold(m_api, m_held.apiRecords, std::move(record)) == Outcome::dropped)
                outcome = Outcome::dropped;
        return outcome;
    }
    // One append for the whole report: it is durable as a whole or not at all.
    std::string lines;
    for (const ApiUsageRecord& record : accepted) {
        lines += UsageHistoryJournal::line(record);
        m_api.insert(record);
    }
    if (endChange(std::move(*lock), lines, stamp)) return Outcome::saved;
    for (ApiUsageRecord& record : accepted) m_held.apiRecords.push_back(std::move(record));
    return Outcome::held;
}

void UsageHistoryStore::prune(std::int64_t nowMs) {
    m_claude.pruneBefore(nowMs - claudeRetentionMs);
    m_gemini.pruneBefore(nowMs - geminiRetentionMs);
    m_api.pruneBefore(nowMs - apiRetentionMs);
}

void UsageHistoryStore::rewrite() {
    m_rewriteTimer.stop();
    std::optional<FileLock> lock = beginChange();
    if (!lock) {
        emit changed();
        return;
    }
    encodingDone();
    m_writer->releaseWritten();
    prune(now());
    if (m_moveAsideBeforeSave && QFileInfo::exists(m_storage.historyPath())) {
        QString error;
        const std::optional<QString> aside = AtomicFile::moveAside(m_storage.historyPath(), &error);
        if (!aside) {
            // Never write over it; the records stay in memory and the journal.
            m_lastError =
                QStringLiteral("The history file could not be read and was not replaced: ") + error;
            emit changed();
            return;
        }
        m_notice = QStringLiteral("The history file could not be read; it was kept as ") + *aside;
        m_noticeSequence = m_sequence + 1;
    }
    m_moveAsideBeforeSave = false;
    m_rewriteWanted = false;
    m_writer->submit(
        ++m_sequence,
        UsageHistoryJson::fileSnapshot(m_api.encodedRecords(), m_claude.encodedRecords(),
                                       m_gemini.encodedRecords()),
        std::move(*lock));
}

}  // namespace qm
