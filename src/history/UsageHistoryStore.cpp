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
      storage_(std::move(storage)),
      now_(orSystemClock(std::move(now))),
      journalPath_(UsageHistoryJournal::pathFor(storage_.historyPath())) {
    writer_ = std::make_unique<UsageHistoryWriter>(storage_, [this] {
        QMetaObject::invokeMethod(this, &UsageHistoryStore::applyWriteResult, Qt::QueuedConnection);
    });
    rewriteTimer_.setSingleShot(true);
    rewriteTimer_.setInterval(int(rewriteDelayMs));
    connect(&rewriteTimer_, &QTimer::timeout, this, [this] { rewrite(); });
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, [this] { retryHeld(); });
    {
        // Under the lock, so the file and the journal are read as one state.
        const FileLock lock = FileLock::acquire(storage_.historyPath());
        AtomicFile::removeStaleTemporaries(storage_.historyPath());
        AtomicFile::removeStaleTemporaries(journalPath_);
        fileStamp_ = FileStamp::of(storage_.historyPath());
        UsageHistoryFileStore::LoadResult loaded = storage_.load();
        // A file that holds bytes we cannot use may still matter to the user: it is kept
        // aside before the first save instead of being replaced by the records gathered since.
        loadState_ = loaded.state;
        moveAsideBeforeSave_ = UsageHistoryFileStore::isUnusable(loaded.state);
        // Figures no call could have produced are faults or forgeries, not usage.
        UsageHistoryValidation::dropInvalid(loaded.data, this->now());
        claude_.records = std::move(loaded.data.claudeSnapshots);
        gemini_.records = std::move(loaded.data.geminiRecords);
        api_.records = std::move(loaded.data.apiRecords);
        readJournal();
    }
    prune(this->now());
    // Records that only the journal holds go into the file soon.
    if (journalRecords_ || !(unfiled_ == UsageHistoryData{})) {
        rewriteWanted_ = true;
        rewriteTimer_.start();
    }
    // A large history's text is prepared in the background, so the first change after start
    // does not encode every record on this thread. The task only reads the records and fills
    // the encoded text, which nothing touches until encodingDone() has waited for it.
    if (claude_.records.size() + gemini_.records.size() + api_.records.size() >= 1000) {
        encoding_ = std::async(std::launch::async, [this] {
            claude_.encodedRecords();
            gemini_.encodedRecords();
            api_.encodedRecords();
        });
    }
    watchFiles();
}

UsageHistoryStore::~UsageHistoryStore() {
    // What only the journal (or memory) holds is folded into the file at exit.
    retryHeld();
    syncJournal();
    if (journalRecords_ || rewriteWanted_ || heldRecordCount()) rewrite();
    encodingDone();
    // The writer finishes what it holds before it stops; its notices to this object are
    // dropped with the object.
    writer_.reset();
}

void UsageHistoryStore::encodingDone() {
    if (encoding_.valid()) encoding_.get();
}

void UsageHistoryStore::flush() {
    retryHeld();
    syncJournal();
    if (journalRecords_ || rewriteWanted_ || heldRecordCount()) rewrite();
    writerIdle();
}

void UsageHistoryStore::writerIdle() {
    writer_->waitIdle();
    encodingDone();
    writer_->releaseWritten();
    applyWriteResult();
}

void UsageHistoryStore::applyWriteResult() {
    const UsageHistoryWriter::Result result = writer_->result();
    if (result.sequence <= appliedSequence_) return;
    appliedSequence_ = result.sequence;
    lastRewriteFailed_ = !result.file;
    if (result.file) {
        fileStamp_ = *result.file;
        journalRecords_ = 0;
        unfiled_ = {};
        // Without a fresh journal the old one is stale now; it is read again (and ignored).
        journalStamp_ = result.journal.value_or(FileStamp{});
        journalOffset_ = result.journal ? result.journalOffset : 0;
        journalCurrent_ = result.journal.has_value();
        journalLineBreak_ = true;
        // Only flush() and the destructor rewrite while records are held, and they wait for
        // the writer: the file just written holds every held record.
        if (saveFailure_) {
            held_ = {};
            saveFailure_.reset();
            retryTimer_.stop();
            Q_EMIT changed();
        }
    } else {
        rewriteWanted_ = true;  // the records stay in the journal; a later rewrite retries
    }
    std::optional<QString> text;
    if (result.error) text = result.error->message;
    if (notice_ && result.sequence >= noticeSequence_) {
        text = result.error ? *notice_ + QStringLiteral("; ") + result.error->message : *notice_;
        notice_.reset();
    }
    // Another process may have written while the rewrite held the writer.
    QMetaObject::invokeMethod(
        this, [this] { refreshIfChanged(); }, Qt::QueuedConnection);
    if (text == lastError_) return;
    lastError_ = text;
    Q_EMIT changed();
}

void UsageHistoryStore::watchFiles() {
    const QString folder = QFileInfo(storage_.historyPath()).absolutePath();
    if (QFileInfo(folder).isDir()) watcher_.addPath(folder);
    const auto check = [this] {
        // A journal replaced by a rename drops out of the watch; it is watched again.
        if (QFileInfo::exists(journalPath_) && !watcher_.files().contains(journalPath_))
            watcher_.addPath(journalPath_);
        refreshIfChanged();
    };
    if (QFileInfo::exists(journalPath_)) watcher_.addPath(journalPath_);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, check);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, check);
}

bool UsageHistoryStore::refreshIfChanged() {
    // Never waits for this process's own rewrite: the check runs again once it has ended.
    if (!writer_->isIdle()) return false;
    writerIdle();
    if (FileStamp::of(storage_.historyPath()) == fileStamp_ &&
        FileStamp::of(journalPath_) == journalStamp_)
        return false;
    const FileLock lock = FileLock::acquire(storage_.historyPath());
    if (!catchUp()) return false;
    prune(now());
    Q_EMIT changed();
    return true;
}

bool UsageHistoryStore::catchUp() {
    bool changed = false;
    const FileStamp file = FileStamp::of(storage_.historyPath());
    if (file != fileStamp_) {
        // Another process rewrote the file: it holds everything that process knew, this
        // one's records included, since every record went through the journal first.
        encodingDone();
        writer_->releaseWritten();
        fileStamp_ = file;
        UsageHistoryFileStore::LoadResult loaded = storage_.load();
        if (UsageHistoryFileStore::isUnusable(loaded.state)) {
            moveAsideBeforeSave_ = true;  // what this process holds stays
        } else {
            UsageHistoryValidation::dropInvalid(loaded.data, now());
            claude_.replace(std::move(loaded.data.claudeSnapshots));
            gemini_.replace(std::move(loaded.data.geminiRecords));
            api_.replace(std::move(loaded.data.apiRecords));
            reinsertHeld();
        }
        journalStamp_ = {};
        journalOffset_ = 0;
        journalRecords_ = 0;
        unfiled_ = {};  // the other process took them into its file, or the journal has them
        changed = true;
    }
    if (FileStamp::of(journalPath_) != journalStamp_) changed = readJournal() || changed;
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
    const FileStamp current = FileStamp::of(journalPath_);
    // Only new lines are read while it is the same journal; a new one is read whole.
    const bool continues = current.exists && journalStamp_.exists &&
                           current.device == journalStamp_.device &&
                           current.inode == journalStamp_.inode && current.size >= journalOffset_;
    UsageHistoryJournal::Read read =
        UsageHistoryJournal::read(journalPath_, continues ? journalOffset_ : 0);
    if (!continues) journalRecords_ = 0;
    journalStamp_ = read.journal;
    journalOffset_ = read.consumed;
    journalLineBreak_ = read.endsInLineBreak;
    journalCurrent_ = read.journal.exists && read.base && *read.base == fileStamp_;
    // A journal naming another file is not replayed: left by a kill between a rewrite and the
    // fresh journal, its records are in the file; from a copied or restored folder, they may
    // belong to another history. It is set aside before the next journal starts.
    if (!journalCurrent_) return false;
    // Journal lines pass the same checks as records handed over.
    const std::int64_t nowMs = now();
    UsageHistoryValidation::dropInvalid(read.records, nowMs);
    std::size_t count = 0;
    for (ClaudeUsageSnapshot& snapshot : read.records.claudeSnapshots) {
        claude_.insert(std::move(snapshot));
        ++count;
    }
    for (GeminiUsageRecord& record : read.records.geminiRecords) {
        gemini_.insert(std::move(record));
        ++count;
    }
    for (ApiUsageRecord& record : read.records.apiRecords) {
        api_.insert(std::move(record));
        ++count;
    }
    journalRecords_ += count;
    return count > 0;
}

UsageHistoryData UsageHistoryStore::data() const {
    return UsageHistoryData{claude_.records, gemini_.records, api_.records};
}

std::int64_t UsageHistoryStore::now() const {
    return now_();
}

bool UsageHistoryStore::isDuplicateClaudeSnapshot(const ClaudeUsageSnapshot& snapshot) const {
    if (claude_.records.empty()) return false;
    const ClaudeUsageSnapshot& newest = claude_.records.back();
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
    FileLock lock = FileLock::acquire(storage_.historyPath(), &error);
    if (!lock.held()) {
        lastError_ = error->message;
        return std::nullopt;
    }
    catchUp();
    return lock;
}

std::optional<FileError> UsageHistoryStore::appendToJournal(const std::string& lines, bool synced) {
    if (!journalCurrent_) {
        // The journal is missing or stale: a new one starts, the stale one kept aside.
        if (QFileInfo::exists(journalPath_)) {
            QString error;
            if (!AtomicFile::moveAside(journalPath_, &error)) return FileError{EIO, error};
        }
        std::string text = UsageHistoryJournal::header(fileStamp_);
        for (const auto& snapshot : unfiled_.claudeSnapshots)
            text += UsageHistoryJournal::line(snapshot);
        for (const auto& record : unfiled_.geminiRecords) text += UsageHistoryJournal::line(record);
        for (const auto& record : unfiled_.apiRecords) text += UsageHistoryJournal::line(record);
        if (auto error = AtomicFile::write(journalPath_, QByteArray::fromStdString(text), 0600))
            return error;
        journalStamp_ = FileStamp::of(journalPath_);
        journalOffset_ = std::int64_t(text.size());
        journalLineBreak_ = true;
        journalCurrent_ = true;
        journalRecords_ = unfiled_.claudeSnapshots.size() + unfiled_.geminiRecords.size() +
                          unfiled_.apiRecords.size();
        unfiled_ = {};
        if (!watcher_.files().contains(journalPath_)) watcher_.addPath(journalPath_);
    }
    FileStamp after;
    // A failed append leaves the journal as it was: it is read on from the same offset, never
    // again from its start, which would count every record it holds a second time.
    if (auto error =
            UsageHistoryJournal::append(journalPath_, lines, !journalLineBreak_, &after, synced))
        return error;
    journalStamp_ = after;
    journalOffset_ = after.size;
    journalLineBreak_ = true;
    ++journalRecords_;
    // A synced append took every line appended before it to the disk as well.
    if (synced)
        syncPending_ = false;
    else
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
        if (lastError_ && appliedSequence_ == sequence_) lastError_.reset();
        scheduleRewrite();
    }
    Q_EMIT changed();
    return !error;
}

void UsageHistoryStore::startHolding(const QString& reason) {
    if (!saveFailure_) retryDelayMs_ = kFirstRetryMs;
    saveFailure_ = reason;
    lastError_ = reason;
    rewriteTimer_.stop();  // a rewrite now would fail as well, and cost far more
    if (!retryTimer_.isActive()) retryTimer_.start(retryDelayMs_);
}

std::size_t UsageHistoryStore::heldRecordCount() const {
    return held_.claudeSnapshots.size() + held_.geminiRecords.size() + held_.apiRecords.size();
}

std::optional<QString> UsageHistoryStore::saveProblem() const {
    if (!saveFailure_) return std::nullopt;
    QString text =
        *saveFailure_ +
        QStringLiteral("; %1 held in memory until it can be written").arg(heldRecordCount());
    if (droppedRecords_) {
        text += QStringLiteral("; %1 lost: no more than %2 are held")
                    .arg(droppedRecords_)
                    .arg(heldLimit_);
    }
    return text;
}

template <typename Record>
UsageHistoryStore::Outcome UsageHistoryStore::hold(Series<Record>& series,
                                                   std::vector<Record>& held, Record record) {
    if (heldRecordCount() >= heldLimit_) {
        ++droppedRecords_;
        Q_EMIT changed();
        return Outcome::dropped;
    }
    held.push_back(record);
    series.insert(std::move(record));
    Q_EMIT changed();
    return Outcome::held;
}

void UsageHistoryStore::retryHeld() {
    if (!saveFailure_) return;
    retryTimer_.stop();
    std::optional<FileLock> lock = beginChange();
    std::optional<FileError> error;
    if (lock) {
        std::string lines;
        for (const auto& snapshot : held_.claudeSnapshots)
            lines += UsageHistoryJournal::line(snapshot);
        for (const auto& record : held_.geminiRecords) lines += UsageHistoryJournal::line(record);
        for (const auto& record : held_.apiRecords) lines += UsageHistoryJournal::line(record);
        // Reported as saved only once they are on the disk.
        error = appendToJournal(lines, true);
    }
    if (!lock || error) {
        saveFailure_ = lock ? error->message : lastError_.value_or(QString());
        lastError_ = saveFailure_;
        retryDelayMs_ = std::min(retryDelayMs_ * 2, kMaxRetryMs);
        retryTimer_.start(retryDelayMs_);
        Q_EMIT changed();
        return;
    }
    lock->release();
    held_ = {};
    saveFailure_.reset();
    if (appliedSequence_ == sequence_) lastError_.reset();
    if (droppedRecords_) {
        lastError_ = QStringLiteral("%1 records were lost while nothing could be written")
                         .arg(droppedRecords_);
    }
    scheduleRewrite();
    Q_EMIT changed();
}

void UsageHistoryStore::reinsertHeld() {
    UsageHistoryData copy = held_;  // taken from, so the held list keeps its records
    UsageHistoryData ignored;
    takeMissing(claude_, copy.claudeSnapshots, ignored.claudeSnapshots);
    takeMissing(gemini_, copy.geminiRecords, ignored.geminiRecords);
    takeMissing(api_, copy.apiRecords, ignored.apiRecords);
}

void UsageHistoryStore::scheduleSync() {
    // One sync for every record of this turn of the event loop. It is queued now, so it runs
    // before anything that is queued after the record was handed over (the relay prints its
    // request line that way): nothing is reported before it is on the disk.
    if (syncPending_) return;
    syncPending_ = true;
    QMetaObject::invokeMethod(
        this, [this] { syncJournal(); }, Qt::QueuedConnection);
}

void UsageHistoryStore::syncJournal() {
    if (!syncPending_) return;
    syncPending_ = false;
    if (const auto error = UsageHistoryJournal::sync(journalPath_)) {
        lastError_ = error->message;
        rewriteWanted_ = true;
        scheduleRewrite();
        Q_EMIT changed();
    }
}

void UsageHistoryStore::scheduleRewrite() {
    // While records are held only flush() and the destructor rewrite: they wait for the
    // result, so no record held meanwhile can be taken for saved.
    if (saveFailure_) return;
    // After a failed rewrite the next waits for the timer: one per record would stall them.
    if (journalOffset_ > journalBoundBytes && !lastRewriteFailed_) {
        rewrite();
    } else if (!rewriteTimer_.isActive()) {
        rewriteTimer_.start();
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
    if (saveFailure_) return hold(claude_, held_.claudeSnapshots, snapshot);
    std::optional<FileLock> lock = beginChange();
    // Another process may have recorded the same observation meanwhile.
    if (lock && isDuplicateClaudeSnapshot(snapshot)) return Outcome::saved;
    if (!lock) {
        startHolding(lastError_.value_or(QString()));
        return hold(claude_, held_.claudeSnapshots, snapshot);
    }
    claude_.insert(snapshot);
    if (endChange(std::move(*lock), UsageHistoryJournal::line(snapshot), now()))
        return Outcome::saved;
    held_.claudeSnapshots.push_back(snapshot);
    return Outcome::held;
}

UsageHistoryStore::Outcome UsageHistoryStore::appendGeminiRecord(const GeminiUsageRecord& record) {
    if (UsageHistoryValidation::problem(record, now())) return Outcome::refused;
    if (saveFailure_) return hold(gemini_, held_.geminiRecords, record);
    std::optional<FileLock> lock = beginChange();
    if (!lock) {
        startHolding(lastError_.value_or(QString()));
        return hold(gemini_, held_.geminiRecords, record);
    }
    gemini_.insert(record);
    if (endChange(std::move(*lock), UsageHistoryJournal::line(record), now()))
        return Outcome::saved;
    held_.geminiRecords.push_back(record);
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
    std::optional<FileLock> lock = saveFailure_ ? std::nullopt : beginChange();
    if (!lock) {
        if (!saveFailure_) startHolding(lastError_.value_or(QString()));
        Outcome outcome = Outcome::held;
        for (ApiUsageRecord& record : accepted)
            if (hold(api_, held_.apiRecords, std::move(record)) == Outcome::dropped)
                outcome = Outcome::dropped;
        return outcome;
    }
    // One append for the whole report: it is durable as a whole or not at all.
    std::string lines;
    for (const ApiUsageRecord& record : accepted) {
        lines += UsageHistoryJournal::line(record);
        api_.insert(record);
    }
    if (endChange(std::move(*lock), lines, stamp)) return Outcome::saved;
    for (ApiUsageRecord& record : accepted) held_.apiRecords.push_back(std::move(record));
    return Outcome::held;
}

void UsageHistoryStore::prune(std::int64_t nowMs) {
    claude_.pruneBefore(nowMs - claudeRetentionMs);
    gemini_.pruneBefore(nowMs - geminiRetentionMs);
    api_.pruneBefore(nowMs - apiRetentionMs);
}

void UsageHistoryStore::rewrite() {
    rewriteTimer_.stop();
    std::optional<FileLock> lock = beginChange();
    if (!lock) {
        Q_EMIT changed();
        return;
    }
    encodingDone();
    writer_->releaseWritten();
    prune(now());
    if (moveAsideBeforeSave_ && QFileInfo::exists(storage_.historyPath())) {
        QString error;
        const std::optional<QString> aside = AtomicFile::moveAside(storage_.historyPath(), &error);
        if (!aside) {
            // Never write over it; the records stay in memory and the journal.
            lastError_ =
                QStringLiteral("The history file could not be read and was not replaced: ") + error;
            Q_EMIT changed();
            return;
        }
        notice_ = QStringLiteral("The history file could not be read; it was kept as ") + *aside;
        noticeSequence_ = sequence_ + 1;
    }
    moveAsideBeforeSave_ = false;
    rewriteWanted_ = false;
    writer_->submit(++sequence_,
                    UsageHistoryJson::fileSnapshot(api_.encodedRecords(), claude_.encodedRecords(),
                                                   gemini_.encodedRecords()),
                    std::move(*lock));
}

}  // namespace qm
