#include <gtest/gtest.h>

#include <QBarSeries>
#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QLineSeries>
#include <QStackedBarSeries>
#include <QTest>

#include "gui/trends/TrendSection.h"
#include "gui/trends/TrendsWindow.h"
#include "gui/widgets/LabelledFigure.h"
#include "history/UsageHistoryStore.h"
#include "support/Screenshots.h"
#include "support/TempDir.h"

namespace qm::gui {
namespace {

const QTimeZone kBerlin(QByteArrayLiteral("Europe/Berlin"));

std::int64_t berlin(int month, int day, int hour, int minute) {
    return QDateTime(QDate(2026, month, day), QTime(hour, minute), kBerlin).toMSecsSinceEpoch();
}

GeminiUsageRecord relayRecord(std::int64_t at, double cost) {
    GeminiUsageRecord record;
    record.timestampMs = at;
    record.accountId = QStringLiteral("a1");
    record.model = QStringLiteral("gemini-2.5-flash");
    record.inputTokens = 1000;
    record.outputTokens = 200;
    record.costUsd = cost;
    record.source = QStringLiteral("relay");
    return record;
}

UsageBucket bucket(double cost, std::int64_t input) {
    UsageBucket made;
    made.model = QStringLiteral("model");
    made.inputTokens = input;
    made.outputTokens = 500;
    made.cacheReadTokens = 2000;
    made.costUsd = cost;
    return made;
}

class TrendsWindowTest : public ::testing::Test {
protected:
    template <typename T>
    T* child(const char* name) {
        T* found = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QChart* chart(const char* name) { return child<QChartView>(name)->chart(); }
    QStringList days(const char* name) {
        const auto axes = chart(name)->axes(Qt::Horizontal);
        auto* categories = axes.isEmpty() ? nullptr : qobject_cast<QCategoryAxis*>(axes[0]);
        return categories ? categories->categoriesLabels() : QStringList();
    }

    test::TempDir dir;
    std::int64_t now = berlin(3, 10, 12, 0);
    UsageHistoryStore history{UsageHistoryFileStore(UsageHistoryFileStore::pathIn(dir.path())),
                              [this] { return now; }};
    TrendsWindow window{&history, nullptr, kBerlin};
};

TEST_F(TrendsWindowTest, EmptyHistoryShowsPlaceholdersAndZeroTotals) {
    window.flushRedraw();
    for (const char* section : {"claudeSection", "geminiSection", "apiSection"}) {
        EXPECT_TRUE(child<TrendSection>(section)->isEmpty()) << section;
    }
    EXPECT_EQ(child<TrendSection>("claudeSection")->subtitle(), QStringLiteral("0 snapshots"));
    EXPECT_EQ(child<TrendSection>("geminiSection")->subtitle(), QStringLiteral("$0.0000 total"));
    EXPECT_EQ(child<TrendSection>("apiSection")->subtitle(), QStringLiteral("$0.0000 total"));
    test::saveWindowShot(window, QStringLiteral("trends-empty"), {760, 520});
}

TEST_F(TrendsWindowTest, DaysStacksAndLinesFromTheHistory) {
    // Late evening and just past midnight are two local days.
    history.appendGeminiRecord(relayRecord(berlin(3, 8, 23, 30), 0.25));
    history.appendGeminiRecord(relayRecord(berlin(3, 9, 0, 30), 0.5));
    now = berlin(3, 9, 10, 0);
    history.appendApiRecords({bucket(1.5, 3000)}, QStringLiteral("openai"), QStringLiteral("o1"));
    history.appendApiRecords({bucket(0.5, 1000)}, QStringLiteral("Anthropic "),
                             QStringLiteral("c1"));
    now = berlin(3, 10, 9, 0);
    history.appendApiRecords({bucket(2.0, 500)}, QStringLiteral("openai"), QStringLiteral("o1"));
    ClaudeUsageSnapshot snapshot{berlin(3, 9, 8, 0), 20, 40, 60, QStringLiteral("Opus")};
    history.appendClaudeSnapshot(snapshot);
    // A model named "Week" joins the week line.
    history.appendClaudeSnapshot({berlin(3, 9, 9, 0), 30, 45, 50, QStringLiteral("Week")});
    window.flushRedraw();

    EXPECT_EQ(days("geminiChart"), QStringList({"03/08", "03/09"}));
    auto* geminiBars = qobject_cast<QBarSeries*>(chart("geminiChart")->series().value(0));
    ASSERT_NE(geminiBars, nullptr);
    EXPECT_DOUBLE_EQ(geminiBars->barSets()[0]->at(0), 0.25);
    EXPECT_DOUBLE_EQ(geminiBars->barSets()[0]->at(1), 0.5);
    EXPECT_EQ(child<TrendSection>("geminiSection")->subtitle(), QStringLiteral("$0.7500 total"));

    EXPECT_EQ(days("apiChart"), QStringList({"03/09", "03/10"}));
    auto* stacks = qobject_cast<QStackedBarSeries*>(chart("apiChart")->series().value(0));
    auto* total = qobject_cast<QLineSeries*>(chart("apiChart")->series().value(1));
    ASSERT_TRUE(stacks && total);
    ASSERT_EQ(stacks->count(), 2);
    EXPECT_EQ(stacks->barSets()[0]->label(), QStringLiteral("Anthropic"));
    EXPECT_EQ(stacks->barSets()[1]->label(), QStringLiteral("OpenAI"));
    EXPECT_DOUBLE_EQ(stacks->barSets()[0]->at(0), 0.5);
    EXPECT_DOUBLE_EQ(stacks->barSets()[0]->at(1), 0.0);
    EXPECT_DOUBLE_EQ(stacks->barSets()[1]->at(1), 2.0);
    EXPECT_EQ(total->name(), QStringLiteral("Daily Total"));
    ASSERT_EQ(total->count(), 2);
    EXPECT_DOUBLE_EQ(total->at(0).y(), 2.0);
    EXPECT_DOUBLE_EQ(total->at(1).y(), 2.0);
    EXPECT_EQ(child<TrendSection>("apiSection")->subtitle(), QStringLiteral("$4.0000 total"));
    EXPECT_EQ(child<LabelledFigure>("summaryRecords")->value(), QStringLiteral("3"));
    EXPECT_EQ(child<LabelledFigure>("summaryIn")->value(), QStringLiteral("4.5k"));
    EXPECT_EQ(child<LabelledFigure>("summaryCache")->value(), QStringLiteral("6.0k"));

    QStringList lines;
    for (QAbstractSeries* series : chart("claudeChart")->series()) lines << series->name();
    EXPECT_EQ(lines, QStringList({"Session", "Week", "Opus", "Full"}));
    auto* week = qobject_cast<QLineSeries*>(chart("claudeChart")->series().value(1));
    ASSERT_NE(week, nullptr);
    EXPECT_EQ(week->count(), 3);
    EXPECT_EQ(child<TrendSection>("claudeSection")->subtitle(), QStringLiteral("2 snapshots"));

    test::saveWindowShot(window, QStringLiteral("trends-narrow"), {760, 520});
    test::saveWindowShot(window, QStringLiteral("trends-wide"), {1100, 900});
}

TEST_F(TrendsWindowTest, SixtyDaysKeepTheirDayLabelsReadable) {
    now = berlin(3, 10, 12, 0);
    for (int day = 0; day < 60; ++day) {
        const std::int64_t at = now - std::int64_t(day) * 86'400'000;
        history.appendGeminiRecord(relayRecord(at, 0.01 * (day % 7 + 1)));
        history.appendClaudeSnapshot(
            {at, double(day % 50), double(day), 30, QStringLiteral("Opus")});
    }
    window.flushRedraw();
    auto* bars = qobject_cast<QBarSeries*>(chart("geminiChart")->series().value(0));
    ASSERT_NE(bars, nullptr);
    EXPECT_EQ(bars->barSets()[0]->count(), 60);
    // Every sixth day is named, under its own bar, instead of sixty labels cut to "...".
    const QStringList labels = days("geminiChart");
    ASSERT_EQ(labels.size(), 10);
    EXPECT_EQ(labels[0], QStringLiteral("01/10"));
    EXPECT_EQ(labels[1], QStringLiteral("01/16"));
    auto* axis = qobject_cast<QCategoryAxis*>(chart("geminiChart")->axes(Qt::Horizontal)[0]);
    EXPECT_DOUBLE_EQ(axis->endValue(labels[1]), 6.0);
    test::saveWindowShot(window, QStringLiteral("trends-sixty-days"), {760, 900});
}

TEST_F(TrendsWindowTest, FollowsAppendsAndPruning) {
    window.show();
    history.appendGeminiRecord(relayRecord(berlin(1, 2, 12, 0), 1.0));
    window.flushRedraw();
    EXPECT_EQ(days("geminiChart"), QStringList({"01/02"}));

    // 91 days later the first record is pruned by the next change.
    now = berlin(4, 3, 12, 0);
    history.appendGeminiRecord(relayRecord(berlin(4, 3, 11, 0), 0.125));
    ASSERT_TRUE(QTest::qWaitFor([&] { return days("geminiChart") == QStringList({"04/03"}); }));
    EXPECT_EQ(child<TrendSection>("geminiSection")->subtitle(), QStringLiteral("$0.1250 total"));
    EXPECT_FALSE(child<TrendSection>("geminiSection")->isEmpty());
}

}  // namespace
}  // namespace qm::gui
