#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QDateTime>
#include <QDir>

#include "ledger/FiveHourSummaries.h"
#include "ledger/LedgerPricing.h"
#include "ledger/UsageLedger.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

// OpenCode's database as its releases write it (tables of 1.2.1's first migration, rows as
// Session.updateMessage/updatePart store them: the key columns apart from `data`), written by a
// connection that stays open in WAL mode as the agent's does, and read by the index.
namespace qm::ledger::opencodedbtest {
namespace {

using test::TempDir;

constexpr const char* kSchema = R"(
CREATE TABLE `project` (`id` text PRIMARY KEY, `worktree` text NOT NULL, `vcs` text, `name` text,
  `icon_url` text, `icon_color` text, `time_created` integer NOT NULL, `time_updated` integer NOT NULL,
  `time_initialized` integer, `sandboxes` text NOT NULL);
CREATE TABLE `session` (`id` text PRIMARY KEY, `project_id` text NOT NULL, `parent_id` text,
  `slug` text NOT NULL, `directory` text NOT NULL, `title` text NOT NULL, `version` text NOT NULL,
  `share_url` text, `summary_additions` integer, `summary_deletions` integer, `summary_files` integer,
  `summary_diffs` text, `revert` text, `permission` text, `time_created` integer NOT NULL,
  `time_updated` integer NOT NULL, `time_compacting` integer, `time_archived` integer,
  CONSTRAINT `fk_session_project_id_project_id_fk` FOREIGN KEY (`project_id`) REFERENCES `project`(`id`) ON DELETE CASCADE);
CREATE TABLE `message` (`id` text PRIMARY KEY, `session_id` text NOT NULL, `time_created` integer NOT NULL,
  `time_updated` integer NOT NULL, `data` text NOT NULL,
  CONSTRAINT `fk_message_session_id_session_id_fk` FOREIGN KEY (`session_id`) REFERENCES `session`(`id`) ON DELETE CASCADE);
CREATE TABLE `part` (`id` text PRIMARY KEY, `message_id` text NOT NULL, `session_id` text NOT NULL,
  `time_created` integer NOT NULL, `time_updated` integer NOT NULL, `data` text NOT NULL,
  CONSTRAINT `fk_part_message_id_message_id_fk` FOREIGN KEY (`message_id`) REFERENCES `message`(`id`) ON DELETE CASCADE);
CREATE INDEX `message_session_idx` ON `message` (`session_id`);
CREATE INDEX `part_message_idx` ON `part` (`message_id`);
CREATE INDEX `part_session_idx` ON `part` (`session_id`);
CREATE INDEX `session_parent_idx` ON `session` (`parent_id`);
CREATE INDEX `session_project_idx` ON `session` (`project_id`);
)";

// The agent's side: one connection with the pragmas OpenCode sets.
class Agent {
public:
    explicit Agent(const QString& path) {
        sqlite3_open(QFile::encodeName(path).constData(), &db_);
        exec(
            "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA busy_timeout = 5000;"
            "PRAGMA foreign_keys = ON;");
        exec(kSchema);
        exec("INSERT INTO project VALUES ('p1','/home/u/proj','git',NULL,NULL,NULL,0,0,NULL,'[]')");
    }
    ~Agent() { sqlite3_close(db_); }

    void exec(const QByteArray& sql) {
        char* error = nullptr;
        ASSERT_EQ(sqlite3_exec(db_, sql.constData(), nullptr, nullptr, &error), SQLITE_OK)
            << (error ? error : "") << "\n"
            << sql.constData();
    }
    void session(const QByteArray& id, TimeMs created, const QByteArray& version,
                 const QByteArray& parent = "NULL") {
        exec(
            "INSERT INTO session (id, project_id, parent_id, slug, directory, title, version, "
            "time_created, time_updated) VALUES ('" +
            id + "','p1'," + parent + ",'s','/home/u/proj/sub','t','" + version + "'," +
            QByteArray::number(created) + "," + QByteArray::number(created) + ")");
    }
    void message(const QByteArray& id, const QByteArray& session, TimeMs created,
                 const QByteArray& role) {
        const QByteArray data =
            role == "user"
                ? R"({"role":"user","time":{"created":)" + QByteArray::number(created) +
                      R"(},"agent":"build","model":{"providerID":"anthropic","modelID":"claude-sonnet-4-5"}})"
                : R"({"role":"assistant","time":{"created":)" + QByteArray::number(created) +
                      R"(,"completed":)" + QByteArray::number(created + 9000) +
                      R"(},"parentID":"msg_u","modelID":"claude-sonnet-4-5","providerID":"anthropic","mode":"build","agent":"build","path":{"cwd":"/home/u/proj/sub","root":"/home/u/proj"},"cost":0,"tokens":{"input":0,"output":0,"reasoning":0,"cache":{"read":0,"write":0}},"finish":"stop"})";
        exec("INSERT INTO message VALUES ('" + id + "','" + session + "'," +
             QByteArray::number(created) + "," + QByteArray::number(created) + ",'" + data + "')");
    }
    void part(const QByteArray& id, const QByteArray& message, const QByteArray& session, TimeMs at,
              const QByteArray& data) {
        exec("INSERT INTO part VALUES ('" + id + "','" + message + "','" + session + "'," +
             QByteArray::number(at) + "," + QByteArray::number(at) + ",'" + data + "')");
    }
    void step(const QByteArray& id, const QByteArray& message, const QByteArray& session, TimeMs at,
              int input, int output, int reasoning, int read, int write, double cost) {
        part(
            id, message, session, at,
            R"({"reason":"stop","snapshot":"4f1e","type":"step-finish","tokens":{"total":1,"input":)" +
                QByteArray::number(input) + R"(,"output":)" + QByteArray::number(output) +
                R"(,"reasoning":)" + QByteArray::number(reasoning) + R"(,"cache":{"write":)" +
                QByteArray::number(write) + R"(,"read":)" + QByteArray::number(read) +
                R"(}},"cost":)" + QByteArray::number(cost, 'g', 10) + "}");
    }
    void prompt(const QByteArray& message, const QByteArray& session, TimeMs at,
                const QByteArray& text) {
        this->message(message, session, at, "user");
        part(message + "_t", message, session, at + 1,
             R"({"type":"text","text":")" + text + R"("})");
        part(message + "_s", message, session, at + 2,
             R"({"type":"text","synthetic":true,"text":"Called the Read tool"})");
    }
    int checkpoint() {
        int log = 0;
        int done = 0;
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &log, &done);
        return sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &log, &done);
    }

private:
    sqlite3* db_ = nullptr;
};

struct Fixture {
    TempDir home;
    TempDir cache;
    QString data = QDir(home.path()).filePath(QStringLiteral(".local/share/opencode"));
    std::unique_ptr<Agent> agent;
    TimeMs now = QDateTime::currentMSecsSinceEpoch();

    Fixture() {
        QDir().mkpath(data);
        agent = std::make_unique<Agent>(QDir(data).filePath(QStringLiteral("opencode.db")));
    }
    LedgerSnapshot update() const {
        return UsageLedger(cache.path(), LedgerSources::forHome(home.path())).update(1);
    }
};

// Every slice of OpenCode's sessions summed per session.
std::map<QString, Counts> bySession(const LedgerSnapshot& snapshot) {
    std::map<QString, Counts> sums;
    for (const UsageSlice& slice : snapshot.slices())
        if (slice.tool == ProviderKind::openCode) sums[slice.session] += slice.counts;
    return sums;
}

TEST(OpenCodeDatabase, CountsEveryStepOnceAsTheAgentWroteIt) {
    Fixture f;
    const TimeMs t = f.now - 3'600'000;
    f.agent->session("ses_a", t, "1.2.1");
    f.agent->prompt("msg_u", "ses_a", t + 1000, "Fix the parser");
    f.agent->message("msg_a", "ses_a", t + 2000, "assistant");
    // Two steps in one message: the message keeps only the last one's tokens, the parts both.
    f.agent->step("prt_1", "msg_a", "ses_a", t + 5000, 1200, 320, 0, 13800, 500, 0.01242);
    f.agent->step("prt_2", "msg_a", "ses_a", t + 9000, 300, 80, 40, 15000, 0, 0.0061);

    const LedgerSnapshot first = f.update();
    const std::vector<UsageSlice> slices = first.slices();
    Counts want;
    want.input = (1200 + 13800 + 500) + (300 + 15000);  // OpenCode leaves the cache out of input
    want.cachedInput = 13800 + 15000;
    want.cacheWrite = 500;
    want.output = 320 + 80;  // 1.2 still counted reasoning inside output
    want.reasoning = 40;
    want.calls = 2;
    want.prompts = 1;
    want.costNanos = 12'420'000 + 6'100'000;
    EXPECT_EQ(bySession(first)[QStringLiteral("ses_a")], want);
    for (const UsageSlice& slice : slices) {
        // The repository, named as the other tools name it.
        EXPECT_EQ(slice.project, QStringLiteral("proj"));
        if (slice.counts.calls > 0) {
            EXPECT_EQ(slice.model, QStringLiteral("anthropic/claude-sonnet-4-5"));
            EXPECT_TRUE(slice.flags & kRecordedCost);
        }
    }

    // Nothing changed: the database is not opened, no session read.
    const LedgerSnapshot warm = f.update();
    EXPECT_EQ(warm.stats.filesRead, 0u);
    EXPECT_EQ(bySession(warm), bySession(first));

    // A later version logs reasoning apart from output.
    f.agent->session("ses_new", t + 60'000, "1.15.0");
    f.agent->message("msg_n", "ses_new", t + 61'000, "assistant");
    f.agent->step("prt_n", "msg_n", "ses_new", t + 62'000, 100, 50, 30, 0, 0, 0.002);
    const LedgerSnapshot later = f.update();
    EXPECT_EQ(later.stats.filesRead, 2u);  // the database and the one session that changed
    EXPECT_EQ(bySession(later)[QStringLiteral("ses_new")].output, 80);
    EXPECT_EQ(bySession(later)[QStringLiteral("ses_a")], want);

    // The reader held nothing open: the agent checkpoints its whole log.
    EXPECT_EQ(f.agent->checkpoint(), SQLITE_OK);

    const ProviderUsage usage = agentUsage(later.files, ProviderKind::openCode, QStringLiteral("x"),
                                           {}, f.now - 5 * 3'600'000);
    EXPECT_EQ(usage.sessionsTotal, 2);
    EXPECT_EQ(usage.lastFiveHourPrompts, 1);
    EXPECT_NEAR(usage.costTotal, 0.01242 + 0.0061 + 0.002, 1e-9);
    EXPECT_TRUE(usage.unpricedModels.isEmpty());
}

TEST(OpenCodeDatabase, RevertsForksAndDeletedSessions) {
    Fixture f;
    const TimeMs t = f.now - 7'200'000;
    f.agent->session("ses_a", t, "1.2.1");
    f.agent->message("msg_a", "ses_a", t + 1000, "assistant");
    f.agent->step("prt_1", "msg_a", "ses_a", t + 2000, 100, 10, 0, 0, 0, 0.001);
    f.agent->message("msg_b", "ses_a", t + 3000, "assistant");
    f.agent->step("prt_2", "msg_b", "ses_a", t + 4000, 200, 20, 0, 0, 0, 0.002);
    EXPECT_EQ(bySession(f.update())[QStringLiteral("ses_a")].calls, 2);

    // A revert deletes the newest turn, and the next one takes its row numbers. The reverted call
    // was billed: it stays counted; the new one is counted too.
    f.agent->exec("DELETE FROM message WHERE id = 'msg_b'");
    f.agent->exec("DELETE FROM part WHERE id = 'prt_2'");
    f.agent->message("msg_c", "ses_a", t + 5000, "assistant");
    f.agent->step("prt_3", "msg_c", "ses_a", t + 6000, 400, 40, 0, 0, 0, 0.004);
    Counts a = bySession(f.update())[QStringLiteral("ses_a")];
    EXPECT_EQ(a.calls, 3);
    EXPECT_EQ(a.input, 700);

    // A fork copies the earlier messages and parts under new ids, the messages keeping their
    // start: only the fork's own call counts there.
    f.agent->session("ses_f", t + 10'000, "1.2.1");
    f.agent->message("msg_fa", "ses_f", t + 1000, "assistant");
    f.agent->step("prt_f1", "msg_fa", "ses_f", t + 10'500, 100, 10, 0, 0, 0, 0.001);
    f.agent->message("msg_fb", "ses_f", t + 11'000, "assistant");
    f.agent->step("prt_f2", "msg_fb", "ses_f", t + 12'000, 800, 80, 0, 0, 0, 0.008);
    std::map<QString, Counts> sums = bySession(f.update());
    EXPECT_EQ(sums[QStringLiteral("ses_f")].calls, 1);
    EXPECT_EQ(sums[QStringLiteral("ses_f")].input, 800);

    // A deleted session leaves the figures with its rows.
    f.agent->exec("DELETE FROM part WHERE session_id = 'ses_f'");
    f.agent->exec("DELETE FROM message WHERE session_id = 'ses_f'");
    f.agent->exec("DELETE FROM session WHERE id = 'ses_f'");
    sums = bySession(f.update());
    EXPECT_EQ(sums.count(QStringLiteral("ses_f")), 0u);
    EXPECT_EQ(sums[QStringLiteral("ses_a")].calls, 3);
}

TEST(OpenCodeDatabase, ALockedOrForeignDatabaseKeepsWhatTheIndexHas) {
    Fixture f;
    const TimeMs t = f.now - 3'600'000;
    f.agent->session("ses_a", t, "1.2.1");
    f.agent->message("msg_a", "ses_a", t + 1000, "assistant");
    f.agent->step("prt_1", "msg_a", "ses_a", t + 2000, 100, 10, 0, 0, 0, 0.001);
    EXPECT_EQ(bySession(f.update())[QStringLiteral("ses_a")].calls, 1);

    // Another database of no known shape beside it: nothing from it, nothing lost.
    {
        sqlite3* other = nullptr;
        sqlite3_open(
            QFile::encodeName(QDir(f.data).filePath(QStringLiteral("opencode-dev.db"))).constData(),
            &other);
        sqlite3_exec(other, "CREATE TABLE x (y)", nullptr, nullptr, nullptr);
        sqlite3_close(other);
    }
    QFile junk(QDir(f.data).filePath(QStringLiteral("opencode-junk.db")));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a database at all");
    junk.close();
    const LedgerSnapshot snapshot = f.update();
    EXPECT_EQ(bySession(snapshot)[QStringLiteral("ses_a")].calls, 1);
    EXPECT_EQ(bySession(snapshot).size(), 1u);
}

TEST(OpenCodeDatabase, APromptReadBeforeItsTextIsCountedOnceTheTextCame) {
    Fixture f;
    const TimeMs t = f.now - 60'000;
    f.agent->session("ses_a", t, "1.2.1");
    f.agent->prompt("msg_u1", "ses_a", t + 1000, "First");
    // The agent writes a message's row, then its parts: a read may fall between.
    f.agent->message("msg_u2", "ses_a", t + 2000, "user");
    f.agent->message("msg_a", "ses_a", t + 3000, "assistant");
    f.agent->step("prt_1", "msg_a", "ses_a", t + 4000, 100, 10, 0, 0, 0, 0.001);
    EXPECT_EQ(bySession(f.update())[QStringLiteral("ses_a")].prompts, 1);
    f.agent->part("msg_u2_t", "msg_u2", "ses_a", t + 5000, R"({"type":"text","text":"Second"})");
    EXPECT_EQ(bySession(f.update())[QStringLiteral("ses_a")].prompts, 2);
    // Later prompts are read from where the reads stopped, each once.
    f.agent->prompt("msg_u3", "ses_a", t + 6000, "Third");
    const Counts a = bySession(f.update())[QStringLiteral("ses_a")];
    EXPECT_EQ(a.prompts, 3);
    EXPECT_EQ(a.calls, 1);
}

TEST(OpenCodeDatabase, OPENCODE_DBNamesTheDatabaseWhateverItsName) {
    TempDir home;
    TempDir cache;
    // The variable counts only for the person's own home: this test's home is made theirs.
    const QByteArray realHome = qgetenv("HOME");
    const QByteArray realData = qgetenv("XDG_DATA_HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("OPENCODE_DB", "work.sqlite");
    qunsetenv("XDG_DATA_HOME");
    const QString data = QDir(home.path()).filePath(QStringLiteral(".local/share/opencode"));
    QDir().mkpath(data);
    {
        Agent agent(QDir(data).filePath(QStringLiteral("work.sqlite")));
        const TimeMs t = QDateTime::currentMSecsSinceEpoch() - 3'600'000;
        agent.session("ses_a", t, "1.15.0");
        agent.message("msg_a", "ses_a", t + 1000, "assistant");
        agent.step("prt_1", "msg_a", "ses_a", t + 2000, 100, 10, 5, 0, 0, 0.001);
    }
    const LedgerSnapshot snapshot =
        UsageLedger(cache.path(), LedgerSources::forHome(home.path())).update(1);
    qputenv("HOME", realHome);
    if (!realData.isEmpty()) qputenv("XDG_DATA_HOME", realData);
    qunsetenv("OPENCODE_DB");
    EXPECT_EQ(bySession(snapshot)[QStringLiteral("ses_a")].output, 15);
}

TEST(OpenCodeDatabase, ACostIsTheAgentsWhenRecordedElseThePriceOfTheProviderNamed) {
    // A million fresh input tokens and a million output of Sonnet 4.5 through a host: $3 + $15.
    Counts counts;
    counts.input = 1'000'000;
    counts.output = 1'000'000;
    counts.calls = 1;
    EXPECT_NEAR(
        *costOf(ProviderKind::openCode, "openrouter/anthropic/claude-sonnet-4.5", counts, false),
        18.0, 1e-9);
    EXPECT_FALSE(costOf(ProviderKind::qwenCode, "qwen3-coder-plus", counts, false));
    counts.costNanos = 2'500'000'000;
    const RowCost recorded =
        rowCost(ProviderKind::openCode, "anthropic/claude-sonnet-4-5", counts, kRecordedCost);
    EXPECT_TRUE(recorded.recorded);
    EXPECT_NEAR(*recorded.usd, 2.5, 1e-12);
    EXPECT_FALSE(
        rowCost(ProviderKind::openCode, "anthropic/claude-sonnet-4-5", counts, 0).recorded);
}

}  // namespace
}  // namespace qm::ledger::opencodedbtest
