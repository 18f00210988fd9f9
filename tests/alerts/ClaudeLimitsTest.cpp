#include <gtest/gtest.h>

#include <QDateTime>
#include <QSignalSpy>
#include <QTest>

#include "alerts/ClaudeLimitReadingStore.h"
#include "alerts/ClaudeLimits.h"
#include "core/Iso8601.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"

namespace qm {
namespace {

constexpr TimeMs kMergeNow = test::kNow;
constexpr TimeMs kMergeMinute = test::kMinute;

// claude.ai read 20 minutes ago: the five-hour window climbing 1% a minute (10% at -40 min,
// 20% at -30, 30% at -20), the weekly one at 31%, Sonnet's at 12%.
struct SiteFixture {
    std::vector<ClaudeUsageSnapshot> history{{kMergeNow - 40 * kMergeMinute, 10, 31, 12, "Sonnet"},
                                             {kMergeNow - 30 * kMergeMinute, 20, 31, 12, "Sonnet"},
                                             {kMergeNow - 20 * kMergeMinute, 30, 31, 12, "Sonnet"}};
    TimeMs fiveHourReset = kMergeNow + 2 * test::kHour;

    std::vector<LimitReading> limits(std::optional<QString> sessionReset = std::nullopt) const {
        LatestClaudeUsage usage;
        usage.sessionPct = 30;
        usage.weekPct = 31;
        usage.subPct = 12;
        usage.subModelName = "Sonnet";
        usage.sessionResetAt = sessionReset.value_or(Iso8601::formatMs(fiveHourReset));
        usage.weekResetAt = Iso8601::formatMs(kMergeNow + 3 * 24 * test::kHour);
        return claudeLimitReadings(usage, history.back().timestampMs, history, kMergeNow);
    }
};

ClaudeLimitReading fromClaudeCode(ClaudeLimitWindow window, double percent, TimeMs at,
                                  std::optional<TimeMs> resetsAt) {
    return {window, percent, resetsAt, at, LimitSource::claudeCode};
}

TEST(ClaudeLimitMerge, EachWindowShowsItsFreshestReadingProjectedFromBothSeries) {
    const SiteFixture site;
    // Claude Code read the five-hour window 5 minutes ago, on the same climb (45%), and the
    // weekly one before claude.ai did.
    const std::vector<ClaudeLimitReading> code{
        fromClaudeCode(ClaudeLimitWindow::weekly, 29, kMergeNow - 25 * kMergeMinute, std::nullopt),
        fromClaudeCode(ClaudeLimitWindow::fiveHour, 45, kMergeNow - 5 * kMergeMinute,
                       site.fiveHourReset)};
    const std::vector<LimitReading> merged =
        mergedClaudeLimits(site.limits(), site.history, code, kMergeNow);
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(merged[0].key, "claude.fiveHour");
    EXPECT_EQ(merged[0].source, LimitSource::claudeCode);
    EXPECT_EQ(merged[0].percent, 45);
    EXPECT_EQ(merged[0].readAt, kMergeNow - 5 * kMergeMinute);
    // One Claude Code reading has no pace of its own: the site's readings give it, 60% an
    // hour, and the newest reading carries it on: 55% left, full 55 minutes after it.
    ASSERT_TRUE(merged[0].projectedFullAt);
    EXPECT_NEAR(double(*merged[0].projectedFullAt - kMergeNow), 50.0 * kMergeMinute, 1000.0);
    EXPECT_EQ(merged[1].key, "claude.weekly");
    EXPECT_EQ(merged[1].source, LimitSource::claudeWeb);
    EXPECT_EQ(merged[1].percent, 31);
    EXPECT_EQ(merged[2].key, "claude.weeklySonnet");
    EXPECT_EQ(merged[2].source, LimitSource::claudeWeb);

    // A Claude Code reading from before `readSince` does not compete; on a tie Claude Code's
    // figure is taken. Without any reading of a window, it is left out.
    EXPECT_EQ(mergedClaudeLimits(site.limits(), site.history, code, kMergeNow,
                                 kMergeNow - 4 * kMergeMinute)[0]
                  .source,
              LimitSource::claudeWeb);
    const std::vector<ClaudeLimitReading> tie{fromClaudeCode(
        ClaudeLimitWindow::weekly, 33, site.history.back().timestampMs, std::nullopt)};
    EXPECT_EQ(mergedClaudeLimits(site.limits(), site.history, tie, kMergeNow)[1].percent, 33);
    const std::vector<LimitReading> codeOnly =
        mergedClaudeLimits({}, {}, code, kMergeNow, kMergeNow - 10 * kMergeMinute);
    ASSERT_EQ(codeOnly.size(), 1u);
    EXPECT_EQ(codeOnly[0].key, "claude.fiveHour");
    EXPECT_EQ(codeOnly[0].projectedFullAt, std::nullopt);  // one reading: no pace
}

TEST(ClaudeLimitMerge, AResetEitherSourceSawEndsTheWindowShown) {
    // claude.ai's reset text did not parse; Claude Code, an hour ago, said the window ends 5
    // minutes ago, after claude.ai's reading: the window shown has reset.
    const SiteFixture site;
    const std::vector<ClaudeLimitReading> code{fromClaudeCode(ClaudeLimitWindow::fiveHour, 5,
                                                              kMergeNow - 60 * kMergeMinute,
                                                              kMergeNow - 5 * kMergeMinute)};
    const std::vector<LimitReading> merged =
        mergedClaudeLimits(site.limits("in a while"), site.history, code, kMergeNow);
    EXPECT_EQ(merged[0].source, LimitSource::claudeWeb);
    EXPECT_EQ(merged[0].resetsAt, kMergeNow - 5 * kMergeMinute);
    const LimitReading shown = currentWindow(merged[0], kMergeNow);
    EXPECT_EQ(shown.percent, 0);
    EXPECT_EQ(shown.freshSince, kMergeNow - 5 * kMergeMinute);

    // A reset seen before the freshest reading belongs to the window before it.
    const std::vector<ClaudeLimitReading> older{fromClaudeCode(ClaudeLimitWindow::fiveHour, 5,
                                                               kMergeNow - 60 * kMergeMinute,
                                                               kMergeNow - 25 * kMergeMinute)};
    const LimitReading kept =
        mergedClaudeLimits(site.limits("in a while"), site.history, older, kMergeNow)[0];
    EXPECT_EQ(kept.resetsAt, std::nullopt);
    EXPECT_EQ(currentWindow(kept, kMergeNow).percent, 30);
}

TEST(ClaudeLimitMerge, TheSourceTextSaysWhereAndWhen) {
    LimitReading reading;
    reading.readAt = kMergeNow - 30'000;
    EXPECT_EQ(limitSourceText(reading, kMergeNow), "");
    reading.source = LimitSource::claudeCode;
    EXPECT_EQ(limitSourceText(reading, kMergeNow), "from Claude Code, just now");
    reading.readAt = kMergeNow - 2 * kMergeMinute - 10'000;
    EXPECT_EQ(limitSourceText(reading, kMergeNow), "from Claude Code, 2 min ago");
    reading.source = LimitSource::claudeWeb;
    EXPECT_EQ(limitSourceText(reading, kMergeNow),
              "from claude.ai, " + limitTimeText(reading.readAt, kMergeNow));
}

TEST(ClaudeLimitReadingStore, PublishesWhatAnotherProcessRecords) {
    const test::TempDir dir;
    const QString path = ClaudeLimitReadingsFile::pathIn(dir.path());
    const Clock clock = [] { return kMergeNow; };
    ClaudeLimitReadingStore store(path, clock);
    EXPECT_TRUE(store.readings().empty());
    QSignalSpy changed(&store, &ClaudeLimitReadingStore::changed);

    // A status line elsewhere replaces the file.
    const ClaudeLimitReading first =
        fromClaudeCode(ClaudeLimitWindow::fiveHour, 40, kMergeNow - kMergeMinute, std::nullopt);
    ASSERT_EQ(ClaudeLimitReadingsFile::record(path, {first}, kMergeNow).outcome,
              ClaudeLimitReadingsFile::RecordOutcome::stored);
    ASSERT_TRUE(changed.wait(5000));
    EXPECT_EQ(store.readings(), std::vector<ClaudeLimitReading>{first});
    EXPECT_EQ(store.newest(ClaudeLimitWindow::fiveHour), first);
    EXPECT_EQ(store.newest(ClaudeLimitWindow::weekly), std::nullopt);

    // The application's own reading is published at once, and only once.
    changed.clear();
    ClaudeLimitReading own = fromClaudeCode(ClaudeLimitWindow::weekly, 31, kMergeNow, std::nullopt);
    own.source = LimitSource::claudeWeb;
    EXPECT_EQ(store.record({own}), ClaudeLimitReadingsFile::RecordOutcome::stored);
    EXPECT_EQ(changed.size(), 1);
    EXPECT_EQ(store.newest(ClaudeLimitWindow::weekly), own);
    QTest::qWait(200);  // the folder's change notice for that write finds nothing new
    EXPECT_EQ(changed.size(), 1);
}

}  // namespace
}  // namespace qm
