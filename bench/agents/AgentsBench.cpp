// bench_agents [--messages N] [--runs N] [--dir PATH]
//
// OpenCode's logs as the usage index reads them, generated in two shapes: many small sessions
// (N messages over N/40 sessions) and few large ones (N messages over 4 sessions), each in the
// JSON storage of releases up to 1.1 (a file per session, message and part) and in the
// database of later ones. For each: a bare read of the same bytes on two threads (every file of
// the storage; the database file), the first index build on two threads, a warm call with
// nothing changed, the bare stat of the tree beside it, and a call after one new step.

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ledger/BenchFigures.h"
#include "ledger/UsageLedger.h"

namespace {

using namespace qm::bench;

struct Options {
    int messages = 20'000;
    int runs = 3;
    std::string dir;
};

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(bytes);
}

QByteArray padding(int bytes) {
    return QByteArray(bytes, 'x');
}

QByteArray number(long long n) {
    return QByteArray::number(n);
}

// A 2 KB message file, as OpenCode writes it (pretty-printed); a big enough summary stands in
// for the fields a real message carries.
QByteArray messageJson(const QByteArray& id, const QByteArray& session, bool user, long long at) {
    QByteArray json = "{\n  \"id\": \"" + id + "\",\n  \"sessionID\": \"" + session +
                      "\",\n  \"role\": \"" + (user ? "user" : "assistant") +
                      "\",\n  \"time\": {\n    \"created\": " + number(at) +
                      ",\n    \"completed\": " + number(at + 5000) + "\n  },\n";
    if (!user)
        json +=
            "  \"modelID\": \"claude-sonnet-4-5\",\n  \"providerID\": \"anthropic\",\n"
            "  \"path\": {\n    \"cwd\": \"/home/u/proj\",\n    \"root\": \"/home/u/proj\"\n  },\n";
    json += "  \"system\": [\n    \"";
    json += padding(std::max(0, 2000 - int(json.size()) - 12));
    json += "\"\n  ]\n}";
    return json;
}

QByteArray stepJson(const QByteArray& id, const QByteArray& message, const QByteArray& session,
                    int n) {
    return "{\n  \"id\": \"" + id + "\",\n  \"reason\": \"stop\",\n  \"messageID\": \"" + message +
           "\",\n  \"sessionID\": \"" + session +
           "\",\n  \"type\": \"step-finish\",\n  \"tokens\": {\n    \"input\": " + number(100 + n) +
           ",\n    \"output\": 320,\n    \"reasoning\": 0,\n    \"cache\": {\n      \"write\": 0,\n"
           "      \"read\": 13800\n    }\n  },\n  \"cost\": 0.01242\n}";
}

QByteArray textJson(const QByteArray& id, const QByteArray& message, const QByteArray& session) {
    return "{\n  \"id\": \"" + id + "\",\n  \"messageID\": \"" + message +
           "\",\n  \"sessionID\": \"" + session + "\",\n  \"type\": \"text\",\n  \"text\": \"" +
           padding(600) + "\"\n}";
}

QByteArray ids(const char* prefix, int n) {
    return QByteArray(prefix) + QByteArray::number(n).rightJustified(8, '0');
}

void generateStorage(const QString& data, int messages, int sessions) {
    const QDir storage(data + QStringLiteral("/storage"));
    const long long start = 1'760'000'000'000;
    for (int s = 0; s < sessions; ++s) {
        const QByteArray session = ids("ses_", s);
        storage.mkpath(QStringLiteral("session/p1"));
        writeFile(
            storage.filePath(QStringLiteral("session/p1/") + session + ".json"),
            "{\n  \"id\": \"" + session +
                "\",\n  \"projectID\": \"p1\",\n  \"directory\": "
                "\"/home/u/proj\",\n  \"version\": \"1.1.65\",\n  \"time\": {\n    \"created\": " +
                number(start + s * 1000) + "\n  }\n}");
        const QString messageFolder = QStringLiteral("message/") + session;
        storage.mkpath(messageFolder);
        for (int m = s; m < messages; m += sessions) {
            const QByteArray message = ids("msg_", m);
            const bool user = (m / sessions) % 2 == 0;
            const long long at = start + 3'600'000 + m * 1000LL;
            writeFile(storage.filePath(messageFolder + '/' + message + ".json"),
                      messageJson(message, session, user, at));
            const QString partFolder = QStringLiteral("part/") + message;
            storage.mkpath(partFolder);
            writeFile(storage.filePath(partFolder + '/' + ids("prt_a", m) + ".json"),
                      textJson(ids("prt_a", m), message, session));
            if (!user)
                writeFile(storage.filePath(partFolder + '/' + ids("prt_b", m) + ".json"),
                          stepJson(ids("prt_b", m), message, session, m));
        }
    }
}

void exec(sqlite3* db, const char* sql) {
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

void generateDatabase(const QString& data, int messages, int sessions) {
    QDir().mkpath(data);
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(data + QStringLiteral("/opencode.db")).constData(), &db);
    exec(db, "PRAGMA journal_mode = WAL");
    exec(db,
         "CREATE TABLE project (id text PRIMARY KEY, worktree text NOT NULL, vcs text, name text,"
         " icon_url text, icon_color text, time_created integer NOT NULL, time_updated integer"
         " NOT NULL, time_initialized integer, sandboxes text NOT NULL);"
         "CREATE TABLE session (id text PRIMARY KEY, project_id text NOT NULL, parent_id text,"
         " slug text NOT NULL, directory text NOT NULL, title text NOT NULL, version text NOT"
         " NULL, share_url text, summary_additions integer, summary_deletions integer,"
         " summary_files integer, summary_diffs text, revert text, permission text, time_created"
         " integer NOT NULL, time_updated integer NOT NULL, time_compacting integer,"
         " time_archived integer);"
         "CREATE TABLE message (id text PRIMARY KEY, session_id text NOT NULL, time_created"
         " integer NOT NULL, time_updated integer NOT NULL, data text NOT NULL);"
         "CREATE TABLE part (id text PRIMARY KEY, message_id text NOT NULL, session_id text NOT"
         " NULL, time_created integer NOT NULL, time_updated integer NOT NULL, data text NOT"
         " NULL);"
         "CREATE INDEX message_session_idx ON message (session_id);"
         "CREATE INDEX part_message_idx ON part (message_id);"
         "CREATE INDEX part_session_idx ON part (session_id);"
         "INSERT INTO project VALUES ('p1','/home/u/proj','git',NULL,NULL,NULL,0,0,NULL,'[]');");
    exec(db, "BEGIN");
    const long long start = 1'760'000'000'000;
    for (int s = 0; s < sessions; ++s) {
        const std::string sql =
            "INSERT INTO session (id, project_id, slug, directory, title,"
            " version, time_created, time_updated) VALUES ('" +
            ids("ses_", s).toStdString() +
            "','p1','s','/home/u/proj','t',"
            "'1.2.1'," +
            std::to_string(start + s * 1000) + ",0)";
        exec(db, sql.c_str());
    }
    sqlite3_stmt* message = nullptr;
    sqlite3_stmt* part = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO message VALUES (?1, ?2, ?3, ?3, ?4)", -1, &message,
                       nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO part VALUES (?1, ?2, ?3, ?4, ?4, ?5)", -1, &part, nullptr);
    const auto text = [](sqlite3_stmt* st, int at, const QByteArray& value) {
        sqlite3_bind_text(st, at, value.constData(), int(value.size()), SQLITE_TRANSIENT);
    };
    const auto run = [](sqlite3_stmt* st) {
        sqlite3_step(st);
        sqlite3_reset(st);
    };
    for (int m = 0; m < messages; ++m) {
        const int s = m % sessions;
        const QByteArray session = ids("ses_", s);
        const QByteArray id = ids("msg_", m);
        const bool user = (m / sessions) % 2 == 0;
        const long long at = start + 3'600'000 + m * 1000LL;
        text(message, 1, id);
        text(message, 2, session);
        sqlite3_bind_int64(message, 3, at);
        text(message, 4, messageJson(id, session, user, at));
        run(message);
        for (int k = 0; k < (user ? 1 : 2); ++k) {
            text(part, 1, ids(k == 0 ? "prt_a" : "prt_b", m));
            text(part, 2, id);
            text(part, 3, session);
            sqlite3_bind_int64(part, 4, at + k);
            text(part, 5, k == 0 ? textJson({}, {}, {}) : stepJson({}, {}, {}, m));
            run(part);
        }
    }
    sqlite3_finalize(message);
    sqlite3_finalize(part);
    exec(db, "COMMIT");
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(db);
}

// Every regular file under `root` read whole on two threads: what any reader of these bytes
// must at least spend.
double bareRead(const QString& root) {
    std::vector<std::string> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) files.push_back(QFile::encodeName(it.next()).toStdString());
    const auto start = Clock::now();
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        std::vector<char> buffer(1 << 16);
        for (std::size_t i; (i = next.fetch_add(1)) < files.size();) {
            const int fd = ::open(files[i].c_str(), O_RDONLY | O_CLOEXEC);
            while (fd >= 0 && ::read(fd, buffer.data(), buffer.size()) > 0) {
            }
            if (fd >= 0) ::close(fd);
        }
    };
    std::thread helper(work);
    work();
    helper.join();
    return secondsSince(start);
}

void measure(const char* name, const QString& home, const QString& readRoot, int runs,
             const std::function<void()>& addStep) {
    std::vector<double> bare, cold, warm, stat, step;
    const qm::ledger::LedgerSources sources = qm::ledger::LedgerSources::forHome(home);
    std::size_t sessions = 0;
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir cache;
        const qm::ledger::UsageLedger ledger(cache.path(), sources);
        bare.push_back(bareRead(readRoot));
        auto start = Clock::now();
        sessions = ledger.update(2).files.size();
        cold.push_back(secondsSince(start));
        start = Clock::now();
        ledger.update(2);
        warm.push_back(secondsSince(start));
        stat.push_back(bareStatOfTree(QFile::encodeName(readRoot).toStdString()));
        addStep();
        start = Clock::now();
        ledger.update(2);
        step.push_back(secondsSince(start));
    }
    std::printf("%s_entries: %zu\n", name, sessions);
    const std::string prefix(name);
    printStats((prefix + "_bare_read").c_str(), bare, "ms", 1e3);
    printStats((prefix + "_first_build").c_str(), cold, "ms", 1e3);
    std::printf("%s_build_over_bare_read: %.2f\n", name, median(cold) / median(bare));
    printStats((prefix + "_warm").c_str(), warm, "ms", 1e3);
    printStats((prefix + "_bare_stat").c_str(), stat, "ms", 1e3);
    printStats((prefix + "_after_one_step").c_str(), step, "ms", 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--messages" && i + 1 < argc)
            o.messages = std::atoi(argv[++i]);
        else if (arg == "--runs" && i + 1 < argc)
            o.runs = std::atoi(argv[++i]);
        else if (arg == "--dir" && i + 1 < argc)
            o.dir = argv[++i];
    }
    QTemporaryDir temporary;
    const QString root = o.dir.empty() ? temporary.path() : QString::fromStdString(o.dir);
    struct Shape {
        const char* name;
        int sessions;
    };
    for (const Shape shape :
         {Shape{"small_sessions", std::max(1, o.messages / 40)}, Shape{"large_sessions", 4}}) {
        for (const bool database : {false, true}) {
            const QString home = root + '/' + shape.name + (database ? "_db" : "_json");
            const QString data = home + QStringLiteral("/.local/share/opencode");
            if (database)
                generateDatabase(data, o.messages, shape.sessions);
            else
                generateStorage(data, o.messages, shape.sessions);
            int n = 0;
            const auto addStep = [&] {
                const QByteArray message = ids("msg_x", ++n);
                const QByteArray session = ids("ses_", 0);
                if (database) {
                    sqlite3* db = nullptr;
                    sqlite3_open(QFile::encodeName(data + "/opencode.db").constData(), &db);
                    const std::string sql =
                        "INSERT INTO message VALUES ('" + message.toStdString() + "','" +
                        session.toStdString() + "',1,1,'" +
                        messageJson(message, session, false, 1'770'000'000'000).toStdString() +
                        "');INSERT INTO part VALUES ('" + ids("prt_x", n).toStdString() + "','" +
                        message.toStdString() + "','" + session.toStdString() + "',1,1,'" +
                        stepJson({}, {}, {}, n).toStdString() + "')";
                    exec(db, sql.c_str());
                    sqlite3_close(db);
                    return;
                }
                const QDir storage(data + "/storage");
                writeFile(storage.filePath("message/" + session + '/' + message + ".json"),
                          messageJson(message, session, false, 1'770'000'000'000));
                storage.mkpath("part/" + message);
                writeFile(storage.filePath("part/" + message + '/' + ids("prt_x", n) + ".json"),
                          stepJson(ids("prt_x", n), message, session, n));
            };
            const std::string name =
                std::string("opencode_") + (database ? "db_" : "json_") + shape.name;
            measure(name.c_str(), home, database ? data : data + "/storage", o.runs, addStep);
        }
    }
    return 0;
}
