#include "history/UsageHistoryWriter.h"

#include "history/UsageHistoryJournal.h"

namespace qm {

UsageHistoryWriter::UsageHistoryWriter(UsageHistoryFileStore storage, std::function<void()> written)
    : storage_(std::move(storage)), written_(std::move(written)), thread_([this] { run(); }) {}

UsageHistoryWriter::~UsageHistoryWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void UsageHistoryWriter::submit(std::uint64_t sequence, UsageHistoryJson::FileSnapshot snapshot,
                                FileLock fileLock) {
    {
        std::lock_guard lock(mutex_);
        pending_.emplace(Job{sequence, std::move(snapshot), std::move(fileLock)});
    }
    wake_.notify_one();
}

void UsageHistoryWriter::releaseWritten() {
    std::vector<UsageHistoryJson::FileSnapshot> done;
    {
        std::lock_guard lock(mutex_);
        done.swap(done_);
    }
}

void UsageHistoryWriter::waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return !pending_ && !busy_; });
}

bool UsageHistoryWriter::isIdle() const {
    std::lock_guard lock(mutex_);
    return !pending_ && !busy_;
}

UsageHistoryWriter::Result UsageHistoryWriter::result() const {
    std::lock_guard lock(mutex_);
    return result_;
}

void UsageHistoryWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return pending_ || stopping_; });
        if (!pending_) return;  // stopping with nothing left to write
        Job job = std::move(*pending_);
        pending_.reset();
        busy_ = true;
        lock.unlock();
        Result result{job.sequence, storage_.writeAtomically(job.snapshot.pieces), {}, {}, 0};
        if (!result.error) {
            // The file now holds every record of the journal: a new journal extends it.
            result.file = FileStamp::of(storage_.historyPath());
            const QString journal = UsageHistoryJournal::pathFor(storage_.historyPath());
            const std::string header = UsageHistoryJournal::header(*result.file);
            if (!AtomicFile::write(journal, QByteArray::fromStdString(header))) {
                result.journal = FileStamp::of(journal);
                result.journalOffset = std::int64_t(header.size());
            }
        }
        job.lock.release();
        lock.lock();
        // Handed back rather than dropped here: see releaseWritten().
        done_.push_back(std::move(job.snapshot));
        result_ = std::move(result);
        busy_ = false;
        if (!pending_) idle_.notify_all();
        lock.unlock();
        if (written_) written_();
        lock.lock();
    }
}

}  // namespace qm
