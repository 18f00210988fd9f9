#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <map>

#include "core/ClaudeLimitReadings.h"
#include "core/SharedFile.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"

namespace qm {
namespace {

using Window = ClaudeLimitWindow;
namespace ReadingsFile = ClaudeLimitReadingsFile;

ClaudeLimitReading codeReading(Window window, double percent, TimeMs at,
                               std::optional<TimeMs> resetsAt = test::kNow + 3 * test::kHour) {
    return {window, percent, resetsAt, at, LimitSource::claudeCode};
}

class ClaudeLimitReadingsTest : public ::testing::Test {
protected:
    ReadingsFile::RecordOutcome recordAt(TimeMs at, std::vector<ClaudeLimitReading> fresh) const {
        return ReadingsFile::record(path, fresh, at).outcome;
    }
    std::vector<ClaudeLimitReading> kept(TimeMs at = test::kNow) const {
        return ReadingsFile::load(path, at);
    }

    test::TempDir dir;
    const QString path = ReadingsFile::pathIn(dir.path());
};

TEST_F(ClaudeLimitReadingsTest, KeepsAReadingOnceAMinuteUnlessItsFiguresChange) {
    using Outcome = ReadingsFile::RecordOutcome;
    const TimeMs t = test::kNow - 10 * test::kMinute;
    EXPECT_EQ(
        recordAt(t, {codeReading(Window::fiveHour, 40, t), codeReading(Window::weekly, 20, t)}),
        Outcome::stored);
    // The same figures 30 s later, twice in one call: nothing new.
    const TimeMs t30 = t + 30'000;
    EXPECT_EQ(recordAt(t30, {codeReading(Window::fiveHour, 40, t30),
                             codeReading(Window::fiveHour, 40, t30)}),
              Outcome::unchanged);
    // A new percentage, or a new reset time, is kept at once; the other window is not touched.
    const TimeMs t40 = t + 40'000;
    EXPECT_EQ(recordAt(t40, {codeReading(Window::fiveHour, 41, t40),
                             codeReading(Window::weekly, 20, t40)}),
              Outcome::stored);
    const TimeMs t50 = t + 50'000;
    EXPECT_EQ(recordAt(t50, {codeReading(Window::fiveHour, 41, t50, test::kNow + 8 * test::kHour)}),
              Outcome::stored);
    // Unchanged figures a minute after the last reading count again.
    const TimeMs t2 = t50 + ReadingsFile::kRepeatMs;
    EXPECT_EQ(recordAt(t2, {codeReading(Window::weekly, 20, t2)}), Outcome::stored);

    const std::vector<ClaudeLimitReading> expected{
        codeReading(Window::fiveHour, 40, t), codeReading(Window::weekly, 20, t),
        codeReading(Window::fiveHour, 41, t40),
        codeReading(Window::fiveHour, 41, t50, test::kNow + 8 * test::kHour),
        codeReading(Window::weekly, 20, t2)};
    EXPECT_EQ(kept(), expected);
    // Another source is a series of its own.
    ClaudeLimitReading web = codeReading(Window::weekly, 20, t2 + 1000);
    web.source = LimitSource::claudeWeb;
    EXPECT_EQ(recordAt(t2 + 1000, {web}), Outcome::stored);
}

TEST_F(ClaudeLimitReadingsTest, KeepsEightDaysThinnerAsTheyAge) {
    // A reading of each window every minute for nine days, the percentage climbing, and
    // bursts of three within one minute half an hour ago and five minutes ago.
    std::vector<ClaudeLimitReading> fresh;
    for (TimeMs at = test::kNow - 9 * 24 * test::kHour; at <= test::kNow; at += test::kMinute) {
        fresh.push_back(codeReading(Window::fiveHour, double(at / test::kMinute % 90), at));
        fresh.push_back(codeReading(Window::weekly, double(at / test::kMinute % 97), at));
    }
    // The per-minute readings fall 40 s into each minute: the older burst comes after it.
    const TimeMs olderMinute = (test::kNow - 30 * test::kMinute) / test::kMinute * test::kMinute;
    for (const TimeMs burst : {olderMinute + 40'000, test::kNow - 5 * test::kMinute}) {
        for (int s = 1; s <= 3; ++s)
            fresh.push_back(codeReading(Window::fiveHour, 90.0 + s, burst + s * 5'000));
    }
    ASSERT_EQ(recordAt(test::kNow, fresh), ReadingsFile::RecordOutcome::stored);
    const std::vector<ClaudeLimitReading> readings = kept();
    ASSERT_FALSE(readings.empty());
    EXPECT_GE(readings.front().readAt, test::kNow - ReadingsFile::kKeptMs);
    EXPECT_EQ(readings.back().readAt, test::kNow);

    std::map<std::tuple<int, TimeMs, TimeMs>, int> perSlot;
    int lastTenMinutes = 0;
    for (const ClaudeLimitReading& r : readings) {
        const TimeMs age = test::kNow - r.readAt;
        if (age <= 10 * test::kMinute) {
            ++lastTenMinutes;
            continue;
        }
        const TimeMs slot = age <= 2 * test::kHour ? test::kMinute : 15 * test::kMinute;
        const std::tuple key{int(r.window), slot, r.readAt / slot};
        EXPECT_EQ(++perSlot[key], 1);
    }
    // Ten minutes of both windows and the burst, all of it.
    EXPECT_EQ(lastTenMinutes, 2 * 11 + 3);
    // Of the older burst, the newest reading of its minute.
    const auto older =
        std::ranges::find(readings, olderMinute + 55'000, &ClaudeLimitReading::readAt);
    ASSERT_NE(older, readings.end());
    EXPECT_EQ(older->percent, 93);
    EXPECT_EQ(
        std::ranges::count(readings, test::kNow - 30 * test::kMinute, &ClaudeLimitReading::readAt),
        1);  // the weekly one; the five-hour one is in the burst's minute
    // Eight days of quarter hours and two hours of minutes, for two windows.
    EXPECT_NEAR(double(perSlot.size()), 2 * (8 * 24 * 4 + 110), 30);
    EXPECT_LT(QFileInfo(path).size(), kSideFileMaxBytes);
}

TEST_F(ClaudeLimitReadingsTest, ALockHeldElsewhereDropsTheReadingAndLeavesTheFile) {
    const TimeMs t = test::kNow - test::kMinute;
    ASSERT_EQ(recordAt(t, {codeReading(Window::fiveHour, 40, t)}),
              ReadingsFile::RecordOutcome::stored);
    const QByteArray before = test::readAll(path);
    const FileLock held = FileLock::acquire(path);
    ASSERT_TRUE(held.held());
    const ClaudeLimitReading fresh = codeReading(Window::fiveHour, 45, test::kNow);
    const ReadingsFile::RecordResult result = ReadingsFile::record(path, {fresh}, test::kNow);
    EXPECT_EQ(result.outcome, ReadingsFile::RecordOutcome::busy);
    ASSERT_TRUE(result.error);
    EXPECT_TRUE(result.error->message.contains("locked")) << result.error->message.toStdString();
    EXPECT_EQ(test::readAll(path), before);
    // The caller still has the series with the reading it could not keep.
    EXPECT_EQ(result.readings,
              (std::vector<ClaudeLimitReading>{codeReading(Window::fiveHour, 40, t), fresh}));
}

TEST_F(ClaudeLimitReadingsTest, WhatTheCallerReadIsUsedOnlyWhileNoOneReplacedTheFile) {
    const TimeMs t = test::kNow - 2 * test::kMinute;
    ASSERT_EQ(recordAt(t, {codeReading(Window::fiveHour, 40, t)}),
              ReadingsFile::RecordOutcome::stored);
    const ReadingsFile::Contents known = ReadingsFile::read(path, test::kNow);
    // Another status line writes after the caller read the file...
    const TimeMs other = test::kNow - test::kMinute;
    ASSERT_EQ(recordAt(other, {codeReading(Window::weekly, 20, other)}),
              ReadingsFile::RecordOutcome::stored);
    // ...so what the caller read is stale: its reading joins the other one, which stays.
    const ClaudeLimitReading fresh = codeReading(Window::fiveHour, 41, test::kNow);
    ASSERT_EQ(
        ReadingsFile::record(path, {fresh}, test::kNow, ReadingsFile::kLockWaitMs, &known).outcome,
        ReadingsFile::RecordOutcome::stored);
    EXPECT_EQ(kept(),
              (std::vector<ClaudeLimitReading>{codeReading(Window::fiveHour, 40, t),
                                               codeReading(Window::weekly, 20, other), fresh}));
}

TEST_F(ClaudeLimitReadingsTest, DamagedEntriesAreSkippedAndADamagedFileStartsAfresh) {
    const QByteArray at = QByteArray::number(test::kNow - test::kMinute);
    dir.write("claude-limit-readings.json",
              "{\"version\": 1, \"readings\": [\n"
              "[\"fiveHour\", 43, \"soon\", " +
                  at +
                  ", \"claudeCode\"],\n"
                  "[\"fiveHour\", \"44\", null, " +
                  at +
                  ", \"claudeCode\"],\n"
                  "[\"monthly\", 1, null, " +
                  at +
                  ", \"claudeCode\"],\n"
                  "[\"weekly\", 140, null, " +
                  at +
                  ", \"claudeCode\"],\n"
                  "[\"weekly\", 14, null, 1e300, \"claudeCode\"],\n"
                  "[\"weekly\", 14, null, " +
                  at +
                  ", \"someone\"],\n"
                  "[\"weekly\", 14, null],\n"
                  "{\"window\": \"weekly\"}, 7, null]}\n");
    // Only the reset time of the first one is wrong: it stays, without one.
    EXPECT_EQ(kept(), (std::vector<ClaudeLimitReading>{codeReading(
                          Window::fiveHour, 43, test::kNow - test::kMinute, std::nullopt)}));

    dir.write("claude-limit-readings.json", "{\"version\": 1, \"readings\": [[\"fiveHour\",");
    EXPECT_TRUE(kept().empty());
    const ClaudeLimitReading fresh = codeReading(Window::weekly, 12, test::kNow);
    EXPECT_EQ(recordAt(test::kNow, {fresh}), ReadingsFile::RecordOutcome::stored);
    EXPECT_EQ(kept(), std::vector<ClaudeLimitReading>{fresh});

    // Something that cannot be read at all is not replaced.
    test::TempDir other;
    const QString folderInPlace = ReadingsFile::pathIn(other.path());
    ASSERT_TRUE(QDir().mkpath(folderInPlace));
    const ReadingsFile::RecordResult result =
        ReadingsFile::record(folderInPlace, {fresh}, test::kNow);
    EXPECT_EQ(result.outcome, ReadingsFile::RecordOutcome::failed);
    EXPECT_TRUE(QFileInfo(folderInPlace).isDir());
}

}  // namespace
}  // namespace qm
