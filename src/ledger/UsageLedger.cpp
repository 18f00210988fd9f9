#include "ledger/UsageLedger.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
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
#include "ledger/LedgerCodec.h"
#include "ledger/LedgerParsers.h"
#include "ledger/LogDiscovery.h"
#include "readers/ClaudeCodeReader.h"
#include "readers/CodexCliReader.h"

namespace qm::ledger {
namespace {

constexpr auto kIndexName = "usage-index.bin";

// The lock that lets one process at a time bring the index up to date. Held on an open file
// beside the index, so a process that dies lets go of it.
class IndexLock {
public:
    explicit IndexLock(const QString& path) {
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) return;
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~IndexLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    IndexLock(const IndexLock&) = delete;
    IndexLock& operator=(const IndexLock&) = delete;

private:
    int fd_ = -1;
};

std::optional<std::vector<FileEntry>> loadIndex(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray bytes = file.readAll();
    return decodeIndex(std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

// One file to read, and where its reading starts.
struct Job {
    std::size_t slot = 0;  // its place among the files found
    FileEntry entry;       // what the index held (offset 0 for a new file)
    std::int64_t toRead = 0;
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

// Files in parallel, largest first so that no thread is left with a big file at the end.
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
    if (threads <= 0) threads = int(std::max(1u, std::thread::hardware_concurrency()));
    threads =
        int(std::min<std::size_t>(std::size_t(threads), std::max<std::size_t>(jobs.size(), 1)));
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; ++t) helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers) helper.join();
    std::sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.slot < b.slot; });
}

}  // namespace

QString indexingText(const IndexProgress& progress) {
    const auto bytes = [](std::int64_t n) {
        return n >= 1'000'000'000 ? QString::asprintf("%.1f GB", double(n) / 1e9)
                                  : QString::asprintf("%.1f MB", double(n) / 1e6);
    };
    return QStringLiteral("Indexing logs %1 of %2")
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
    const std::vector<FoundLog> found = discoverLogs(sources_);
    QDir().mkpath(directory_);
    IndexLock lock(indexPath() + QStringLiteral(".lock"));
    std::optional<std::vector<FileEntry>> loaded = loadIndex(indexPath());
    snapshot.stats.rebuilt = !loaded;
    std::unordered_map<QString, FileEntry> known;
    if (loaded) {
        for (FileEntry& entry : *loaded) {
            QString path = entry.path;
            known.emplace(std::move(path), std::move(entry));
        }
    }
    const std::size_t knownCount = known.size();
    std::size_t used = 0;  // entries of the index that still have their file
    snapshot.files.resize(found.size());
    std::vector<Job> jobs;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const FoundLog& log = found[i];
        const QString path = QFile::decodeName(QByteArray::fromStdString(log.path));
        auto it = known.find(path);
        if (it != known.end() && it->second.tool == log.tool &&
            it->second.identity == log.identity) {
            snapshot.files[i] = std::move(it->second);
            ++used;
            continue;
        }
        Job job;
        job.slot = i;
        job.entry.path = path;
        job.entry.tool = log.tool;
        job.toRead = log.identity.size;
        if (it != known.end() && it->second.tool == log.tool) {
            job.toRead = std::max<std::int64_t>(0, log.identity.size - it->second.offset);
            job.entry = std::move(it->second);
            ++used;
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
    // A deleted file drops out: the index changes even when nothing was read.
    const bool changed = !loaded || !jobs.empty() || used != knownCount;
    if (changed) {
        AtomicFile::removeStaleTemporaries(indexPath());
        const std::string bytes = encodeIndex(snapshot.files);
        const auto error = AtomicFile::write(indexPath(), {std::string_view(bytes)});
        snapshot.stats.saved = !error;
        if (error) snapshot.stats.saveError = error->message;
    }
    return snapshot;
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
        return std::tuple(int(x.tool), x.subordinate, a.first, x.path) <
               std::tuple(int(y.tool), y.subordinate, b.first, y.path);
    });
    std::vector<const FileEntry*> result;
    result.reserve(order.size());
    for (const auto& [hour, file] : order) result.push_back(file);
    return result;
}

}  // namespace

std::vector<UsageSlice> LedgerSnapshot::slices() const {
    std::vector<UsageSlice> out;
    std::unordered_set<std::uint64_t> calls;
    std::unordered_set<std::uint64_t> prompts;
    for (const FileEntry* file : claimOrder(files)) {
        // This file's part, summed per hour, model and kind of call.
        std::map<std::tuple<Hour, std::uint16_t, std::uint8_t>, Counts> part;
        for (const HourRow& row : file->rows) {
            part[{row.hour, row.model, std::uint8_t(row.flags & kLargeCalls)}] += row.counts;
        }
        for (const KeyedCall& call : file->calls) {
            if (calls.insert(call.key).second)
                part[{call.hour, call.model, call.flags}] += call.counts;
        }
        for (const KeyedPrompt& prompt : file->prompts) {
            if (!prompts.insert(prompt.key).second) continue;
            Counts one;
            one.prompts = 1;
            part[{prompt.hour, prompt.model, 0}] += one;
        }
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
