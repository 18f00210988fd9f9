// The index while the world moves under it: a log replaced or cut while a build reads it, and
// an index whose lock another process keeps.
#include <gtest/gtest.h>

#include <cstdio>

#include <QDir>
#include <QFile>
#include <mutex>

#include "core/SharedFile.h"
#include "ledger/UsageLedger.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm::ledger {
namespace {

class IndexUnderChangeTest : public ::testing::Test {
protected:
    LedgerSources sources() const {
        return {{home.filePath(".claude/projects")},
                {home.filePath(".codex/sessions")},
                home.filePath(".gemini"),
                home.filePath(".grok/sessions")};
    }
    UsageLedger ledger() const { return UsageLedger(cache.path(), sources()); }
    std::vector<UsageSlice> fresh() const {
        test::TempDir elsewhere;
        return UsageLedger(elsewhere.path(), sources()).update(1).slices();
    }
    // One Claude Code session or one Codex rollout of `calls` calls, each followed by a long
    // tool result or prompt, so that a build reads it in many pieces and reports its progress
    // between them.
    struct Format {
        const char* name;
        QString file;
        QByteArray (*log)(int calls);
    };
    static QByteArray claudeSession(int calls) {
        test::ClaudeLine line;
        line.secondsAgo = 2 * 3600;
        QByteArray bytes = test::claudePromptLine("Tidy the parser", line);
        for (int i = 0; i < calls; ++i) {
            test::ClaudeRequest request;
            request.requestId = QStringLiteral("req_%1").arg(i);
            request.messageId = QStringLiteral("msg_%1").arg(i);
            request.input = 10;
            request.output = 100;
            line.secondsAgo -= 1;
            bytes += test::claudeAssistantLines(request, line);
            bytes += test::claudeToolResultLine(256 * 1024, line);
        }
        return bytes;
    }
    static QByteArray codexRollout(int calls) {
        QByteArray bytes = test::codexMetaLine("a", "/home/dev/app", 2 * 3600) +
                           test::codexTurnLine("gpt-5", 2 * 3600);
        for (int i = 1; i <= calls; ++i) {
            bytes += test::codexPromptLine(QString(256 * 1024, 'x'), 2 * 3600 - i);
            bytes += test::codexTotalsLine(1000 * i, 100 * i, 0, 2 * 3600 - i);
        }
        return bytes;
    }
    static std::vector<Format> formats() {
        return {{"Claude Code", ".claude/projects/-home-dev-web/s1.jsonl", &claudeSession},
                {"Codex", ".codex/sessions/2026/12/01/rollout-a.jsonl", &codexRollout}};
    }

    // Brings the index up to date, calling `during` once, after the first piece was read.
    LedgerSnapshot updateWhile(const std::function<void()>& during, int threads = 1) const {
        std::once_flag once;
        return ledger().update(threads,
                               [&](const IndexProgress&) { std::call_once(once, during); });
    }

    test::TempDir home;
    test::TempDir cache;
};

TEST_F(IndexUnderChangeTest, ALogReplacedOrCutWhileABuildReadsItCountsExactlyNextTime) {
    for (const Format& format : formats()) {
        const QString path = home.filePath(format.file);
        const auto replace = [&](int calls) {
            home.write(format.file + ".tmp", format.log(calls));
            // Over the old file, as an editor or the tool itself replaces one.
            ASSERT_EQ(::rename(QFile::encodeName(path + ".tmp").constData(),
                               QFile::encodeName(path).constData()),
                      0);
        };
        const auto rewrite = [&](int calls) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            const QByteArray bytes = format.log(calls);
            ASSERT_EQ(file.write(bytes), bytes.size());
        };
        const std::vector<std::pair<const char*, std::function<void()>>> changes{
            // The tool rewriting a session it resumed, longer or shorter.
            {"replaced by a longer file", [&] { replace(40); }},
            {"replaced by a shorter file", [&] { replace(5); }},
            // The same file, other bytes.
            {"cut and written again longer", [&] { rewrite(40); }},
            {"cut to nothing", [&] { rewrite(0); }},
        };
        for (const auto& [what, change] : changes) {
            for (const int threads : {1, 2}) {
                SCOPED_TRACE(std::string(format.name) + ", " + what + ", " +
                             std::to_string(threads) + " threads");
                ASSERT_TRUE(QDir(cache.path()).removeRecursively());
                home.write(format.file, format.log(20));
                // A second, larger file keeps the other thread busy while this one is read.
                home.write(".claude/projects/-home-dev-api/big.jsonl", claudeSession(30));
                updateWhile(change, threads);
                const LedgerSnapshot next = ledger().update(threads);
                EXPECT_EQ(next.slices(), fresh());
                ASSERT_TRUE(
                    QFile::remove(home.filePath(".claude/projects/-home-dev-api/big.jsonl")));
                ASSERT_TRUE(QFile::remove(path));
            }
        }
    }
}

TEST_F(IndexUnderChangeTest, ABusyIndexIsReadWithoutItsLockAndLeftAlone) {
    home.write(".claude/projects/-home-dev-web/s1.jsonl", claudeSession(3));
    ledger().update(1);
    const QByteArray saved = test::readAll(ledger().indexPath());

    QFile log(home.filePath(".claude/projects/-home-dev-web/s1.jsonl"));
    ASSERT_TRUE(log.open(QIODevice::Append));
    log.write(claudeSession(2));
    log.close();

    const int wait = FileLock::defaultWaitMs();
    FileLock::setDefaultWaitMs(0);
    {
        // A lock taken on its own open file conflicts with the update's, as another
        // process's would.
        const FileLock held = FileLock::acquire(ledger().indexPath());
        ASSERT_TRUE(held.held());
        const LedgerSnapshot busy = ledger().update(1);
        ASSERT_TRUE(busy.stats.busy.has_value());
        EXPECT_TRUE(busy.stats.busy->contains("locked by process"))
            << busy.stats.busy->toStdString();
        EXPECT_FALSE(busy.stats.saved);
        EXPECT_EQ(busy.slices(), fresh()) << "the answer is whole without the lock";
        EXPECT_EQ(test::readAll(ledger().indexPath()), saved) << "and nothing was written";
    }
    FileLock::setDefaultWaitMs(wait);
    const LedgerSnapshot after = ledger().update(1);
    EXPECT_FALSE(after.stats.busy.has_value());
    EXPECT_EQ(after.stats.filesRead, 1u);
    EXPECT_EQ(after.slices(), fresh());
}

}  // namespace
}  // namespace qm::ledger
