#include "ledger/UsageLedger.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "core/AtomicFile.h"
#include "core/Clock.h"
#include "core/SharedFile.h"
#include "ledger/LedgerCodec.h"
#include "ledger/LedgerParsers.h"
#include "ledger/LogDiscovery.h"
#include "readers/ClaudeCodeReader.h"
#include "readers/CodexCliReader.h"

namespace qm::ledger {
namespace {

constexpr auto kIndexName = "usage-index.bin";

// The bytes of a regular file, mapped rather than read: a fresh process's first write to new
// memory costs far more than the copy itself, and the index is read whole on every update.
// Nothing for anything else: a FIFO or a link put where the index or its journal belongs is
// never opened for a wait or followed. The index is only ever replaced by a rename and the
// journal only appended to or cut by a holder of the lock, so the mapped bytes stay whole for
// a holder. A reader without the lock copies instead: the holder may cut the journal under a
// mapping, and touching a mapped page past the new end would end the process.
class MappedFile {
public:
    enum class Mode { map, copy };
    explicit MappedFile(const QString& path, Mode mode = Mode::map) {
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        struct stat st;
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
            if (fd >= 0) ::close(fd);
            return;
        }
        if (mode == Mode::copy) {
            copy(fd, std::size_t(st.st_size));
            ::close(fd);
            return;
        }
        void* mapped = ::mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        ::close(fd);
        if (mapped == MAP_FAILED) return;
        data_ = static_cast<const char*>(mapped);
        size_ = std::size_t(st.st_size);
        mapped_ = true;
    }
    ~MappedFile() {
        if (mapped_) ::munmap(const_cast<char*>(data_), size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::string_view bytes() const { return {data_, size_}; }

private:
    // What the file holds now, up to the size it had when opened.
    void copy(int fd, std::size_t size) {
        copied_.resize(size);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(fd, copied_.data() + done, size - done, off_t(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += std::size_t(n);
        }
        copied_.resize(done);
        data_ = copied_.data();
        size_ = done;
    }

    std::string copied_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

// The index as saved: its file, then the journal's changes over it.
struct LoadedIndex {
    std::unordered_map<QString, FileEntry> files;
    std::uint64_t hash = 0;
    std::int64_t indexBytes = 0;
    std::int64_t journalBytes = 0;  // of a journal that follows this index
    bool journalClean = true;       // no journal, or one that is whole and follows this index
};

std::optional<LoadedIndex> loadIndex(const QString& indexPath, const QString& journalPath,
                                     MappedFile::Mode mode) {
    const MappedFile index(indexPath, mode);
    std::optional<std::vector<FileEntry>> files = decodeIndex(index.bytes());
    if (!files) return std::nullopt;
    LoadedIndex loaded;
    loaded.hash = indexHash(index.bytes()).value_or(0);
    loaded.indexBytes = std::int64_t(index.bytes().size());
    loaded.files.reserve(files->size());
    for (FileEntry& entry : *files) {
        QString path = entry.path;
        loaded.files.emplace(std::move(path), std::move(entry));
    }
    if (!QFile::exists(journalPath)) return loaded;
    const MappedFile journal(journalPath, mode);
    const JournalReplay replay = replayJournal(journal.bytes(), loaded.hash, loaded.files);
    // A change that does not fit the entries it was written over: something other than this
    // code wrote one of the two files, and what the index holds cannot be trusted either.
    if (replay.refused) return std::nullopt;
    loaded.journalBytes = replay.applies ? std::int64_t(journal.bytes().size()) : 0;
    loaded.journalClean = replay.applies && replay.intact;
    return loaded;
}

// Appends `records` to the journal (started afresh when `fresh`), without a sync: the index
// is a cache, and a record lost to a crash only means a file is read again from further back.
bool appendToJournal(const QString& path, bool fresh, std::uint64_t indexHash,
                     const std::string& records) {
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (fresh ? O_TRUNC : O_APPEND);
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0600);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    const std::string bytes = fresh ? encodeJournalStart(indexHash) + records : records;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += std::size_t(n);
    }
    const bool whole = done == bytes.size();
    ::close(fd);
    return whole;
}

// One file to read, and where its reading starts.
struct Job {
    std::size_t slot = 0;  // its place among the files found
    FileEntry entry;       // what the index held (offset 0 for a new file)
    std::int64_t toRead = 0;
    std::optional<EntryBase> base;  // the entry before a read on from its offset
};

bool resumable(ProviderKind tool) {
    return tool != ProviderKind::gemini;
}

// Reads what is new in one file. A file that shrank, was replaced or whose first bytes changed
// is read again whole.
void runJob(Job& job, ParseScratch& scratch, const std::function<void(std::int64_t)>& progress) {
    FileEntry& entry = job.entry;
    const int fd = ::open(QFile::encodeName(entry.path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        entry.restart();  // gone since it was found
        return;
    }
    const FileIdentity now{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino),
                           std::int64_t(st.st_size),
                           std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
    const bool sameFile = entry.identity.device == now.device &&
                          entry.identity.inode == now.inode && now.size >= entry.offset &&
                          entry.offset > 0 && resumable(entry.tool);
    if (!sameFile || headHash(fd, entry.headLength).hash != entry.headHash) entry.offset = 0;
    if (entry.offset > 0) job.base = entryBase(entry);
    entry.identity = now;
    const HeadHash head = headHash(fd);
    entry.headLength = head.length;
    entry.headHash = head.hash;
    const OpenLog log{fd, now.size, st.st_mtim.tv_sec * 1000 + st.st_mtim.tv_nsec / 1'000'000,
                      progress};
    switch (entry.tool) {
        case ProviderKind::codex:
            readCodex(entry, log, scratch);
            break;
        case ProviderKind::claudeCode:
            readClaudeCode(entry, log, scratch);
            break;
        case ProviderKind::grok:
            readGrok(entry, log, scratch);
            break;
        case ProviderKind::gemini:
            readGemini(entry, log, scratch);
            break;
    }
    ::close(fd);
}

// Files in parallel on `threads` (at least one), largest first so that no thread is left with
// a big file at the end.
void runJobs(std::vector<Job>& jobs, int threads, const UsageLedger::ProgressCallback& progress) {
    std::int64_t total = 0;
    for (const Job& job : jobs) total += job.toRead;
    std::sort(jobs.begin(), jobs.end(),
              [](const Job& a, const Job& b) { return a.toRead > b.toRead; });
    std::atomic<std::size_t> next{0};
    std::atomic<std::int64_t> read{0};
    const auto advance = [&](std::int64_t bytes) {
        const std::int64_t before = read.fetch_add(bytes);
        // About a hundred reports over the whole build.
        if (progress && (before + bytes) / std::max<std::int64_t>(total / 100, 1) !=
                            before / std::max<std::int64_t>(total / 100, 1)) {
            progress({before + bytes, total});
        }
    };
    const auto work = [&] {
        ParseScratch scratch;
        for (std::size_t i; (i = next.fetch_add(1)) < jobs.size();)
            runJob(jobs[i], scratch, advance);
    };
    threads =
        int(std::min<std::size_t>(std::size_t(threads), std::max<std::size_t>(jobs.size(), 1)));
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; ++t) helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers) helper.join();
    std::sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.slot < b.slot; });
}

// A journal may grow to half the index's size and this much more before the index is
// written again whole.
constexpr std::int64_t kJournalAllowance = 256 * 1024;

// Writes what changed: appended to the journal while the journal stays small beside the
// index, so a refresh that read one grown file writes one entry, not the whole index;
// otherwise the index is written again whole and the journal dropped.
void saveChanges(const QString& indexPath, const QString& journalPath, LedgerSnapshot& snapshot,
                 const LoadedIndex* loaded, const std::vector<Job>& jobs,
                 const std::vector<QString>& dropped) {
    // Records that only aged out are left in the saved index until it is next written whole:
    // the summaries pass over them, and dropping them from a long list would journal the
    // whole list again at every refresh.
    if (loaded && loaded->journalClean && jobs.empty() && dropped.empty()) return;
    if (loaded && loaded->journalClean) {
        std::string records;
        for (const Job& job : jobs) {
            const FileEntry& entry = snapshot.files[job.slot];
            records += job.base ? encodeJournalDelta(*job.base, entry) : encodeJournalEntry(entry);
        }
        for (const QString& path : dropped) records += encodeJournalRemoval(path);
        const std::int64_t limit = loaded->indexBytes / 2 + kJournalAllowance;
        if (loaded->journalBytes + std::int64_t(records.size()) <= limit &&
            appendToJournal(journalPath, loaded->journalBytes == 0, loaded->hash, records)) {
            snapshot.stats.saved = true;
            return;
        }
    }
    AtomicFile::removeStaleTemporaries(indexPath);
    const std::string bytes = encodeIndex(snapshot.files);
    const auto error =
        AtomicFile::write(indexPath, {std::string_view(bytes)}, 0600, AtomicFile::Sync::skip);
    snapshot.stats.saved = !error;
    if (error) snapshot.stats.saveError = error->message;
    // Only after the new index is in place: a journal left by a crash before this point names
    // the old index, so it is never read over the new one.
    QFile::remove(journalPath);
}

}  // namespace

QString indexingText(const IndexProgress& progress) {
    const auto bytes = [](std::int64_t n) {
        return n >= 1'000'000'000 ? QString::asprintf("%.1f GB", double(n) / 1e9)
                                  : QString::asprintf("%.1f MB", double(n) / 1e6);
    };
    return QCoreApplication::translate("UsageLedger", "Indexing logs %1 of %2")
        .arg(bytes(progress.bytesRead), bytes(progress.bytesToRead));
}

LedgerSources LedgerSources::forHome(const QString& homeDirectory) {
    const QDir home(homeDirectory);
    const QDir codex(CodexCliReader::homeFor(homeDirectory));
    return {ClaudeCodeReader::projectDirectoriesFor(homeDirectory),
            {codex.filePath(QStringLiteral("sessions")),
             codex.filePath(QStringLiteral("archived_sessions"))},
            home.filePath(QStringLiteral(".gemini")),
            home.filePath(QStringLiteral(".grok/sessions"))};
}

UsageLedger::UsageLedger(QString indexDirectory, LedgerSources sources)
    : directory_(std::move(indexDirectory)), sources_(std::move(sources)) {}

QString UsageLedger::defaultDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/Quotameter");
}

QString UsageLedger::indexPath() const {
    return QDir(directory_).filePath(QLatin1String(kIndexName));
}

LedgerSnapshot UsageLedger::update(int threads, const ProgressCallback& progress) const {
    LedgerSnapshot snapshot;
    if (threads <= 0) threads = int(std::max(1u, std::thread::hardware_concurrency()));
    const std::vector<FoundLog> found = discoverLogs(sources_, threads > 1);
    makePrivateFolder(directory_);
    // Bounded: a holder that was stopped or hung must not hang this call. Without the lock
    // the answer is still whole (what the index held, and the logs read on from there), it
    // is only not saved.
    std::optional<FileError> lockError;
    const FileLock lock = FileLock::acquire(indexPath(), &lockError);
    if (!lock.held()) snapshot.stats.busy = lockError ? lockError->message : QString();
    std::optional<LoadedIndex> loaded = loadIndex(
        indexPath(), journalPath(), lock.held() ? MappedFile::Mode::map : MappedFile::Mode::copy);
    snapshot.stats.rebuilt = !loaded;
    std::unordered_map<QString, FileEntry> known;
    if (loaded) known = std::move(loaded->files);
    snapshot.files.resize(found.size());
    std::vector<Job> jobs;
    jobs.reserve(found.size());
    // Unchanged files' recent records age out too; they leave the saved index with its next
    // whole write.
    const TimeMs horizon = systemNow() - kRecentSpan;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const FoundLog& log = found[i];
        const QString path = QFile::decodeName(QByteArray::fromStdString(log.path));
        auto it = known.find(path);
        if (it != known.end() && it->second.tool == log.tool &&
            it->second.identity == log.identity) {
            snapshot.files[i] = std::move(it->second);
            snapshot.files[i].pruneRecent(horizon);
            known.erase(it);
            continue;
        }
        Job job;
        job.slot = i;
        job.entry.path = path;
        job.entry.tool = log.tool;
        job.toRead = log.identity.size;
        if (it != known.end()) {
            if (it->second.tool == log.tool) {
                job.toRead = std::max<std::int64_t>(0, log.identity.size - it->second.offset);
                job.entry = std::move(it->second);
            }
            known.erase(it);
        }
        jobs.push_back(std::move(job));
    }
    runJobs(jobs, threads, progress);
    for (Job& job : jobs) {
        snapshot.stats.bytesRead += job.toRead;
        snapshot.files[job.slot] = std::move(job.entry);
    }
    snapshot.stats.files = found.size();
    snapshot.stats.filesRead = jobs.size();
    // What is left of the index had its file deleted: it drops out.
    std::vector<QString> dropped;
    dropped.reserve(known.size());
    for (const auto& [path, entry] : known) dropped.push_back(path);
    if (lock.held())
        saveChanges(indexPath(), journalPath(), snapshot, loaded ? &*loaded : nullptr, jobs,
                    dropped);
    return snapshot;
}

QString UsageLedger::journalPath() const {
    return indexPath() + QStringLiteral(".journal");
}

}  // namespace qm::ledger

namespace qm::ledger {
namespace {

const QString kUnknown = QStringLiteral("unknown");

Hour firstHourOf(const FileEntry& file) {
    Hour first = std::numeric_limits<Hour>::max();
    for (const HourRow& row : file.rows) first = std::min(first, row.hour);
    for (const KeyedCall& call : file.calls) first = std::min(first, call.hour);
    for (const KeyedPrompt& prompt : file.prompts) first = std::min(first, prompt.hour);
    return first;
}

// The order in which files claim the requests they share: a session's own file before its
// sub-agents', the file that started earliest first (the one a resumed session copied from).
std::vector<const FileEntry*> claimOrder(const std::vector<FileEntry>& files) {
    std::vector<std::pair<Hour, const FileEntry*>> order;
    order.reserve(files.size());
    for (const FileEntry& file : files) order.emplace_back(firstHourOf(file), &file);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        const FileEntry& x = *a.second;
        const FileEntry& y = *b.second;
        // References, not copies: a path is compared only when all else is equal.
        return std::forward_as_tuple(int(x.tool), x.subordinate, a.first, x.path) <
               std::forward_as_tuple(int(y.tool), y.subordinate, b.first, y.path);
    });
    std::vector<const FileEntry*> result;
    result.reserve(order.size());
    for (const auto& [hour, file] : order) result.push_back(file);
    return result;
}

}  // namespace

std::vector<UsageSlice> LedgerSnapshot::slices() const {
    std::vector<UsageSlice> out;
    std::size_t keyedCalls = 0;
    std::size_t keyedPrompts = 0;
    for (const FileEntry& file : files) {
        keyedCalls += file.calls.size();
        keyedPrompts += file.prompts.size();
    }
    std::unordered_set<std::uint64_t> calls(keyedCalls);
    std::unordered_set<std::uint64_t> prompts(keyedPrompts);
    using Key = std::tuple<Hour, std::uint16_t, std::uint8_t>;
    std::vector<std::pair<Key, Counts>> part;
    for (const FileEntry* file : claimOrder(files)) {
        // This file's part, summed per hour, model and kind of call, in the order read.
        part.clear();
        for (const HourRow& row : file->rows) {
            part.emplace_back(Key{row.hour, row.model, std::uint8_t(row.flags & kLargeCalls)},
                              row.counts);
        }
        for (const KeyedCall& call : file->calls) {
            if (calls.insert(call.key).second)
                part.emplace_back(Key{call.hour, call.model, call.flags}, call.counts);
        }
        for (const KeyedPrompt& prompt : file->prompts) {
            if (!prompts.insert(prompt.key).second) continue;
            Counts one;
            one.prompts = 1;
            part.emplace_back(Key{prompt.hour, prompt.model, 0}, one);
        }
        std::stable_sort(part.begin(), part.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::size_t merged = 0;
        for (std::size_t i = 0; i < part.size(); ++i) {
            if (merged > 0 && part[merged - 1].first == part[i].first)
                part[merged - 1].second += part[i].second;
            else
                part[merged++] = part[i];
        }
        part.resize(merged);
        // A prompt typed before the first reply of a file belongs to the model that replied.
        const auto named = std::find_if(file->models.begin(), file->models.end(),
                                        [](const QString& m) { return m != kUnknown; });
        const QString promptModel = named != file->models.end() ? *named : kUnknown;
        for (const auto& [key, counts] : part) {
            const auto& [hour, model, flags] = key;
            QString name = model < file->models.size() ? file->models[model] : kUnknown;
            if (name == kUnknown && counts.calls == 0) name = promptModel;
            out.push_back({hour, file->tool, name,
                           file->project.isEmpty() ? kUnknown : file->project, file->session, flags,
                           counts});
        }
    }
    return out;
}

}  // namespace qm::ledger
