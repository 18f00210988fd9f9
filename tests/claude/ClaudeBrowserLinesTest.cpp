#include <gtest/gtest.h>

#include <QCoroTask>
#include <QFile>

#include "claude/ClaudeBrowser.h"
#include "claude/ClaudeBrowserProtocol.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

using namespace qm;

namespace {

namespace P = ClaudeBrowserProtocol;

// Stands in for quotameter-browser. Its first run starts an answer to the first request and
// never ends the line; every later run answers each fetch with a small usage object.
const QByteArray kFakeBrowser = R"sh(#!/bin/sh
runs="$(dirname "$0")/runs"
echo run >> "$runs"
if [ "$(wc -l < "$runs")" -eq 1 ]; then
  read -r request
  printf '{"id":1,"ok":true,"usage":"'
  exec tr '\0' x < /dev/zero
fi
while read -r request; do
  id=$(printf '%s' "$request" | sed 's/.*"id":\([0-9]*\).*/\1/')
  printf '{"id":%s,"ok":true,"usage":"%s"}\n' "$id" '{\"five_hour\":{\"utilization\":7}}'
done
)sh";

TEST(ClaudeBrowserLines, AHelperWhoseLineNeverEndsFailsTheFetchAndTheNextUseStartsAnother) {
    test::TempDir dir;
    const QString program = dir.write(QStringLiteral("fake-browser"), kFakeBrowser);
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ClaudeBrowserOptions options;
    options.program = program;
    // Far beyond what the test takes: the line's length, not the time, ends the helper.
    options.answerLimit = std::chrono::seconds(60);
    ClaudeBrowser browser(options);

    const ClaudeUsageResult broken = QCoro::waitFor(browser.fetchUsage());
    EXPECT_EQ(broken, ClaudeUsageResult(ClaudeWebSessionError{
                          ClaudeWebSessionError::Kind::browserFailed,
                          "the browser process sent a line longer than 1 MB and was ended"}));
    EXPECT_FALSE(browser.isRunning());

    const ClaudeUsageResult next = QCoro::waitFor(browser.fetchUsage());
    ASSERT_TRUE(std::holds_alternative<UsageApiResponse>(next)) << ::testing::PrintToString(next);
    EXPECT_TRUE(browser.isRunning());
    EXPECT_EQ(test::readAll(dir.filePath(QStringLiteral("runs"))), "run\nrun\n");
}

TEST(ClaudeBrowserLines, LinesAreCutWhereverTheReadsFallAndAnOverlongOneBreaksTheStream) {
    P::LineReader reader;
    EXPECT_EQ(reader.add("{\"a\":"), std::vector<QByteArray>{});
    EXPECT_EQ(reader.add("1}\n{}\n{\"b\""), (std::vector<QByteArray>{"{\"a\":1}", "{}"}));
    EXPECT_EQ(reader.add(":2}\n\n"), (std::vector<QByteArray>{"{\"b\":2}", ""}));

    // A line of the longest length passes, split over reads however they come.
    const QByteArray longest(P::kMaxLineBytes, 'x');
    EXPECT_EQ(reader.add(longest.left(1000)), std::vector<QByteArray>{});
    EXPECT_EQ(reader.add(longest.mid(1000) + "\n"), std::vector<QByteArray>{longest});
    EXPECT_FALSE(reader.isBroken());

    // One byte more breaks the stream, even when that byte comes alone; nothing after counts.
    P::LineReader endless;
    EXPECT_EQ(endless.add("{}\n" + longest), std::vector<QByteArray>{"{}"});
    EXPECT_FALSE(endless.isBroken());
    EXPECT_EQ(endless.add("x"), std::vector<QByteArray>{});
    EXPECT_TRUE(endless.isBroken());
    EXPECT_EQ(endless.add("\n{}\n"), std::vector<QByteArray>{});

    // A whole overlong line in one read breaks it just the same.
    P::LineReader single;
    EXPECT_EQ(single.add(longest + "x\n{}\n"), std::vector<QByteArray>{});
    EXPECT_TRUE(single.isBroken());
}

}  // namespace
