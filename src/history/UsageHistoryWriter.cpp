#include "history/UsageHistoryWriter.h"

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

void UsageHistoryWriter::submit(std::uint64_t sequence, UsageHistoryJson::FileSnapshot snapshot) {
    {
        std::lock_guard lock(m_mutex);
        m_pending.emplace(sequence, std::move(snapshot));
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

UsageHistoryWriter::Result UsageHistoryWriter::result() const {
    std::lock_guard lock(m_mutex);
    return m_result;
}

void UsageHistoryWriter::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_pending || m_stopping; });
        if (!m_pending) return;  // stopping with nothing left to write
        auto [sequence, snapshot] = std::move(*m_pending);
        m_pending.reset();
        m_busy = true;
        lock.unlock();
        std::optional<FileError> error = m_storage.writeAtomically(snapshot.pieces);
        lock.lock();
        // Handed back rather than dropped here: see releaseWritten().
        m_done.push_back(std::move(snapshot));
        m_result = Result{sequence, std::move(error)};
        m_busy = false;
        if (!m_pending) m_idle.notify_all();
        lock.unlock();
        if (m_written) m_written();
        lock.lock();
    }
}

}  // namespace qm
