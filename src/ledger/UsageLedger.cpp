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
#include <numeric>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "core/AtomicFile.h"
#include "core/Clock.h"
#include "core/SharedFile.h"
#include "ledger/LedgerCodec.h"
#include "ledger/LedgerParsers.h"
#include "ledger/LogDiscovery.h"
#include "ledger/OpenCodeDatabase.h"
#include "ledger/OpenCodeRecords.h"
#include "ledger/OpenCodeStorage.h"
#include "ledger/QwenLogs.h"
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

// The index as saved: its file, then the journal's changes over it; entries in the order of
// their paths' bytes, as the walk lists the files.
struct LoadedIndex {
    std::vector<FileEntry> files;
    std::vector<std::string> paths;  // each entry's path in the file system's encoding
    TimeMs lastWalkAt = 0;
    std::uint64_t hash = 0;
    std::int64_t indexBytes = 0;
    std::int64_t journalBytes = 0;  // of a journal that follows this index
    bool journalClean = true;       // no journal, or one that is whole and follows this index
};

std::optional<LoadedIndex> loadIndex(const QString& indexPath, const QString& journalPath,
                                     MappedFile::Mode mode) {
    // Kept alive by the entries whose parts are still in it.
    const auto index = std::make_shared<const MappedFile>(indexPath, mode);
    std::optional<DecodedIndex> decoded = decodeIndex(index->bytes(), index, indexPath);
    if (!decoded) return std::nullopt;
    LoadedIndex loaded;
    loaded.lastWalkAt = decoded->lastWalkAt;
    loaded.hash = indexHash(index->bytes()).value_or(0);
    loaded.indexBytes = std::int64_t(index->bytes().size());
    loaded.files = std::move(decoded->files);
    if (QFile::exists(journalPath)) {
        const MappedFile journal(journalPath, mode);
        const JournalReplay replay =
            replayJournal(journal.bytes(), loaded.hash, loaded.files, loaded.lastWalkAt);
        loaded.journalBytes = replay.applies ? std::int64_t(journal.bytes().size()) : 0;
        loaded.journalClean = replay.applies && replay.intact;
    }
    loaded.paths.reserve(loaded.files.size());
    for (const FileEntry& entry : loaded.files)
        loaded.paths.push_back(QFile::encodeName(entry.path).toStdString());
    // Written in this order; a journal may have added files at the end.
    if (!std::is_sorted(loaded.paths.begin(), loaded.paths.end())) {
        std::vector<std::size_t> order(loaded.files.size());
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return loaded.paths[a] < loaded.paths[b]; });
        std::vector<FileEntry> files;
        std::vector<std::string> paths;
        files.reserve(order.size());
        paths.reserve(order.size());
        for (const std::size_t i : order) {
            files.push_back(std::move(loaded.files[i]));
            paths.push_back(std::move(loaded.paths[i]));
        }
        loaded.files = std::move(files);
        loaded.paths = std::move(paths);
    }
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
    FileIdentity found;    // as the walk found it
    std::int64_t toRead = 0;
    // Claude Code: the keys the entry held before this read, and which of them it passed over.
    std::vector<std::uint64_t> priorKeys;
    std::vector<std::uint64_t> priorSkipped;
};

bool resumable(const FileEntry& entry) {
    if (entry.tool == ProviderKind::qwenCode) return qwenResumable(entry.path);
    return entry.tool != ProviderKind::gemini;
}

// OpenCode's sessions are no files of their own (see OpenCodeDatabase.h, OpenCodeStorage.h):
// their readers look at what changed since their own state, and the entry takes the identity
// the walk found. A database's own entry holds nothing but that identity.
void runOpenCodeJob(FileEntry& entry, const FileIdentity& found, ParseScratch& scratch) {
    entry.identity = found;
    if (opencode::isDatabaseSession(entry.path))
        opencode::readDatabaseSession(entry, scratch);
    else if (opencode::isStorageSession(entry.path))
        readOpenCodeStorage(entry, scratch);
    entry.compact();
}

// Reads what is new in one file. A file that shrank, was replaced or whose first bytes changed
// is read again whole.
void runJob(FileEntry& entry, const FileIdentity& found, ParseScratch& scratch,
            const std::function<void(std::int64_t)>& progress) {
    if (entry.tool == ProviderKind::openCode) return runOpenCodeJob(entry, found, scratch);
    const int fd = ::open(QFile::encodeName(entry.path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        entry.restart();  // gone since it was found
        return;
    }
    const FileIdentity now = identityOf(st);
    const bool sameFile = entry.identity.device == now.device &&
                          entry.identity.inode == now.inode && now.size >= entry.offset &&
                          entry.offset > 0 && resumable(entry);
    if (!sameFile || headHash(fd, entry.headLength).hash != entry.headHash) entry.offset = 0;
    entry.need(kAllParts);
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
        case ProviderKind::claudeCode: {
            const bool fresh = entry.offset == 0;
            readClaudeCode(entry, log, scratch);
            // Most transcripts share nothing: counted at once, nothing is held for the update,
            // which reads again the few that turn out to share.
            if (fresh && !entry.settleLater)
                settleClaude(
                    entry, [](std::uint64_t) { return true; }, systemNow() - kRecentSpan);
            break;
        }
        case ProviderKind::grok:
            readGrok(entry, log, scratch);
            break;
        case ProviderKind::gemini:
            readGemini(entry, log, scratch);
            break;
        case ProviderKind::qwenCode:
            readQwen(entry, log, scratch);
            break;
        case ProviderKind::openCode:
            break;
    }
    ::close(fd);
    entry.compact();
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
            runJob(jobs[i].entry, jobs[i].found, scratch, advance);
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

// A walk is written down when the one the index knows of is older than this: often enough for
// the status line's rule, seldom enough that calls which change nothing write nothing.
constexpr TimeMs kWalkNoteAge = 5'000;

// Writes what changed: appended to the journal while the journal stays small beside the
// index, so a refresh that read one grown file writes one entry, not the whole index;
// otherwise the index is written again whole and the journal dropped.
void saveChanges(const QString& indexPath, const QString& journalPath, LedgerSnapshot& snapshot,
                 const LoadedIndex* loaded, const std::vector<std::size_t>& changed,
                 const std::vector<QString>& dropped, std::optional<TimeMs> walkedAt) {
    const bool noteWalk = walkedAt && (!loaded || *walkedAt - loaded->lastWalkAt >= kWalkNoteAge);
    // Records that only aged out are left in the saved index until it is next written whole:
    // the summaries pass over them.
    if (loaded && loaded->journalClean && changed.empty() && dropped.empty() && !noteWalk) return;
    if (loaded && loaded->journalClean) {
        std::string records;
        for (const std::size_t slot : changed) records += encodeJournalEntry(snapshot.files[slot]);
        for (const QString& path : dropped) records += encodeJournalRemoval(path);
        if (noteWalk) records += encodeJournalWalk(*walkedAt);
        const std::int64_t limit = loaded->indexBytes / 2 + kJournalAllowance;
        if (loaded->journalBytes + std::int64_t(records.size()) <= limit &&
            appendToJournal(journalPath, loaded->journalBytes == 0, loaded->hash, records)) {
            snapshot.stats.saved = true;
            return;
        }
    }
    AtomicFile::removeStaleTemporaries(indexPath);
    const EncodedIndex encoded = encodeIndexParts(snapshot.files, snapshot.lastWalkAt);
    const auto error = AtomicFile::write(indexPath, encoded.pieces(), 0600, AtomicFile::Sync::skip);
    snapshot.stats.saved = !error;
    if (error) snapshot.stats.saveError = error->message;
    // Only after the new index is in place: a journal left by a crash before this point names
    // the old index, so it is never read over the new one.
    QFile::remove(journalPath);
}

// Which of two files holding the same request or prompt counts it: a session's own file before
// its sub-agents', the file that started earliest first (the one a resumed session copied from).
bool claimsBefore(const FileEntry& x, const FileEntry& y) {
    // References, not copies: a path is compared only when all else is equal.
    return std::forward_as_tuple(int(x.tool), x.subordinate, x.firstHour, x.path) <
           std::forward_as_tuple(int(y.tool), y.subordinate, y.firstHour, y.path);
}

// A set of 64-bit keys with a value each, open addressing: the update looks up every key of
// every transcript in it when one changed, so it must cost little per key.
class KeyTable {
public:
    explicit KeyTable(std::size_t expected) {
        std::size_t size = 16;
        while (size < expected * 2) size *= 2;
        slots_.assign(size, {0, kEmpty});
    }
    // The value of `key`, inserting `value` when it has none.
    std::uint32_t claim(std::uint64_t key, std::uint32_t value) {
        Slot& slot = find(key);
        if (slot.value == kEmpty) slot = {key, value};
        return slot.value;
    }
    std::optional<std::uint32_t> get(std::uint64_t key) const {
        const Slot& slot = const_cast<KeyTable*>(this)->find(key);
        return slot.value == kEmpty || slot.value == kMember ? std::nullopt
                                                             : std::optional(slot.value);
    }
    bool contains(std::uint64_t key) const {
        return const_cast<KeyTable*>(this)->find(key).value != kEmpty;
    }
    void insert(std::uint64_t key) { claim(key, kMember); }
    // Gives a member its value, once.
    void settle(std::uint64_t key, std::uint32_t value) {
        Slot& slot = find(key);
        if (slot.value == kMember) slot.value = value;
    }

    static constexpr std::uint32_t kEmpty = 0xFFFFFFFF;
    static constexpr std::uint32_t kMember = 0xFFFFFFFE;

private:
    struct Slot {
        std::uint64_t key;
        std::uint32_t value;
    };
    Slot& find(std::uint64_t key) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = std::size_t((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;;
             i = (i + 1) & mask) {
            if (slots_[i].value == kEmpty || slots_[i].key == key) return slots_[i];
        }
    }
    std::vector<Slot> slots_;
};

// Settles which file counts each request and prompt that the read files found (see
// PendingCall), over every Claude Code file of `files`. A file whose share changes because
// another file came, went or was read anew is read again whole: returned, for the caller to
// read and settle with settleAgain.
struct Claims {
    KeyTable affected{0};
    std::vector<std::uint32_t> order;  // slots of Claude Code files, in claim order
};

std::vector<std::size_t> settleClaims(std::vector<FileEntry>& files, const std::vector<Job>& jobs,
                                      const std::vector<FileEntry>& gone, TimeMs horizon,
                                      Claims& claims) {
    std::size_t affectedKeys = 0;
    std::vector<bool> read(files.size(), false);
    for (const Job& job : jobs) {
        read[job.slot] = true;
        const FileEntry& entry = files[job.slot];
        affectedKeys += job.priorKeys.size() + entry.keys.size() + entry.pendingCalls.size() +
                        entry.pendingPrompts.size();
    }
    for (const FileEntry& entry : gone) affectedKeys += entry.keys.size();
    claims.affected = KeyTable(affectedKeys);
    for (const Job& job : jobs) {
        const FileEntry& entry = files[job.slot];
        for (const std::uint64_t key : job.priorKeys) claims.affected.insert(key);
        // What the file holds now: read from its start, it counted its keys at once, and each
        // is to be checked.
        for (const std::uint64_t key : entry.keys) claims.affected.insert(key);
        for (const PendingCall& call : entry.pendingCalls)
            if (call.call.key != 0) claims.affected.insert(call.call.key);
        for (const PendingPrompt& prompt : entry.pendingPrompts)
            if (prompt.key != 0) claims.affected.insert(prompt.key);
    }
    for (const FileEntry& entry : gone)
        for (const std::uint64_t key : entry.keys) claims.affected.insert(key);

    for (std::size_t slot = 0; slot < files.size(); ++slot) {
        if (files[slot].tool == ProviderKind::claudeCode)
            claims.order.push_back(std::uint32_t(slot));
    }
    std::sort(claims.order.begin(), claims.order.end(), [&files](std::uint32_t a, std::uint32_t b) {
        return claimsBefore(files[a], files[b]);
    });
    std::vector<std::size_t> again;
    if (affectedKeys == 0) {
        for (const Job& job : jobs)
            settleClaude(
                files[job.slot], [](std::uint64_t) { return true; }, horizon);
        return again;
    }
    // The first holder of each affected key in claim order counts it.
    for (const std::uint32_t slot : claims.order) {
        const FileEntry& entry = files[slot];
        entry.need(kKeysPart);
        for (const std::uint64_t key : entry.keys) claims.affected.settle(key, slot);
        for (const PendingCall& call : entry.pendingCalls)
            if (call.call.key != 0) claims.affected.settle(call.call.key, slot);
        for (const PendingPrompt& prompt : entry.pendingPrompts)
            if (prompt.key != 0) claims.affected.settle(prompt.key, slot);
    }
    const auto counts = [&claims](std::uint32_t slot) {
        return [&claims, slot](std::uint64_t key) { return claims.affected.get(key) == slot; };
    };
    for (const std::uint32_t slot : claims.order) {
        FileEntry& entry = files[slot];
        // What the file counted before must still be its share, or its rows are not.
        const bool shareKept =
            std::all_of(entry.keys.begin(), entry.keys.end(), [&](std::uint64_t key) {
                const std::optional<std::uint32_t> owner = claims.affected.get(key);
                return !owner || (*owner == slot) != entry.isSkipped(key);
            });
        if (!shareKept) {
            again.push_back(slot);
            continue;
        }
        if (read[slot]) settleClaude(entry, counts(slot), horizon);
    }
    return again;
}

// Settles a file read again whole after settleClaims: the keys it shares with the files that
// changed as those decided, the rest as the file had them.
void settleAgain(FileEntry& entry, std::uint32_t slot,
                 const std::vector<std::uint64_t>& priorSkipped, const Claims& claims,
                 TimeMs horizon) {
    settleClaude(
        entry,
        [&](std::uint64_t key) {
            if (const std::optional<std::uint32_t> owner = claims.affected.get(key))
                return *owner == slot;
            return !std::binary_search(priorSkipped.begin(), priorSkipped.end(), key);
        },
        horizon);
}

}  // namespace

FileEntry readAlone(const QString& path, ProviderKind tool) {
    FileEntry entry;
    entry.path = path;
    entry.tool = tool;
    ParseScratch scratch;
    runJob(entry, {}, scratch, {});
    settleClaude(
        entry, [](std::uint64_t) { return true; }, systemNow() - kRecentSpan);
    return entry;
}

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
            home.filePath(QStringLiteral(".grok/sessions")),
            opencode::dataDirectory(homeDirectory),
            ledger::qwenDirectories(homeDirectory)};
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

QString UsageLedger::journalPath() const {
    return indexPath() + QStringLiteral(".journal");
}

LedgerSnapshot UsageLedger::update(int threads, const ProgressCallback& progress) const {
    UpdateOptions options;
    options.threads = threads;
    options.progress = progress;
    return update(options);
}

namespace {

// The files as the index knows them, those of `focus` (sorted) looked at again (dropped when
// gone).
std::vector<FoundLog> focusedLook(const std::vector<FileEntry>& known,
                                  const std::vector<std::string>& knownPaths,
                                  const std::vector<std::string>& focus) {
    std::vector<FoundLog> found;
    found.reserve(known.size());
    for (std::size_t i = 0; i < known.size(); ++i) {
        if (!std::binary_search(focus.begin(), focus.end(), knownPaths[i])) {
            found.push_back({knownPaths[i], known[i].tool, known[i].identity});
            continue;
        }
        struct stat st;
        if (::lstat(knownPaths[i].c_str(), &st) == 0 && S_ISREG(st.st_mode))
            found.push_back({knownPaths[i], known[i].tool, identityOf(st)});
    }
    return found;
}

// The index's entry of `path`, if it has one.
const FileEntry* knownAt(const std::vector<FileEntry>& known,
                         const std::vector<std::string>& knownPaths, const std::string& path) {
    const auto at = std::lower_bound(knownPaths.begin(), knownPaths.end(), path);
    return at != knownPaths.end() && *at == path ? &known[std::size_t(at - knownPaths.begin())]
                                                 : nullptr;
}

// A database the walk found stands for its sessions: listed again when the database changed,
// else as the index has them. One that cannot be read now keeps its sessions as they stand and
// is listed again on the next walk.
void expandDatabases(std::vector<FoundLog>& found, const std::vector<FileEntry>& known,
                     const std::vector<std::string>& knownPaths) {
    std::vector<FoundLog> sessions;
    for (FoundLog& log : found) {
        if (log.tool != ProviderKind::openCode || !opencode::isDatabase(log.path)) continue;
        const FileEntry* held = knownAt(known, knownPaths, log.path);
        const bool same = held && held->identity == log.identity;
        if (!same) {
            if (std::optional<std::vector<FoundLog>> listed = opencode::listSessions(log.path)) {
                sessions.insert(sessions.end(), std::make_move_iterator(listed->begin()),
                                std::make_move_iterator(listed->end()));
                continue;
            }
            log.identity = {};
        }
        const std::string prefix = opencode::sessionPrefix(log.path);
        for (auto it = std::lower_bound(knownPaths.begin(), knownPaths.end(), prefix);
             it != knownPaths.end() && it->starts_with(prefix); ++it) {
            const FileEntry& entry = known[std::size_t(it - knownPaths.begin())];
            sessions.push_back({*it, entry.tool, entry.identity});
        }
    }
    if (sessions.empty()) return;
    found.insert(found.end(), std::make_move_iterator(sessions.begin()),
                 std::make_move_iterator(sessions.end()));
    std::sort(found.begin(), found.end(),
              [](const FoundLog& a, const FoundLog& b) { return a.path < b.path; });
}

// Every log of the tools, a database's sessions among them: the walk over every folder.
std::vector<FoundLog> walkLogs(const LedgerSources& sources, bool parallel,
                               const std::vector<FileEntry>& known,
                               const std::vector<std::string>& knownPaths) {
    std::vector<FoundLog> found =
        discoverLogs(sources, parallel, [&known, &knownPaths](const std::string& path) {
            return knownAt(known, knownPaths, path);
        });
    expandDatabases(found, known, knownPaths);
    return found;
}

// The files an update is focused on, in the encoding and order of the index's paths.
std::vector<std::string> focusPaths(const UsageLedger::UpdateOptions& options) {
    std::vector<std::string> paths;
    for (const QString& path : options.focusFiles) {
        if (!path.isEmpty()) paths.push_back(QFile::encodeName(path).toStdString());
    }
    if (!options.focus.isEmpty()) paths.push_back(QFile::encodeName(options.focus).toStdString());
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    return paths;
}

// The index's entries against the files found, both in the order of the paths' bytes: an
// unchanged file's entry goes to the snapshot as it is, a changed or new one becomes a job.
// `matched` says which of `known` found its file.
std::vector<Job> matchFiles(const std::vector<FoundLog>& found, std::vector<FileEntry>& known,
                            std::vector<std::string>& knownPaths, LedgerSnapshot& snapshot,
                            std::vector<bool>& matched) {
    std::vector<Job> jobs;
    // The usual case, no file come or gone: the index's entries become the snapshot's in place,
    // so the process never holds two lists of every entry.
    const bool sameFiles =
        found.size() == known.size() &&
        std::equal(found.begin(), found.end(), knownPaths.begin(),
                   [](const FoundLog& log, const std::string& path) { return log.path == path; });
    if (sameFiles) {
        snapshot.files = std::move(known);
        known.clear();
        knownPaths.clear();
    } else {
        snapshot.files.resize(found.size());
    }
    matched.assign(known.size(), false);
    std::size_t next = 0;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const FoundLog& log = found[i];
        FileEntry* held = nullptr;
        if (sameFiles) {
            held = &snapshot.files[i];
        } else {
            while (next < known.size() && knownPaths[next] < log.path) ++next;
            if (next < known.size() && knownPaths[next] == log.path) {
                held = &known[next];
                matched[next] = true;
            }
        }
        if (held && held->tool == log.tool && held->identity == log.identity) {
            if (!sameFiles) snapshot.files[i] = std::move(*held);
            continue;
        }
        Job job;
        job.slot = i;
        job.found = log.identity;
        job.entry.path = QFile::decodeName(QByteArray::fromStdString(log.path));
        job.entry.tool = log.tool;
        job.toRead = log.identity.size;
        if (held && held->tool == log.tool) {
            job.toRead = std::max<std::int64_t>(0, log.identity.size - held->offset);
            job.entry = std::move(*held);
        }
        if (job.entry.tool == ProviderKind::claudeCode) {
            job.entry.need(kKeysPart);
            job.priorKeys = job.entry.keys;
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

// Reads again whole, and settles, the files whose share of what several hold changed; adds them
// to `changed`.
void readSharersAgain(LedgerSnapshot& snapshot, const std::vector<std::size_t>& again,
                      const Claims& claims, int threads, TimeMs horizon,
                      std::vector<std::size_t>& changed) {
    std::vector<Job> rereads;
    for (const std::size_t slot : again) {
        Job job;
        job.slot = slot;
        job.entry = std::move(snapshot.files[slot]);
        job.priorSkipped = job.entry.skipped;
        job.entry.restart();
        job.entry.settleLater = true;
        job.entry.identity = {};  // read whole, as a file never seen
        rereads.push_back(std::move(job));
    }
    runJobs(rereads, threads, {});
    for (Job& job : rereads) {
        settleAgain(job.entry, std::uint32_t(job.slot), job.priorSkipped, claims, horizon);
        job.entry.settleLater = false;
        snapshot.files[job.slot] = std::move(job.entry);
        if (std::find(changed.begin(), changed.end(), job.slot) == changed.end())
            changed.push_back(job.slot);
    }
}

}  // namespace

LedgerSnapshot UsageLedger::update(const UpdateOptions& options) const {
    LedgerSnapshot snapshot;
    const int threads = options.threads > 0
                            ? options.threads
                            : int(std::max(1u, std::thread::hardware_concurrency()));
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
    std::vector<FileEntry> known;
    std::vector<std::string> knownPaths;
    if (loaded) {
        known = std::move(loaded->files);
        knownPaths = std::move(loaded->paths);
        snapshot.lastWalkAt = loaded->lastWalkAt;
    }
    const TimeMs now = systemNow();
    // A focused update looks at its files while a walk over every file is recent enough; the
    // others stand as the index has them. A file the index does not know yet (a new session)
    // needs the walk that finds it.
    const std::vector<std::string> focus = focusPaths(options);
    const bool focused =
        loaded && !focus.empty() &&
        std::all_of(focus.begin(), focus.end(),
                    [&knownPaths](const std::string& path) {
                        return std::binary_search(knownPaths.begin(), knownPaths.end(), path);
                    }) &&
        now - loaded->lastWalkAt < options.walkEvery && now >= loaded->lastWalkAt;
    std::optional<TimeMs> walkedAt;
    std::vector<FoundLog> found;
    if (focused) {
        found = focusedLook(known, knownPaths, focus);
    } else {
        found = walkLogs(sources_, threads > 1, known, knownPaths);
        walkedAt = now;
        snapshot.lastWalkAt = now;
    }
    std::vector<bool> matched;
    std::vector<Job> jobs = matchFiles(found, known, knownPaths, snapshot, matched);
    runJobs(jobs, threads, options.progress);
    std::vector<std::size_t> changed;
    changed.reserve(jobs.size());
    for (Job& job : jobs) {
        snapshot.stats.bytesRead += job.toRead;
        snapshot.files[job.slot] = std::move(job.entry);
        changed.push_back(job.slot);
    }
    snapshot.stats.files = found.size();
    snapshot.stats.filesRead = jobs.size();
    // What is left of the index had its file deleted: it drops out, and the requests it
    // counted go to whichever file holds them next.
    std::vector<QString> dropped;
    std::vector<FileEntry> gone;
    for (std::size_t k = 0; k < known.size(); ++k) {
        if (matched[k]) continue;
        dropped.push_back(known[k].path);
        if (known[k].tool != ProviderKind::claudeCode) continue;
        known[k].need(kKeysPart);
        gone.push_back(std::move(known[k]));
    }
    std::erase_if(jobs, [](const Job& job) { return job.entry.tool != ProviderKind::claudeCode; });
    const TimeMs horizon = now - kRecentSpan;
    Claims claims;
    const std::vector<std::size_t> again =
        settleClaims(snapshot.files, jobs, gone, horizon, claims);
    if (!again.empty()) readSharersAgain(snapshot, again, claims, threads, horizon, changed);
    for (const std::size_t slot : changed) snapshot.files[slot].pruneRecent(horizon);
    if (lock.held())
        saveChanges(indexPath(), journalPath(), snapshot, loaded ? &*loaded : nullptr, changed,
                    dropped, walkedAt);
    return snapshot;
}

}  // namespace qm::ledger

namespace qm::ledger {
namespace {

const QString kUnknown = QStringLiteral("unknown");

// The order in which files' rows are listed: the order in which they claim what they share.
std::vector<const FileEntry*> claimOrder(const std::vector<FileEntry>& files) {
    std::vector<const FileEntry*> order;
    order.reserve(files.size());
    for (const FileEntry& file : files) order.push_back(&file);
    std::sort(order.begin(), order.end(),
              [](const FileEntry* a, const FileEntry* b) { return claimsBefore(*a, *b); });
    return order;
}

}  // namespace

std::vector<UsageSlice> LedgerSnapshot::slices() const {
    return slices([](const FileEntry&) { return true; });
}

std::vector<UsageSlice> LedgerSnapshot::slices(
    const std::function<bool(const FileEntry&)>& wanted) const {
    std::vector<UsageSlice> out;
    using Key = std::tuple<Hour, std::uint16_t, std::uint8_t>;
    std::vector<std::pair<Key, Counts>> part;
    for (const FileEntry* file : claimOrder(files)) {
        if (!wanted(*file)) continue;
        file->need(kRowsPart);
        // This file's part, summed per hour, model and kind of call, in the order read.
        part.clear();
        for (const HourRow& row : file->rows) {
            part.emplace_back(Key{row.hour, row.model, row.flags}, row.counts);
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
