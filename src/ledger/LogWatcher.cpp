#include "ledger/LogWatcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <qcoro/qcorofuture.h>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "ledger/LogDiscovery.h"
#include "ledger/OpenCodeDatabase.h"

namespace qm::ledger {

namespace {

// As deep below a tool's folder as discovery looks for logs.
constexpr int kFolderDepth = 10;

QStringList toolFolders(const LedgerSources& sources) {
    QStringList folders = sources.claudeProjectDirectories + sources.codexDirectories;
    folders << sources.geminiDirectory << sources.grokSessionsDirectory
            << sources.openCodeDataDirectory << sources.qwenDirectories;
    folders.removeAll(QString());
    return folders;
}

QString folderOf(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash > 0 ? path.left(slash) : QString();
}

std::optional<WatchedPath> folderToWatch(const QString& path) {
    WatchedPath watched{path, QFile::encodeName(path)};
    struct stat st;
    if (::stat(watched.encoded.constData(), &st) != 0) return std::nullopt;
    const FileIdentity identity = identityOf(st);
    watched.inode = identity.inode;
    watched.size = identity.size;
    watched.modifiedNs = identity.modifiedNs;
    return watched;
}

// The folders below `root`, breadth first, down to kFolderDepth; links are not followed.
// Hidden ones (version control, caches: Gemini keeps a git repository per project) are left
// out: one that holds logs is watched as such.
// OpenCode's folder holds much besides its logs (git snapshots of every project, tool output):
// below it only its JSON storage is watched; its databases are watched as files.
bool watchedBelow(const QString& root, const LedgerSources& sources, const char* name) {
    return root != sources.openCodeDataDirectory || std::strcmp(name, "storage") == 0;
}

void foldersBelow(const QString& root, const LedgerSources& sources, std::vector<QString>& out) {
    std::vector<std::pair<QByteArray, int>> queue{{QFile::encodeName(root), 0}};
    for (std::size_t next = 0; next < queue.size(); ++next) {
        const auto [folder, depth] = queue[next];
        if (depth >= kFolderDepth) continue;
        const int fd = ::open(folder.constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC | (depth > 0 ? O_NOFOLLOW : 0));
        DIR* directory = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!directory) {
            if (fd >= 0) ::close(fd);
            continue;
        }
        while (const dirent* entry = ::readdir(directory)) {
            if (entry->d_name[0] == '.') continue;
            bool isFolder = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st;
                isFolder =
                    ::fstatat(::dirfd(directory), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(st.st_mode);
            }
            if (!isFolder || (depth == 0 && !watchedBelow(root, sources, entry->d_name))) continue;
            const QByteArray child = folder + '/' + entry->d_name;
            out.push_back(QFile::decodeName(child));
            queue.emplace_back(child, depth + 1);
        }
        ::closedir(directory);
    }
}

}  // namespace

LogLook lookAtLogs(const LedgerSources& sources) {
    LogLook look;
    const QStringList folders = toolFolders(sources);
    for (const QString& folder : folders) {
        if (!QFileInfo(folder).isDir()) look.missingFolders.append(folder);
    }
    QSet<QString> seen;
    const auto addFolder = [&](const QString& path) {
        if (seen.contains(path)) return;
        seen.insert(path);
        if (auto watched = folderToWatch(path)) look.paths.push_back(std::move(*watched));
    };
    const QStringList roots = distinctFolders(folders);
    for (const QString& root : roots) addFolder(root);

    std::vector<FoundLog> logs = discoverLogs(sources);
    // A database takes its commits in its write-ahead log: that file is the one written to.
    for (std::size_t i = 0, n = logs.size(); i < n; ++i) {
        if (logs[i].tool != ProviderKind::openCode || !opencode::isDatabase(logs[i].path)) continue;
        struct stat st;
        const std::string wal = logs[i].path + "-wal";
        if (::lstat(wal.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            logs.push_back({wal, ProviderKind::openCode, identityOf(st)});
    }
    std::sort(logs.begin(), logs.end(), [](const FoundLog& a, const FoundLog& b) {
        return a.identity.modifiedNs > b.identity.modifiedNs;
    });
    std::vector<QString> paths;
    paths.reserve(logs.size());
    for (const FoundLog& log : logs)
        paths.push_back(QFile::decodeName(QByteArray::fromStdString(log.path)));
    // The folders that hold logs, up to the tool's folder: where the next log is most likely.
    for (const QString& path : paths) {
        const auto root = std::find_if(folders.begin(), folders.end(), [&path](const QString& f) {
            return path.startsWith(f + QLatin1Char('/'));
        });
        if (root == folders.end()) continue;
        for (QString folder = folderOf(path);
             folder.size() > root->size() && !seen.contains(folder); folder = folderOf(folder)) {
            addFolder(folder);
        }
    }
    for (std::size_t i = 0; i < logs.size(); ++i) {
        const FileIdentity& identity = logs[i].identity;
        if (seen.contains(paths[i])) continue;
        seen.insert(paths[i]);
        look.paths.push_back({paths[i], QByteArray::fromStdString(logs[i].path), true,
                              identity.inode, identity.size, identity.modifiedNs});
    }
    std::vector<QString> others;
    for (const QString& root : roots) foldersBelow(root, sources, others);
    for (const QString& folder : others) addFolder(folder);
    return look;
}

LogWatcher::LogWatcher(LedgerSources sources, Refresh refresh, QObject* parent)
    : LogWatcher(std::move(sources), std::move(refresh), Options{}, parent) {}

LogWatcher::LogWatcher(LedgerSources sources, Refresh refresh, Options options, QObject* parent)
    : QObject(parent),
      sources_(std::move(sources)),
      refresh_(std::move(refresh)),
      options_(options) {
    settle_.setSingleShot(true);
    connect(&settle_, &QTimer::timeout, this, [this] { run(); });
    fallback_.setInterval(options_.fallbackMs);
    // Only a few stats: whole seconds are precise enough, and wake the machine less.
    if (options_.fallbackMs >= 2'000) fallback_.setTimerType(Qt::VeryCoarseTimer);
    connect(&fallback_, &QTimer::timeout, this, &LogWatcher::check);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this](const QString& path) {
        if (logs_.contains(path))
            noteFile(path);
        else
            noteWalk();
    });
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &LogWatcher::noteWalk);
}

void LogWatcher::start() {
    pendingWalk_ = true;
    run();
}

int LogWatcher::defaultWatchBudget() {
#ifdef Q_OS_LINUX
    // The limit is the user's, shared by every program that watches (editors, file managers):
    // a quarter of it leaves them room. A watch costs the system about a kilobyte.
    QFile limit(QStringLiteral("/proc/sys/fs/inotify/max_user_watches"));
    bool ok = false;
    const int max = limit.open(QIODevice::ReadOnly) ? limit.readAll().trimmed().toInt(&ok) : 0;
    return ok && max > 0 ? std::min(8192, max / 4) : 2048;
#else
    // Elsewhere each watch holds a file descriptor open.
    return 256;
#endif
}

int LogWatcher::watchedCount() const {
    return int(watcher_.files().size() + watcher_.directories().size());
}

int LogWatcher::checkedCount() const {
    return int(unwatched_.size()) + int(missing_.size());
}

void LogWatcher::noteFile(const QString& path) {
    pendingFiles_.insert(path);
    schedule();
}

void LogWatcher::noteWalk() {
    pendingWalk_ = true;
    schedule();
}

void LogWatcher::schedule() {
    if (busy_ || settle_.isActive() || (!pendingWalk_ && pendingFiles_.isEmpty())) return;
    qint64 wait = options_.settleMs;
    if (lastRefresh_.isValid())
        wait = std::max<qint64>(wait, options_.minGapMs - lastRefresh_.elapsed());
    settle_.start(int(wait));
}

// The fallback: one stat per path not watched, against what the last look found. What it
// reports once is not reported again before the next look.
void LogWatcher::check() {
    const qsizetype missing = missing_.size();
    missing_.removeIf([](const QString& folder) { return QFileInfo(folder).isDir(); });
    if (missing_.size() != missing) noteWalk();
    const std::size_t unwatched = unwatched_.size();
    std::erase_if(unwatched_, [this](WatchedPath& path) {
        struct stat st;
        if (::stat(path.encoded.constData(), &st) != 0) return true;  // gone
        const FileIdentity identity = identityOf(st);
        if (identity.inode == path.inode && identity.size == path.size &&
            identity.modifiedNs == path.modifiedNs) {
            return false;
        }
        path.inode = identity.inode;
        path.size = identity.size;
        path.modifiedNs = identity.modifiedNs;
        if (path.log && logs_.contains(path.path))
            noteFile(path.path);
        else
            pendingWalk_ = true;  // a folder's files came or went
        return false;
    });
    if (unwatched_.size() != unwatched) pendingWalk_ = true;
    schedule();
}

QCoro::Task<> LogWatcher::lookAgain() {
    QPointer<LogWatcher> self(this);
    QFuture<LogLook> looking =
        QtConcurrent::run([sources = sources_] { return lookAtLogs(sources); });
    const LogLook look = co_await looking;
    if (!self) co_return;
    watchAll(look);
}

void LogWatcher::watchAll(const LogLook& look) {
    const int budget = options_.watchBudget < 0 ? defaultWatchBudget() : options_.watchBudget;
    const std::size_t wanted = std::min(look.paths.size(), std::size_t(std::max(0, budget)));
    QHash<QString, std::uint64_t> keep;
    for (std::size_t i = 0; i < wanted; ++i) keep.insert(look.paths[i].path, look.paths[i].inode);
    // A watch follows a file, not its name: one whose name now names another file (replaced
    // by a rename) is made again.
    QStringList stale;
    for (const QString& path : watcher_.files() + watcher_.directories()) {
        if (!keep.contains(path) || watchedInodes_.value(path) != keep.value(path))
            stale.append(path);
    }
    if (!stale.isEmpty()) watcher_.removePaths(stale);
    const QStringList current = watcher_.files() + watcher_.directories();
    const QSet<QString> watched(current.begin(), current.end());
    watchedInodes_.clear();
    logs_.clear();
    unwatched_.clear();
    bool refused = false;
    for (std::size_t i = 0; i < look.paths.size(); ++i) {
        const WatchedPath& path = look.paths[i];
        if (path.log) logs_.insert(path.path);
        const bool held = i < wanted && (watched.contains(path.path) ||
                                         (!refused && watcher_.addPath(path.path)));
        if (held) {
            watchedInodes_.insert(path.path, path.inode);
            continue;
        }
        // Refused while it is there: the system's limit is reached; the rest is checked.
        if (i < wanted && !refused && QFileInfo::exists(path.path)) refused = true;
        unwatched_.push_back(path);
    }
    missing_ = look.missingFolders;
    if (unwatched_.empty() && missing_.isEmpty())
        fallback_.stop();
    else if (!fallback_.isActive())
        fallback_.start();
}

QCoro::Task<> LogWatcher::run() {
    busy_ = true;
    LogChanges changes;
    changes.files = QStringList(pendingFiles_.begin(), pendingFiles_.end());
    changes.files.sort();
    changes.walk = pendingWalk_;
    pendingFiles_.clear();
    pendingWalk_ = false;
    lastRefresh_.start();
    QPointer<LogWatcher> self(this);
    // The new files and folders are watched before the refresh reads them: a write after
    // the look is seen, one before it is read.
    if (changes.walk) {
        co_await lookAgain();
        if (!self) co_return;
    }
    const Refresh refresh = refresh_;
    co_await refresh(changes);
    if (!self) co_return;
    busy_ = false;
    schedule();
}

}  // namespace qm::ledger
