#include "ledger/OpenCodeDatabase.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <QFile>
#include <QUrl>
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "core/Clock.h"
#include "ledger/AgentRecords.h"
#include "ledger/ByteCodec.h"
#include "ledger/OpenCodeRecords.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger::opencode {
namespace {

// Between a database's path and a session's id: no real path holds it, whatever the database
// is named (OPENCODE_DB may name any file).
constexpr char kSessionMark[] = "#session=";
// In the path of every session of the JSON storage (its folder of messages).
constexpr char kStorageSessions[] = "/storage/message/";

using Connection = std::shared_ptr<sqlite3>;

// Read-only, never created, through the write-ahead log like any reader (never "immutable",
// which would read past the log). A writer holding a lock is waited for a second at most.
Connection connect(const QString& path) {
    const QByteArray uri = "file:" + QUrl::toPercentEncoding(path, "/") + "?mode=ro";
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(uri.constData(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return {};
    }
    sqlite3_busy_timeout(db, 1000);
    sqlite3_exec(db, "PRAGMA query_only = 1", nullptr, nullptr, nullptr);
    return Connection(db, [](sqlite3* d) { sqlite3_close_v2(d); });
}

// One prepared statement, finished when it goes out of scope.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK)
            statement_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return statement_ != nullptr; }
    void bind(int at, std::string_view text) {
        sqlite3_bind_text(statement_, at, text.data(), int(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int at, std::int64_t value) { sqlite3_bind_int64(statement_, at, value); }
    // True while there is a row; `failed` says whether the end was an error.
    bool step() {
        const int result = sqlite3_step(statement_);
        failed_ = result != SQLITE_ROW && result != SQLITE_DONE;
        return result == SQLITE_ROW;
    }
    bool failed() const { return failed_ || !statement_; }
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::string_view text(int column) const {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        return bytes
                   ? std::string_view(bytes, std::size_t(sqlite3_column_bytes(statement_, column)))
                   : std::string_view();
    }
    bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

private:
    sqlite3_stmt* statement_ = nullptr;
    bool failed_ = false;
};

// A read transaction: every query of one read sees the same commit, and it ends with the read
// so that the agent's checkpoints are never held up.
class Snapshot {
public:
    explicit Snapshot(sqlite3* db) : db_(db) {
        begun_ = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Snapshot() {
        if (begun_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    bool begun() const { return begun_; }

private:
    sqlite3* db_;
    bool begun_ = false;
};

QString databaseOf(const QString& path) {
    return path.left(path.indexOf(QLatin1String(kSessionMark)));
}

// Where the last read stopped: the newest part row read, the key of the part it held, how
// many rows the session had, and the message row after which prompts are still to be read.
struct ReadState {
    std::int64_t lastRow = 0;
    std::uint64_t lastKey = 0;
    std::int64_t rows = 0;
    std::int64_t promptRow = 0;
};

ReadState stateOf(const FileEntry& entry) {
    ReadState state;
    ByteReader r(std::string_view(entry.state.constData(), std::size_t(entry.state.size())));
    r.get(state.lastRow);
    r.get(state.lastKey);
    r.get(state.rows);
    r.get(state.promptRow);
    return r.ok() ? state : ReadState{};
}

QByteArray encodeState(const ReadState& state) {
    ByteWriter w;
    w.put(state.lastRow);
    w.put(state.lastKey);
    w.put(state.rows);
    w.put(state.promptRow);
    return QByteArray(w.bytes().data(), qsizetype(w.bytes().size()));
}

struct SessionRow {
    TimeMs createdAt = 0;
    std::string version;
    QString project;
    bool child = false;
};

std::optional<SessionRow> sessionRow(sqlite3* db, std::string_view id) {
    Statement query(db,
                    "SELECT s.time_created, s.version, s.directory, s.parent_id, p.worktree "
                    "FROM session s LEFT JOIN project p ON p.id = s.project_id WHERE s.id = ?1");
    if (!query.ok()) return std::nullopt;
    query.bind(1, id);
    if (!query.step()) return query.failed() ? std::nullopt : std::optional(SessionRow{});
    SessionRow row;
    row.createdAt = query.integer(0);
    row.version = std::string(query.text(1));
    // The repository's root, unless the session ran outside one ("/" is OpenCode's global
    // project): then the folder it ran in.
    const std::string_view worktree = query.text(4);
    row.project = CliLogParsing::projectName(
        readers::toQString(worktree.empty() || worktree == "/" ? query.text(2) : worktree));
    row.child = !query.isNull(3) && !query.text(3).empty();
    return row;
}

// How long a user message without any part yet is waited for: its parts follow its row at once.
constexpr TimeMs kPartsWait = 10 * 60'000;

// What one read found, taken into the entry only when every query succeeded.
struct Found {
    struct Call {
        std::uint64_t key;
        TimeMs at;
        QString model;
        Counts counts;
    };
    struct Prompt {
        std::uint64_t key;
        TimeMs at;
        QString model;  // the one the person chose for it
        QString text;
    };
    std::vector<Call> calls;
    std::vector<Prompt> prompts;
    std::int64_t skipped = 0;
};

bool counted(const FileEntry& entry, std::uint64_t key) {
    return std::binary_search(entry.keys.begin(), entry.keys.end(), key);
}

// When a call finished: its part's row was written then. A part written long after its message
// completed was imported (1.2's first start copies the JSON storage, every row stamped with the
// time of the copy): then the message's own times.
TimeMs callTime(TimeMs written, const std::optional<MessageFacts>& message) {
    if (!message) return written;
    const TimeMs done = message->completedAt > 0 ? message->completedAt : message->createdAt;
    if (written <= 0 || (done > 0 && written > done + 60'000)) return done;
    return written;
}

// The step-finish parts of the session from row `from` on.
bool readSteps(sqlite3* db, std::string_view session, const SessionRow& row, std::int64_t from,
               const FileEntry& entry, ParseScratch& scratch, Found& found) {
    Statement query(db,
                    "SELECT p.id, p.time_created, p.data, p.message_id, m.data FROM part p "
                    "LEFT JOIN message m ON m.id = p.message_id WHERE p.session_id = ?1 AND "
                    "p.rowid > ?2 AND instr(p.data, 'step-finish') > 0 ORDER BY p.rowid");
    if (!query.ok()) return false;
    query.bind(1, session);
    query.bind(2, from);
    std::string lastMessage;
    std::optional<MessageFacts> message;
    while (query.step()) {
        const std::uint64_t key = partKey(query.text(0));
        if (counted(entry, key)) continue;
        if (query.text(3) != lastMessage) {
            lastMessage = std::string(query.text(3));
            simdjson::dom::element parsed;
            const std::string_view data = query.text(4);
            message = scratch.dom.parse(data.data(), data.size()).get(parsed) == simdjson::SUCCESS
                          ? messageFacts(parsed)
                          : std::nullopt;
        }
        if (message && isForkCopy(*message, row.createdAt)) continue;
        simdjson::dom::element part;
        const std::string_view data = query.text(2);
        if (scratch.dom.parse(data.data(), data.size()).get(part) != simdjson::SUCCESS) continue;
        const std::optional<Counts> counts = stepCounts(part, row.version);
        if (!counts) {
            found.skipped +=
                std::string_view(data).find("\"step-finish\"") != std::string_view::npos;
            continue;
        }
        found.calls.push_back({key, callTime(query.integer(1), message),
                               message ? message->model : QString(), *counts});
    }
    return !query.failed();
}

// The first text of a message that the person wrote (not one the agent added).
// `parts` says whether the message has any part yet (its row is written before them).
std::optional<QString> typedText(sqlite3* db, std::string_view message, ParseScratch& scratch,
                                 bool& parts) {
    Statement query(db, "SELECT data FROM part WHERE message_id = ?1 ORDER BY rowid");
    parts = false;
    if (!query.ok()) return std::nullopt;
    query.bind(1, message);
    while (query.step()) {
        parts = true;
        simdjson::dom::element part;
        const std::string_view data = query.text(0);
        if (scratch.dom.parse(data.data(), data.size()).get(part) != simdjson::SUCCESS) continue;
        std::string_view type;
        std::string_view text;
        bool synthetic = false;
        if (part["type"].get(type) != simdjson::SUCCESS || type != "text") continue;
        if (part["synthetic"].get(synthetic) == simdjson::SUCCESS && synthetic) continue;
        if (part["text"].get(text) != simdjson::SUCCESS) continue;
        return readers::toQString(text.substr(0, 4096));
    }
    return std::nullopt;
}

// The person's prompts not counted yet, in the user messages after message row `from`: those
// with a text of their own. A recent message whose parts are not written yet is waited for:
// the next read starts at it (`next`).
bool readPrompts(sqlite3* db, std::string_view session, const SessionRow& row, std::int64_t from,
                 const FileEntry& entry, ParseScratch& scratch, Found& found, std::int64_t& next) {
    Statement query(db,
                    "SELECT rowid, id, time_created, data FROM message WHERE session_id = ?1 AND "
                    "rowid > ?2 AND instr(data, '\"user\"') > 0 ORDER BY rowid");
    if (!query.ok()) return false;
    query.bind(1, session);
    query.bind(2, from);
    next = from;
    std::int64_t waiting = 0;
    const TimeMs recent = systemNow() - kPartsWait;
    while (query.step()) {
        if (!waiting) next = std::max(next, query.integer(0));
        const std::uint64_t key = promptKey(partKey(query.text(1)));
        if (counted(entry, key)) continue;
        simdjson::dom::element parsed;
        const std::string_view data = query.text(3);
        if (scratch.dom.parse(data.data(), data.size()).get(parsed) != simdjson::SUCCESS) continue;
        const std::optional<MessageFacts> message = messageFacts(parsed);
        if (!message || message->role != QLatin1String("user") ||
            isForkCopy(*message, row.createdAt))
            continue;
        const std::string id(query.text(1));
        const TimeMs at = message->createdAt > 0 ? message->createdAt : query.integer(2);
        bool parts = false;
        if (const std::optional<QString> text = typedText(db, id, scratch, parts))
            found.prompts.push_back({key, at, message->model, *text});
        else if (!parts && at >= recent && !waiting)
            waiting = query.integer(0);
    }
    if (waiting) next = waiting - 1;
    return !query.failed();
}

// The row to read on from: the last one read, unless rows went since (a revert deletes the
// newest, and new rows may then take their numbers): then every row, the counted known by key.
std::optional<std::int64_t> readFrom(sqlite3* db, std::string_view session, ReadState& state) {
    Statement all(db, "SELECT COUNT(*), COALESCE(MAX(rowid), 0) FROM part WHERE session_id = ?1");
    Statement later(db, "SELECT COUNT(*) FROM part WHERE session_id = ?1 AND rowid > ?2");
    Statement last(db, "SELECT id FROM part WHERE rowid = ?1");
    Statement newest(db, "SELECT id FROM part WHERE session_id = ?1 ORDER BY rowid DESC LIMIT 1");
    if (!all.ok() || !later.ok() || !last.ok() || !newest.ok()) return std::nullopt;
    all.bind(1, session);
    later.bind(1, session);
    later.bind(2, state.lastRow);
    last.bind(1, state.lastRow);
    newest.bind(1, session);
    if (!all.step() || !later.step()) return std::nullopt;
    const bool lastStands =
        last.step() ? partKey(last.text(0)) == state.lastKey : state.lastRow == 0;
    if (last.failed()) return std::nullopt;
    const bool whole = lastStands && state.rows + later.integer(0) == all.integer(0);
    const std::uint64_t newestKey = newest.step() ? partKey(newest.text(0)) : 0;
    if (newest.failed()) return std::nullopt;
    const std::int64_t from = whole ? state.lastRow : 0;
    state.lastRow = all.integer(1);
    state.lastKey = newestKey;
    state.rows = all.integer(0);
    return from;
}

void take(FileEntry& entry, const SessionRow& row, Found& found) {
    AgentSession session(entry);
    std::vector<std::uint64_t> keys;
    for (const Found::Call& call : found.calls) {
        session.addCall(call.at, call.model, call.counts);
        keys.push_back(call.key);
    }
    for (const Found::Prompt& prompt : found.prompts) {
        session.addPrompt(prompt.at, prompt.model, prompt.text);
        keys.push_back(prompt.key);
    }
    entry.skippedLines += found.skipped;
    if (!row.project.isEmpty()) entry.project = row.project;
    entry.subordinate = row.child;
    session.finish();
    std::sort(keys.begin(), keys.end());
    const std::size_t middle = entry.keys.size();
    entry.keys.insert(entry.keys.end(), keys.begin(), keys.end());
    std::inplace_merge(entry.keys.begin(), entry.keys.begin() + std::ptrdiff_t(middle),
                       entry.keys.end());
    entry.keys.erase(std::unique(entry.keys.begin(), entry.keys.end()), entry.keys.end());
}

}  // namespace

QString sessionPath(const QString& database, const QString& session) {
    return database + QLatin1String(kSessionMark) + session;
}

bool isDatabaseSession(const QString& path) {
    return path.contains(QLatin1String(kSessionMark));
}

bool isStorageSession(const QString& path) {
    return !isDatabaseSession(path) && path.contains(QLatin1String(kStorageSessions));
}

bool isDatabase(std::string_view path) {
    return path.find(kSessionMark) == std::string_view::npos &&
           path.find(kStorageSessions) == std::string_view::npos;
}

std::string sessionPrefix(const std::string& database) {
    return database + kSessionMark;
}

std::optional<FileIdentity> databaseIdentity(const std::string& path) {
    struct stat db;
    if (::lstat(path.c_str(), &db) != 0 || !S_ISREG(db.st_mode)) return std::nullopt;
    FileIdentity identity = identityOf(db);
    struct stat wal;
    if (::lstat((path + "-wal").c_str(), &wal) == 0 && S_ISREG(wal.st_mode)) {
        const FileIdentity log = identityOf(wal);
        identity.size += log.size;
        identity.inode ^= log.inode * 0x9E3779B97F4A7C15ull;
        identity.modifiedNs = std::max(identity.modifiedNs, log.modifiedNs) ^ (log.size << 1);
    }
    return identity;
}

std::optional<std::vector<FoundLog>> listSessions(const std::string& database) {
    const QString path = QFile::decodeName(QByteArray::fromStdString(database));
    const Connection db = connect(path);
    if (!db) return std::nullopt;
    const Snapshot snapshot(db.get());
    Statement query(db.get(),
                    "SELECT s.id, COALESCE(c.n, 0), COALESCE(c.last, 0), p.id FROM session s "
                    "LEFT JOIN (SELECT session_id, COUNT(*) AS n, MAX(rowid) AS last FROM part "
                    "GROUP BY session_id) c ON c.session_id = s.id LEFT JOIN part p ON p.rowid = "
                    "c.last");
    if (!snapshot.begun() || !query.ok()) return std::nullopt;
    struct stat st;
    const std::uint64_t device = ::lstat(database.c_str(), &st) == 0 ? std::uint64_t(st.st_dev) : 0;
    std::vector<FoundLog> sessions;
    while (query.step()) {
        const std::string_view id = query.text(0);
        FoundLog log;
        log.path = sessionPrefix(database) + std::string(id);
        log.tool = ProviderKind::openCode;
        // The newest part's id too: a revert that deletes rows and a turn that adds as many
        // leave the count and the newest row number as they were.
        log.identity = {device, hash64(id) ^ (partKey(query.text(3)) * 0x9E3779B97F4A7C15ull),
                        query.integer(1), query.integer(2)};
        sessions.push_back(std::move(log));
    }
    if (query.failed()) return std::nullopt;
    std::sort(sessions.begin(), sessions.end(),
              [](const FoundLog& a, const FoundLog& b) { return a.path < b.path; });
    return sessions;
}

void readDatabaseSession(FileEntry& entry, ParseScratch& scratch) {
    const QString database = databaseOf(entry.path);
    const std::string session =
        entry.path.mid(database.size() + qsizetype(std::strlen(kSessionMark))).toStdString();
    std::shared_ptr<void>& held = scratch.databases[database];
    if (!held) held = connect(database);
    auto* db = static_cast<sqlite3*>(held.get());
    const auto fail = [&entry] { entry.identity = {}; };  // read again on the next walk
    if (!db) return fail();
    entry.need(kAllParts);
    entry.session = QString::fromStdString(session);
    const Snapshot snapshot(db);
    ReadState state = stateOf(entry);
    const std::optional<SessionRow> row = snapshot.begun() ? sessionRow(db, session) : std::nullopt;
    const std::optional<std::int64_t> from = row ? readFrom(db, session, state) : std::nullopt;
    Found found;
    // Rows that went take the prompts' place too: every message is looked at again.
    const std::int64_t promptsFrom = from && *from == 0 ? 0 : state.promptRow;
    if (!from || !readSteps(db, session, *row, *from, entry, scratch, found) ||
        !readPrompts(db, session, *row, promptsFrom, entry, scratch, found, state.promptRow))
        return fail();
    take(entry, *row, found);
    entry.state = encodeState(state);
}

}  // namespace qm::ledger::opencode
