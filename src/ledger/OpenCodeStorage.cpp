#include "ledger/OpenCodeStorage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "core/Clock.h"
#include "ledger/AgentRecords.h"
#include "ledger/ByteCodec.h"
#include "ledger/OpenCodeRecords.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger {
namespace {

namespace dom = simdjson::dom;

// A file the tool writes is a few kilobytes; a tool's output or a pasted prompt can be far
// more. Past this it is no record of OpenCode's.
constexpr std::int64_t kMaxStorageFileBytes = 64 << 20;
constexpr std::size_t kReadChunk = 64 << 10;
// A folder modified this recently may gain a file under the same modification time (file
// systems keep it to a clock tick, some to a second or two): an equal stat proves nothing yet.
constexpr TimeMs kSettleMs = 2'000;
// The text a prompt keeps: enough for a session's task.
constexpr std::size_t kPromptTextBytes = 4096;
constexpr std::uint32_t kStateMagic = 0x3153434f;  // "OCS1"

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_;
};

// A folder inside the storage; links are not followed.
Fd openFolder(int at, const char* name) {
    if (at < 0) return Fd();
    return Fd(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// A folder or file as a walk sees it; all zero when it is not there.
struct NodeStat {
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const NodeStat&) const = default;
};

NodeStat nodeStat(const struct stat& st) {
    return {std::uint64_t(st.st_ino), std::int64_t(st.st_size),
            std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

// `name` under `at` when it is a folder (`folder`) or a regular file.
NodeStat statAt(int at, const char* name, bool folder) {
    struct stat st;
    if (at < 0 || ::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
    if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) return {};
    return nodeStat(st);
}

bool isFresh(const NodeStat& st, TimeMs now) {
    return st.modifiedNs / 1'000'000 > now - kSettleMs;
}

// The names in a folder, sorted, each followed by a NUL in one buffer so that they pass to
// the *at calls as they are: its folders, or its ".json" files without the suffix.
class NameList {
public:
    void list(int folderFd, bool folders) {
        bytes_.clear();
        spans_.clear();
        names_.clear();
        DIR* directory =
            folderFd < 0 ? nullptr : ::fdopendir(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
        if (!directory) return;
        ::rewinddir(directory);
        while (const dirent* entry = ::readdir(directory)) {
            std::string_view name(entry->d_name);
            if (name.empty() || name.front() == '.') continue;
            if (!accepts(::dirfd(directory), *entry, folders)) continue;
            if (!folders) {
                if (!name.ends_with(".json") || name.size() == 5) continue;
                name.remove_suffix(5);
            }
            spans_.emplace_back(bytes_.size(), name.size());
            bytes_.append(name);
            bytes_.push_back('\0');
        }
        ::closedir(directory);
        names_.reserve(spans_.size());
        for (const auto& [at, size] : spans_) names_.emplace_back(bytes_.data() + at, size);
        std::sort(names_.begin(), names_.end());
    }
    const std::vector<std::string_view>& names() const { return names_; }

private:
    static bool accepts(int at, const dirent& entry, bool folders) {
        if (entry.d_type != DT_UNKNOWN) return entry.d_type == (folders ? DT_DIR : DT_REG);
        return statAt(at, entry.d_name, folders) != NodeStat{};
    }

    std::string bytes_;
    std::vector<std::pair<std::size_t, std::size_t>> spans_;
    std::vector<std::string_view> names_;
};

// What the reader keeps of one message: its part folder as last listed, and how far the
// listing was read. Part ids ascend as the tool writes the parts, so the files after
// `lastPart` are the new ones; `listed` tells when one came in below it after all.
struct MessageRecord {
    std::string id;
    NodeStat parts;
    bool fresh = false;  // modified within kSettleMs of the listing: list again
    std::string lastPart;
    std::uint32_t listed = 0;
};

// A file found half-written (or a part waiting on one), by its path under the storage folder.
struct WatchRecord {
    std::string path;
    NodeStat stat;
};

struct StorageState {
    bool sessionRead = false;
    std::string version;  // the OpenCode version that created the session
    TimeMs createdAt = 0;
    TimeMs unsettledAt = 0;  // when a read last listed a folder too fresh to trust
    NodeStat messages;
    bool messagesFresh = false;
    std::vector<MessageRecord> records;  // sorted by id
    std::vector<WatchRecord> watched;
};

// The state's bytes, read in place: a walk reads every session's state and keeps none of it.
class StateReader : public ByteReader {
public:
    using ByteReader::ByteReader;
    bool text(std::string_view& value) { return getView(value); }
    bool stat(NodeStat& st) { return get(st.inode) && get(st.size) && get(st.modifiedNs); }
    bool flag(bool& value) {
        std::uint8_t byte = 0;
        if (!get(byte) || byte > 1) return fail();
        value = byte == 1;
        return true;
    }
};

struct StateHead {
    bool sessionRead = false;
    std::string_view version;
    TimeMs createdAt = 0;
    TimeMs unsettledAt = 0;
    NodeStat messages;
    bool messagesFresh = false;
    std::uint32_t records = 0;
};

struct RecordView {
    std::string_view id;
    NodeStat parts;
    bool fresh = false;
    std::string_view lastPart;
    std::uint32_t listed = 0;
};

bool readHead(StateReader& r, StateHead& head) {
    std::uint32_t magic = 0;
    return r.get(magic) && magic == kStateMagic && r.flag(head.sessionRead) &&
           r.text(head.version) && r.get(head.createdAt) && r.get(head.unsettledAt) &&
           r.stat(head.messages) && r.flag(head.messagesFresh) && r.get(head.records);
}

bool readRecord(StateReader& r, RecordView& record) {
    return r.text(record.id) && r.stat(record.parts) && r.flag(record.fresh) &&
           r.text(record.lastPart) && r.get(record.listed);
}

void putView(ByteWriter& w, std::string_view text) {
    w.put(std::uint32_t(text.size()));
    w.bytes().append(text);
}

void putNodeStat(ByteWriter& w, const NodeStat& st) {
    w.put(st.inode);
    w.put(st.size);
    w.put(st.modifiedNs);
}

QByteArray encodeStorageState(const StorageState& s) {
    ByteWriter w;
    w.put(kStateMagic);
    w.put(std::uint8_t(s.sessionRead));
    putView(w, s.version);
    w.put(s.createdAt);
    w.put(s.unsettledAt);
    putNodeStat(w, s.messages);
    w.put(std::uint8_t(s.messagesFresh));
    w.put(std::uint32_t(s.records.size()));
    for (const MessageRecord& record : s.records) {
        putView(w, record.id);
        putNodeStat(w, record.parts);
        w.put(std::uint8_t(record.fresh));
        putView(w, record.lastPart);
        w.put(record.listed);
    }
    w.put(std::uint32_t(s.watched.size()));
    for (const WatchRecord& watch : s.watched) {
        putView(w, watch.path);
        putNodeStat(w, watch.stat);
    }
    return QByteArray(w.bytes().data(), qsizetype(w.bytes().size()));
}

// Empty bytes are a session never read; bytes this version does not write are no state.
std::optional<StorageState> decodeStorageState(const QByteArray& bytes) {
    StorageState s;
    if (bytes.isEmpty()) return s;
    StateReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    StateHead head;
    if (!readHead(r, head)) return std::nullopt;
    s.sessionRead = head.sessionRead;
    s.version = std::string(head.version);
    s.createdAt = head.createdAt;
    s.unsettledAt = head.unsettledAt;
    s.messages = head.messages;
    s.messagesFresh = head.messagesFresh;
    RecordView view;
    for (std::uint32_t i = 0; i < head.records && readRecord(r, view); ++i) {
        s.records.push_back({std::string(view.id), view.parts, view.fresh,
                             std::string(view.lastPart), view.listed});
    }
    std::uint32_t watched = 0;
    r.get(watched);
    for (std::uint32_t i = 0; i < watched && r.ok(); ++i) {
        std::string_view path;
        NodeStat st;
        if (r.text(path) && r.stat(st)) s.watched.push_back({std::string(path), st});
    }
    if (!r.ok() || !r.atEnd()) return std::nullopt;
    return s;
}

// The identity of a session: its folder of messages, and a hash of every stat that says
// whether anything the reader reads changed. A walk and a read build it alike.
class IdentityDigest {
public:
    void reset() {
        bytes_.clear();
        size_ = 0;
    }
    void add(std::string_view name, const NodeStat& st) {
        append(std::uint32_t(name.size()));
        bytes_.append(name);
        append(st.inode);
        append(st.size);
        append(st.modifiedNs);
        size_ += std::max<std::int64_t>(st.size, 0);
    }
    FileIdentity identity(const struct stat& folder, TimeMs unsettledAt) {
        append(unsettledAt);
        return {std::uint64_t(folder.st_dev), std::uint64_t(folder.st_ino), size_,
                std::int64_t(hash64(bytes_))};
    }

private:
    template <typename T>
    void append(T value) {
        char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        bytes_.append(bytes, sizeof(T));
    }
    std::string bytes_;
    std::int64_t size_ = 0;
};

// Stats one session for a walk, the way the last read left its state.
class StorageWalk {
public:
    StorageWalk(int root, int messages, int parts)
        : root_(root), messages_(messages), parts_(parts) {}

    FileIdentity identity(const char* session, const struct stat& folder, std::string_view state) {
        digest_.reset();
        const NodeStat now = nodeStat(folder);
        digest_.add({}, now);
        StateReader r(state);
        StateHead head;
        const bool usable = !state.empty() && readHead(r, head);
        RecordView record;
        if (usable && head.messages == now && !head.messagesFresh) {
            for (std::uint32_t i = 0; i < head.records && readRecord(r, record); ++i)
                digest_.add(record.id, folderStat(record.id));
        } else {
            const Fd listed = openFolder(messages_, session);
            names_.list(listed.get(), false);
            for (const std::string_view id : names_.names()) digest_.add(id, folderStat(id));
            // Passed over, to reach the files watched after them.
            std::uint32_t skipped = 0;
            while (usable && skipped < head.records && readRecord(r, record)) ++skipped;
        }
        std::uint32_t watched = 0;
        if (usable) r.get(watched);
        for (std::uint32_t i = 0; i < watched && r.ok(); ++i) {
            std::string_view path;
            NodeStat ignored;
            if (!r.text(path) || !r.stat(ignored)) break;
            name_.assign(path);
            digest_.add(path, statAt(root_, name_.c_str(), false));
        }
        return digest_.identity(folder, usable ? head.unsettledAt : 0);
    }

private:
    NodeStat folderStat(std::string_view message) {
        name_.assign(message);
        return statAt(parts_, name_.c_str(), true);
    }

    int root_;
    int messages_;
    int parts_;
    IdentityDigest digest_;
    NameList names_;
    std::string name_;
};

// One file read whole into a buffer simdjson can parse in place.
enum class Load { ok, missing, halfWritten, refused };

// A file read whole, still open: its stat is taken only when something needs it (a file to
// watch, a time the records leave out), a system call most files never pay.
struct LoadedFile {
    Fd fd;
    dom::element root;

    const NodeStat& stat() const {
        if (!statted_) {
            struct stat st;
            if (fd && ::fstat(fd.get(), &st) == 0) stat_ = nodeStat(st);
            statted_ = true;
        }
        return stat_;
    }
    TimeMs modifiedAt() const { return stat().modifiedNs / 1'000'000; }
    // A file that did not parse is watched with the size that was read: should the tool finish
    // it between the read and the stat, the next walk still finds it changed.
    void keepReadSize(std::size_t bytes) {
        stat();
        stat_.size = std::int64_t(bytes);
    }

private:
    mutable NodeStat stat_;
    mutable bool statted_ = false;
};

// A message as the parts that need it see it.
struct LoadedMessage {
    std::string id;
    bool tried = false;
    bool ok = false;
    opencode::MessageFacts facts;
    QString promptModel;  // a user message's own "<provider>/<model>"
};

TimeMs storageMillis(dom::element object, std::string_view key) {
    double value = 0;
    if (object[key].get(value) != simdjson::SUCCESS || !std::isfinite(value)) return 0;
    return std::fabs(value) < 1e15 ? TimeMs(value) : 0;
}

std::string_view storageText(dom::element object, std::string_view key) {
    std::string_view text;
    return object[key].get(text) == simdjson::SUCCESS ? text : std::string_view();
}

// One read of one session: what changed since the state was written, into the entry.
class SessionRead {
public:
    SessionRead(FileEntry& entry, ParseScratch& scratch)
        : entry_(entry), dom_(scratch.dom), now_(systemNow()) {}

    void run() {
        if (!openFolders()) return;
        std::optional<StorageState> state = decodeStorageState(entry_.state);
        if (!state) entry_.restart();  // written by another version: read anew
        state_ = state ? std::move(*state) : StorageState{};
        agent_.emplace(entry_);
        entry_.session = QFile::decodeName(QByteArray::fromStdString(session_));
        std::vector<WatchRecord> waiting = std::exchange(state_.watched, {});
        struct stat folder;
        if (::fstatat(messageRoot_.get(), session_.c_str(), &folder, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(folder.st_mode)) {
            return;  // deleted: the walk drops the entry
        }
        if (readSessionFile()) {
            messageFolder_ = openFolder(messageRoot_.get(), session_.c_str());
            updateMessageList(nodeStat(folder));
            retryParts(waiting);
            for (MessageRecord& record : state_.records) readPartFolder(record);
        } else {
            // The session file is being written: nothing is read before its version is known.
            state_.watched.insert(state_.watched.end(), waiting.begin(), waiting.end());
        }
        finish(folder);
    }

private:
    bool openFolders() {
        const std::string path = QFile::encodeName(entry_.path).toStdString();
        const std::size_t slash = path.rfind('/');
        constexpr std::string_view kMessages = "/message";
        if (slash == std::string::npos || slash + 1 == path.size()) return false;
        const std::string_view parent = std::string_view(path).substr(0, slash);
        if (!parent.ends_with(kMessages)) return false;
        session_ = path.substr(slash + 1);
        const std::string storage(parent.substr(0, parent.size() - kMessages.size()));
        storage_ =
            Fd(::open(storage.empty() ? "/" : storage.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        messageRoot_ = openFolder(storage_.get(), "message");
        partRoot_ = openFolder(storage_.get(), "part");
        return bool(messageRoot_);
    }

    // The session file, found once under any project's folder: false while it is half-written.
    bool readSessionFile() {
        if (state_.sessionRead) return true;
        const Fd root = openFolder(storage_.get(), "session");
        NameList projects;
        projects.list(root.get(), true);
        for (const std::string_view project : projects.names()) {
            const std::string name = std::string(project) + '/' + session_ + ".json";
            LoadedFile file;
            const Load loaded = load(root.get(), name.c_str(), file);
            if (loaded == Load::missing) continue;
            if (loaded == Load::halfWritten) watch("session/" + name, file.stat());
            if (loaded != Load::ok) return loaded == Load::refused;
            state_.sessionRead = true;
            state_.version = std::string(storageText(file.root, "version"));
            dom::element time;
            if (file.root["time"].get(time) == simdjson::SUCCESS)
                state_.createdAt = storageMillis(time, "created");
            entry_.subordinate = !storageText(file.root, "parentID").empty();
            const std::string_view directory = storageText(file.root, "directory");
            if (!directory.empty())
                entry_.project = CliLogParsing::projectName(readers::toQString(directory));
            return true;
        }
        return true;  // none: read with what the messages say
    }

    // The message ids, listed again only when the folder changed.
    void updateMessageList(const NodeStat& now) {
        if (now == state_.messages && !state_.messagesFresh) return;
        NameList ids;
        ids.list(messageFolder_.get(), false);
        std::vector<MessageRecord> merged;
        merged.reserve(ids.names().size());
        auto old = state_.records.begin();
        for (const std::string_view id : ids.names()) {
            while (old != state_.records.end() && std::string_view(old->id) < id) ++old;
            if (old != state_.records.end() && old->id == id)
                merged.push_back(std::move(*old));
            else
                merged.push_back({std::string(id), {}, false, {}, 0});
        }
        state_.records = std::move(merged);
        state_.messages = now;
        state_.messagesFresh = isFresh(now, now_);
        unsettled_ = unsettled_ || state_.messagesFresh;
    }

    // Parts that waited on a file being written, tried again whatever changed.
    void retryParts(const std::vector<WatchRecord>& waiting) {
        for (const WatchRecord& watched : waiting) {
            const std::string_view path = watched.path;
            if (!path.starts_with("part/") || !path.ends_with(".json")) continue;
            const std::string_view rest = path.substr(5, path.size() - 10);
            const std::size_t slash = rest.find('/');
            if (slash == std::string_view::npos) continue;
            const std::string message(rest.substr(0, slash));
            const Fd folder = openFolder(partRoot_.get(), message.c_str());
            if (!folder) continue;
            retried_.emplace_back(rest.substr(slash + 1));
            readPart(message, folder.get(), retried_.back());
        }
    }

    void readPartFolder(MessageRecord& record) {
        const NodeStat now = statAt(partRoot_.get(), record.id.c_str(), true);
        if (now == record.parts && !record.fresh) return;
        record.parts = now;
        record.fresh = false;
        if (now == NodeStat{}) return;
        const Fd folder = openFolder(partRoot_.get(), record.id.c_str());
        if (!folder) {
            record.parts = {};
            return;
        }
        names_.list(folder.get(), false);
        const std::vector<std::string_view>& names = names_.names();
        record.fresh = isFresh(now, now_);
        unsettled_ = unsettled_ || record.fresh;
        // A file that came in below the last one read (ids from another clock): all again,
        // those counted known by their keys.
        const auto below =
            std::upper_bound(names.begin(), names.end(), std::string_view(record.lastPart));
        const bool all = std::size_t(below - names.begin()) > record.listed;
        for (auto name = all ? names.begin() : below; name != names.end(); ++name) {
            if (std::find(retried_.begin(), retried_.end(), *name) != retried_.end()) continue;
            readPart(record.id, folder.get(), *name);
        }
        if (!names.empty() && names.back() > std::string_view(record.lastPart))
            record.lastPart = std::string(names.back());
        record.listed = std::uint32_t(names.size());
    }

    void readPart(std::string_view message, int folder, std::string_view part) {
        const std::uint64_t key = opencode::partKey(part);
        if (counted(key)) return;
        partName_.assign(part);
        partName_ += ".json";
        LoadedFile file;
        const Load loaded = load(folder, partName_.c_str(), file);
        if (loaded == Load::halfWritten) watchPart(message, file.stat());
        if (loaded != Load::ok) return;
        const std::string_view type = storageText(file.root, "type");
        if (type == "step-finish")
            countStep(message, key, file);
        else if (type == "text" && !entry_.subordinate)
            countPrompt(message, file);
    }

    void countStep(std::string_view message, std::uint64_t key, const LoadedFile& file) {
        // Taken before the message is parsed over the part.
        const std::optional<Counts> counts = opencode::stepCounts(file.root, state_.version);
        const LoadedMessage* owner = loadMessage(message);
        if (!owner) {
            watchPart(message, file.stat());
            return;
        }
        newKeys_.push_back(key);
        if (!counts) {
            entry_.skippedLines += 1;
            return;
        }
        if (opencode::isForkCopy(owner->facts, state_.createdAt)) return;
        const opencode::MessageFacts& facts = owner->facts;
        const TimeMs at = facts.completedAt > 0 ? facts.completedAt
                          : facts.createdAt > 0 ? facts.createdAt
                                                : file.modifiedAt();
        agent_->addCall(at, facts.model, *counts);
    }

    // A text the person typed (the tool marks what it adds itself as synthetic) makes its
    // user message a prompt, counted once whatever else the message holds.
    void countPrompt(std::string_view message, const LoadedFile& file) {
        bool synthetic = false;
        if (file.root["synthetic"].get(synthetic) == simdjson::SUCCESS && synthetic) return;
        std::string_view text;
        if (file.root["text"].get(text) != simdjson::SUCCESS) return;
        if (cache_.tried && cache_.id == message && cache_.ok &&
            cache_.facts.role != QLatin1String("user"))
            return;  // an answer's text
        promptText_.assign(text.substr(0, kPromptTextBytes));
        const LoadedMessage* owner = loadMessage(message);
        if (!owner) {
            watchPart(message, file.stat());
            return;
        }
        const std::uint64_t key = promptKey(opencode::partKey(message));
        if (owner->facts.role != QLatin1String("user") || counted(key) ||
            std::find(newPrompts_.begin(), newPrompts_.end(), key) != newPrompts_.end() ||
            opencode::isForkCopy(owner->facts, state_.createdAt))
            return;
        newPrompts_.push_back(key);
        newKeys_.push_back(key);
        const TimeMs at = owner->facts.createdAt > 0 ? owner->facts.createdAt : file.modifiedAt();
        const QString model =
            owner->promptModel.isEmpty() ? agent_->facts().model : owner->promptModel;
        agent_->addPrompt(at, model, readers::toQString(promptText_));
    }

    // The message a part belongs to, read once a read; none while it is half-written.
    const LoadedMessage* loadMessage(std::string_view id) {
        if (cache_.tried && cache_.id == id) return cache_.ok ? &cache_ : nullptr;
        cache_.id.assign(id);
        cache_.tried = true;
        cache_.ok = false;
        messageName_.assign(id);
        messageName_ += ".json";
        LoadedFile file;
        const Load loaded = load(messageFolder_.get(), messageName_.c_str(), file);
        const std::optional<opencode::MessageFacts> facts =
            loaded == Load::ok ? opencode::messageFacts(file.root) : std::nullopt;
        if (loaded == Load::halfWritten || (loaded == Load::ok && !facts))
            watch("message/" + session_ + '/' + messageName_, file.stat());
        if (!facts) return nullptr;
        cache_.facts = *facts;
        cache_.promptModel.clear();
        dom::element model;
        if (file.root["model"].get(model) == simdjson::SUCCESS) {
            const std::string_view provider = storageText(model, "providerID");
            const std::string_view name = storageText(model, "modelID");
            if (!name.empty())
                cache_.promptModel = provider.empty()
                                         ? readers::toQString(name)
                                         : readers::toQString(provider) + QLatin1Char('/') +
                                               readers::toQString(name);
        }
        if (entry_.project.isEmpty() && !facts->root.isEmpty())
            entry_.project = CliLogParsing::projectName(facts->root);
        cache_.ok = true;
        return &cache_;
    }

    Load load(int folder, const char* name, LoadedFile& file) {
        file.fd =
            Fd(folder < 0 ? -1
                          : ::openat(folder, name,
                                     O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
        if (!file.fd) return errno == ENOENT || folder < 0 ? Load::missing : Load::refused;
        // Read to its end rather than to the size a stat gives: the listing named regular
        // files only, and a file cut short while the tool rewrites it fails to parse.
        std::size_t done = 0;
        for (;;) {
            if (buffer_.size() < done + kReadChunk + simdjson::SIMDJSON_PADDING)
                buffer_.resize(done + kReadChunk + simdjson::SIMDJSON_PADDING);
            const ssize_t n = ::read(file.fd.get(), buffer_.data() + done, kReadChunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return Load::refused;
            if (n <= 0) break;
            done += std::size_t(n);
            if (done > std::size_t(kMaxStorageFileBytes)) return Load::refused;
        }
        if (dom_.parse(buffer_.data(), done, false).get(file.root) != simdjson::SUCCESS ||
            !file.root.is_object()) {
            file.keepReadSize(done);
            return Load::halfWritten;
        }
        return Load::ok;
    }

    bool counted(std::uint64_t key) const {
        return std::binary_search(entry_.keys.begin(), entry_.keys.end(), key);
    }

    void watch(std::string path, const NodeStat& st) {
        for (const WatchRecord& watched : state_.watched) {
            if (watched.path == path) return;
        }
        state_.watched.push_back({std::move(path), st});
    }

    void watchPart(std::string_view message, const NodeStat& st) {
        std::string path = "part/";
        path.append(message);
        path += '/';
        path += partName_;
        watch(std::move(path), st);
    }

    void finish(const struct stat& folder) {
        std::sort(newKeys_.begin(), newKeys_.end());
        const std::size_t middle = entry_.keys.size();
        entry_.keys.insert(entry_.keys.end(), newKeys_.begin(), newKeys_.end());
        std::inplace_merge(entry_.keys.begin(), entry_.keys.begin() + std::ptrdiff_t(middle),
                           entry_.keys.end());
        entry_.keys.erase(std::unique(entry_.keys.begin(), entry_.keys.end()), entry_.keys.end());
        agent_->finish();
        state_.unsettledAt = unsettled_ ? now_ : 0;
        entry_.state = encodeStorageState(state_);
        IdentityDigest digest;
        digest.add({}, state_.messages);
        for (const MessageRecord& record : state_.records) digest.add(record.id, record.parts);
        for (const WatchRecord& watched : state_.watched) digest.add(watched.path, watched.stat);
        entry_.identity = digest.identity(folder, state_.unsettledAt);
        if (unsettled_) entry_.identity.size = -1;  // no walk finds this: read again
    }

    FileEntry& entry_;
    dom::parser& dom_;
    const TimeMs now_;
    std::optional<AgentSession> agent_;
    StorageState state_;
    std::string session_;
    Fd storage_;
    Fd messageRoot_;
    Fd partRoot_;
    Fd messageFolder_;
    NameList names_;
    LoadedMessage cache_;
    std::vector<std::uint64_t> newKeys_;
    std::vector<std::uint64_t> newPrompts_;
    std::vector<std::string> retried_;
    std::vector<char> buffer_;
    std::string partName_;
    std::string messageName_;
    std::string promptText_;
    bool unsettled_ = false;
};

}  // namespace

void discoverOpenCodeStorage(const QString& storageDirectory,
                             const std::function<const FileEntry*(const std::string& path)>& known,
                             std::vector<FoundLog>& found) {
    if (storageDirectory.isEmpty()) return;
    const std::string storage = QFile::encodeName(storageDirectory).toStdString();
    const Fd root(::open(storage.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const Fd messages = openFolder(root.get(), "message");
    if (!messages) return;
    const Fd parts = openFolder(root.get(), "part");
    StorageWalk walk(root.get(), messages.get(), parts.get());
    NameList sessions;
    sessions.list(messages.get(), true);
    std::string path = storage + "/message/";
    const std::size_t base = path.size();
    for (const std::string_view session : sessions.names()) {
        struct stat folder;
        if (::fstatat(messages.get(), session.data(), &folder, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(folder.st_mode))
            continue;
        path.resize(base);
        path.append(session);
        const FileEntry* prior = known ? known(path) : nullptr;
        const std::string_view state =
            prior && prior->tool == ProviderKind::openCode
                ? std::string_view(prior->state.constData(), std::size_t(prior->state.size()))
                : std::string_view();
        // A session the index does not hold yet is read whatever its identity; its read sets
        // the one later walks compare with. A first build thus lists every folder once.
        const FileIdentity identity =
            prior ? walk.identity(session.data(), folder, state)
                  : FileIdentity{std::uint64_t(folder.st_dev), std::uint64_t(folder.st_ino), 0, -1};
        found.push_back({path, ProviderKind::openCode, identity});
    }
}

void readOpenCodeStorage(FileEntry& entry, ParseScratch& scratch) {
    SessionRead(entry, scratch).run();
}

}  // namespace qm::ledger
