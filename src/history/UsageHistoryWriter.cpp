#include "history/UsageHistoryWriter.h"

#include "history/UsageHistoryJournal.h"

namespace qm {

UsageHistoryWriter::UsageHistoryWriter(UsageHistoryFileStore storage, std::function<void()> written)
    : m_storage(std::move(storage)), m_written(std::move(written)), m_thread([this] { run(); }) {}

UsageHistoryWriter::~UsageHistoryWriter() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void UsageHistoryWriter::submit(std::uint64_t sequence, UsageHistoryJson::FileSnapshot snapshot,
                                FileLock fileLock) {
    {
        std::lock_guard lock(m_mutex);
        m_pending.emplace(Job{sequence, std::move(snapshot), std::move(fileLock)});
    }
    m_wake.notify_one();
}

void UsageHistoryWriter::releaseWritten() {
    std::vector<UsageHistoryJson::FileSnapshot> done;
    {
        std::lock_guard lock(m_mutex);
        done.swap(m_done);
    }
}

void UsageHistoryWriter::waitIdle() {
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return !m_pending && !m_busy; });
}

bool UsageHistoryWriter::isIdle() const {
    std::lock_guard lock(m_mutex);
    return !m_pending && !m_busy;
}

UsageHistoryWriter::Result UsageHistoryWriter::result() const {
    std::lock_guard lock(m_mutex);
    return m_result;
}

void UsageHistoryWriter::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_pending || m_stopping; });
        if (!m_pending) return;  // stopping with nothing left to write
        Job job = std::move(*m_pending);
        m_pending.reset();
        m_busy = true;
        lock.unlock();
        Result result{job.sequence, m_storage.writeAtomically(job.snapshot.pieces), {}, {}, 0};
        if (!result.error) {
            // The file now holds every record of the journal: a new journal extends it.
            result.file = FileStamp::of(m_storage.historyPath());
            const QString journal = UsageHistoryJournal::pathFor(m_storage.historyPath());
            const std::string header = UsageHistoryJournal::header(*result.file);
            if (!AtomicFile::write(journal, QByteArray::fromStdString(header))) {
                result.journal = FileStamp::of(journal);
                result.journalOffset = std::int64_t(header.size());
            }
        }
        job.lock.release();
        lock.lock();
        // Handed back rather than dropped here: see releaseWritten().
        m_done.push_back(std::move(job.snapshot));
        m_result = std::move(result);
        m_busy = false;
        if (!m_pending) m_idle.notify_all();
        lock.unlock();
        if (m_written) m_written();
        lock.lock();
    }
}

}  // namespace qm
