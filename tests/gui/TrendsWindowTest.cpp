#include <gtest/gtest.h>

#include <QApplication>
#include <QBarSeries>
#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QCoroTask>
#include <QDateTime>
#include <QGraphicsTextItem>
#include <QHelpEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineSeries>
#include <QRegularExpression>
#include <QStackedBarSeries>
#include <QTest>
#include <QToolTip>
#include <algorithm>
#include <array>
#include <tuple>

#include "DarkPalette.h"
#include "DesktopFixture.h"
#include "gui/trends/TrendSection.h"
#include "gui/trends/TrendsWindow.h"
#include "gui/widgets/LabelledFigure.h"
#include "gui/widgets/Look.h"
#include "history/UsageHistoryStore.h"
#include "ledger/LocalUsageStore.h"
#include "support/RolloutFixtures.h"
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

// The day labels the chart under `view` draws: none cut to "..." (nor any other text of the
// chart), every named day drawn, each whole inside the view, apart from the next and centred
// under its own bar. Returns them, left to right.
QStringList expectReadableDays(QChartView* view, const QString& where) {
    QChart* chart = view->chart();
    auto* axis = qobject_cast<QCategoryAxis*>(chart->axes(Qt::Horizontal).value(0));
    QAbstractSeries* series = chart->series().value(0);
    EXPECT_TRUE(axis && series) << where.toStdString();
    if (!axis || !series) return {};
    // A replaced axis leaves its labels to be deleted by the event loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    static const QRegularExpression dayText(QStringLiteral("^\\d\\d/\\d\\d$"));
    std::vector<QGraphicsTextItem*> days;
    for (QGraphicsItem* item : view->scene()->items()) {
        auto* text = qgraphicsitem_cast<QGraphicsTextItem*>(item);
        if (!text || !text->isVisible()) continue;
        const QString plain = text->toPlainText();
        EXPECT_FALSE(plain.contains(QStringLiteral("..")) || plain.contains(QChar(0x2026)))
            << where.toStdString() << ": " << plain.toStdString();
        if (dayText.match(plain).hasMatch()) days.push_back(text);
    }
    std::sort(days.begin(), days.end(), [](QGraphicsTextItem* a, QGraphicsTextItem* b) {
        return a->sceneBoundingRect().left() < b->sceneBoundingRect().left();
    });
    QStringList drawn;
    const QRectF inside(view->rect());
    for (std::size_t i = 0; i < days.size(); ++i) {
        const QRectF box = days[i]->sceneBoundingRect();
        drawn << days[i]->toPlainText();
        EXPECT_TRUE(inside.contains(box))
            << where.toStdString() << " " << drawn.last().toStdString();
        if (i > 0) {
            EXPECT_GT(box.left(), days[i - 1]->sceneBoundingRect().right() + 2)
                << where.toStdString() << " " << drawn.last().toStdString();
        }
        const QPointF bar = chart->mapToPosition(QPointF(axis->endValue(drawn.last()), 0), series);
        EXPECT_NEAR(box.center().x(), bar.x(), 2.0) << where.toStdString();
    }
    EXPECT_EQ(drawn, axis->categoriesLabels()) << where.toStdString();
    return drawn;
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
    for (const int width : {600, 1366}) {
        const QString name = QStringLiteral("trends-sixty-days-%1").arg(width);
        test::saveWindowShot(window, name, {width, 900});
        // Named days a week apart, the last one the last bar's, instead of sixty cut to "...".
        const QStringList labels = expectReadableDays(child<QChartView>("geminiChart"), name);
        ASSERT_GE(labels.size(), 4) << width;
        EXPECT_EQ(labels.last(), QStringLiteral("03/10"));
        // At an even step.
        const auto dayOf = [](const QString& label) {
            return QDate::fromString(label + QStringLiteral("/2026"), QStringLiteral("MM/dd/yyyy"));
        };
        const qint64 step = dayOf(labels[0]).daysTo(dayOf(labels[1]));
        for (qsizetype i = 2; i < labels.size(); ++i)
            EXPECT_EQ(dayOf(labels[i - 1]).daysTo(dayOf(labels[i])), step) << width;
    }
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

// Local noon `daysAgo` days before today, in seconds before now.
double localNoonSecondsAgo(int daysAgo) {
    const QDateTime noon(QDate::currentDate().addDays(-daysAgo), QTime(12, 0));
    return double(noon.secsTo(QDateTime::currentDateTime()));
}

QByteArray geminiChatLine(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// Claude Code on the days 40, 3 and 1 before today, Codex on the days 25, 10 and 1 before, the
// Gemini CLI on the days 60 and 2 before, Qwen Code on the day 5 before: every other day of the
// last 90 has no use.
void writeLocalToolLogs(const test::TempDir& home) {
    using namespace test;
    QByteArray claude;
    const std::array<std::pair<int, ClaudeRequest>, 3> requests{{
        {40, {.requestId = "req_40", .messageId = "msg_40", .input = 500, .output = 100}},
        // The day the tool tip is checked on; Claude Code alone.
        {3,
         {.requestId = "req_3",
          .messageId = "msg_3",
          .input = 1000,
          .output = 500,
          .cacheRead = 10'000,
          .cacheWrite5m = 2000}},
        {1, {.requestId = "req_1", .messageId = "msg_1", .input = 200, .output = 100}},
    }};
    for (const auto& [daysAgo, request] : requests) {
        const ClaudeLine line{.secondsAgo = localNoonSecondsAgo(daysAgo)};
        claude += claudePromptLine(QStringLiteral("Tidy the parser"), line);
        claude += claudeAssistantLines(request, line);
    }
    home.write(QStringLiteral(".claude/projects/-home-dev-web/5f0c2b1e-0000-4000-8000-000000000001"
                              ".jsonl"),
               claude);

    for (const auto& [daysAgo, input, cached, output] :
         {std::tuple{25, 30'000, 0, 2000}, std::tuple{10, 100'000, 20'000, 10'000},
          std::tuple{1, 5000, 1000, 500}}) {
        const double ago = localNoonSecondsAgo(daysAgo);
        const QString id = QStringLiteral("0199a1b2-day%1").arg(daysAgo);
        home.write(QStringLiteral(".codex/sessions/2026/01/01/rollout-%1.jsonl").arg(id),
                   codexMetaLine(id, QStringLiteral("/home/dev/app"), ago) +
                       codexTurnLine(QStringLiteral("gpt-5"), ago) +
                       codexPromptLine(QStringLiteral("Fix the build"), ago) +
                       codexUserMessageLine(QStringLiteral("Fix the build"), ago) +
                       codexTotalsLine(input, output, cached, ago - 10));
    }

    for (const int daysAgo : {60, 2}) {
        const QString at = QString::fromUtf8(isoSecondsAgo(localNoonSecondsAgo(daysAgo)));
        const QString n = QString::number(daysAgo);
        home.write(
            QStringLiteral(".gemini/tmp/abc/chats/session-2026-01-01T10-00-abcd%1.jsonl")
                .arg(daysAgo, 4, 10, QLatin1Char('0')),
            geminiChatLine({{"sessionId", "gemini-" + n},
                            {"projectHash", "abc"},
                            {"startTime", at},
                            {"kind", "main"}}) +
                geminiChatLine({{"id", "u" + n},
                                {"timestamp", at},
                                {"type", "user"},
                                {"content", QJsonArray{QJsonObject{{"text", "Read the log"}}}}}) +
                geminiChatLine({{"id", "g" + n},
                                {"timestamp", at},
                                {"type", "gemini"},
                                {"content", "Two restarts."},
                                {"tokens", QJsonObject{{"input", 40'000},
                                                       {"output", 4000},
                                                       {"cached", 0},
                                                       {"thoughts", 0},
                                                       {"tool", 0},
                                                       {"total", 44'000}}},
                                {"model", "gemini-2.5-pro"}}));
    }

    // Qwen Code, on an OpenAI key, 5 days before: one prompt and its answer.
    const QString at = QString::fromUtf8(isoSecondsAgo(localNoonSecondsAgo(5)));
    const QJsonObject common{{"sessionId", "7c1e0d2a-qwen"},
                             {"cwd", "/home/dev/shop"},
                             {"version", "0.20.0"},
                             {"timestamp", at}};
    QJsonObject prompt = common;
    prompt.insert("uuid", "q-u1");
    prompt.insert("parentUuid", QJsonValue::Null);
    prompt.insert("type", "user");
    prompt.insert(
        "message",
        QJsonObject{{"role", "user"}, {"parts", QJsonArray{QJsonObject{{"text", "Add refunds"}}}}});
    QJsonObject answer = common;
    answer.insert("uuid", "q-a1");
    answer.insert("parentUuid", "q-u1");
    answer.insert("type", "assistant");
    answer.insert("model", "gpt-5");
    answer.insert("message", QJsonObject{{"role", "model"},
                                         {"parts", QJsonArray{QJsonObject{{"text", "Done."}}}}});
    answer.insert("usageMetadata", QJsonObject{{"promptTokenCount", 50'000},
                                               {"candidatesTokenCount", 5000},
                                               {"cachedContentTokenCount", 10'000},
                                               {"thoughtsTokenCount", 0},
                                               {"totalTokenCount", 55'000}});
    home.write(QStringLiteral(".qwen/projects/-home-dev-shop/chats/7c1e0d2a-qwen.jsonl"),
               geminiChatLine(prompt) + geminiChatLine(answer));
}

// The trends window over a usage index of the logs above, and an empty history.
class LocalToolsChartTest : public ::testing::Test {
protected:
    LocalToolsChartTest() {
        qunsetenv("CLAUDE_CONFIG_DIR");  // the index reads the test's home only
        qunsetenv("CODEX_HOME");
        writeLocalToolLogs(home_);
        QCoro::waitFor(localUsage_.refresh());
        window_.setLocalUsage(&localUsage_);
    }
    ~LocalToolsChartTest() override { QApplication::setPalette(palette_); }

    QChartView* view() { return window_.findChild<QChartView*>(QStringLiteral("localToolsChart")); }
    QStackedBarSeries* stacks() {
        return qobject_cast<QStackedBarSeries*>(view()->chart()->series().value(0));
    }
    QBarSet* bars(ProviderKind tool) {
        for (QBarSet* set : stacks()->barSets()) {
            if (set->label() == providerName(tool)) return set;
        }
        return nullptr;
    }
    void showDays(int days) {
        auto* picker = window_.findChild<QComboBox*>(QStringLiteral("localToolsDays"));
        picker->setCurrentIndex(picker->findData(days));
        dropReplacedAxes();
    }
    // The chart deletes a replaced axis' labels on the event loop's next turn.
    static void dropReplacedAxes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // The text of the tool tip over the middle of `tool`'s bar `daysAgo` days before today,
    // once the pointer has rested there.
    QString tipOver(ProviderKind tool, int daysAgo) {
        QBarSet* set = bars(tool);
        if (!set) return QStringLiteral("<no bars of %1>").arg(providerName(tool));
        const int slot = set->count() - 1 - daysAgo;
        const QPointF middle = view()->chart()->mapToPosition(
            QPointF(slot, set->at(slot) / 2), stacks());  // the only bar of that day
        const QPoint at = view()->mapFromScene(middle);
        // From a corner without bars, so the bar sees the pointer come in.
        QTest::mouseMove(view()->viewport(), QPoint(1, 1));
        QTest::mouseMove(view()->viewport(), at);
        static_cast<void>(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 2000));
        // Resting there: the view asks its scene for a tip, which has none of its own.
        QHelpEvent rest(QEvent::ToolTip, at, view()->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view()->viewport(), &rest);
        // A tip told to hide goes a moment later.
        static_cast<void>(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 1000));
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    }

    test::TempDir home_;
    test::TempDir cache_;
    test::TempDir data_;
    QPalette palette_ = QApplication::palette();
    ledger::LocalUsageStore localUsage_{
        ledger::UsageLedger(cache_.path(), ledger::LedgerSources::forHome(home_.path()))};
    UsageHistoryStore history_{UsageHistoryFileStore(UsageHistoryFileStore::pathIn(data_.path()))};
    TrendsWindow window_{&history_};
};

TEST_F(LocalToolsChartTest, EveryDayOfTheSpanHasASlotAndTheSectionComesFirst) {
    window_.resize(1366, 900);
    window_.show();
    test::layOut(&window_);
    auto* localTools = window_.findChild<QWidget*>(QStringLiteral("localTools"));
    ASSERT_FALSE(window_.findChild<TrendSection*>(QStringLiteral("localToolsSection"))->isEmpty());
    for (const char* empty : {"claudeSection", "geminiSection", "apiSection"}) {
        auto* section = window_.findChild<TrendSection*>(QString::fromLatin1(empty));
        EXPECT_TRUE(section->isEmpty());
        EXPECT_GT(section->y(), localTools->y()) << empty;
    }

    // 30 days: slot 29 is today; Claude Code's day 40 is outside, Gemini's day 60 too.
    ASSERT_NE(stacks(), nullptr);
    for (QBarSet* set : stacks()->barSets())
        EXPECT_EQ(set->count(), 30) << set->label().toStdString();
    ASSERT_TRUE(bars(ProviderKind::claudeCode) && bars(ProviderKind::codex));
    EXPECT_GT(bars(ProviderKind::claudeCode)->at(26), 0);  // 3 days ago
    EXPECT_DOUBLE_EQ(bars(ProviderKind::claudeCode)->at(25), 0);
    EXPECT_GT(bars(ProviderKind::codex)->at(4), 0);  // 25 days ago
    ASSERT_TRUE(bars(ProviderKind::qwenCode));
    EXPECT_GT(bars(ProviderKind::qwenCode)->at(24), 0);  // 5 days ago
    EXPECT_DOUBLE_EQ(bars(ProviderKind::qwenCode)->sum(), bars(ProviderKind::qwenCode)->at(24));
    EXPECT_DOUBLE_EQ(
        bars(ProviderKind::claudeCode)->sum(),
        bars(ProviderKind::claudeCode)->at(26) + bars(ProviderKind::claudeCode)->at(28));
    auto* axis = qobject_cast<QCategoryAxis*>(view()->chart()->axes(Qt::Horizontal).value(0));
    ASSERT_NE(axis, nullptr);
    EXPECT_DOUBLE_EQ(axis->max() - axis->min(), 30.0);
    EXPECT_EQ(axis->categoriesLabels().last(),
              QDate::currentDate().toString(QStringLiteral("MM/dd")));

    showDays(90);
    test::layOut(&window_);
    for (QBarSet* set : stacks()->barSets())
        EXPECT_EQ(set->count(), 90) << set->label().toStdString();
    EXPECT_GT(bars(ProviderKind::claudeCode)->at(49), 0);  // 40 days ago
    EXPECT_GT(bars(ProviderKind::gemini)->at(29), 0);      // 60 days ago
    EXPECT_DOUBLE_EQ(bars(ProviderKind::gemini)->at(30), 0);
    axis = qobject_cast<QCategoryAxis*>(view()->chart()->axes(Qt::Horizontal).value(0));
    EXPECT_DOUBLE_EQ(axis->max() - axis->min(), 90.0);
}

TEST_F(LocalToolsChartTest, DayLabelsStayWholeAndApartAtEveryWidth) {
    for (const int days : {30, 90}) {
        showDays(days);
        for (const int width : {600, 1366, 2560}) {
            const QString name = QStringLiteral("trends-local-tools-%1d-%2").arg(days).arg(width);
            test::saveWindowShot(window_, name, {width, 900});
            test::layOut(&window_);
            const QStringList labels = expectReadableDays(view(), name);
            EXPECT_GE(labels.size(), 5) << name.toStdString();
            // Today is always named: the last bar is the one a user looks for.
            EXPECT_EQ(labels.value(labels.size() - 1),
                      QDate::currentDate().toString(QStringLiteral("MM/dd")));
        }
    }
    // Wide enough, a month names every one of its days.
    showDays(30);
    test::saveWindowShot(window_, QStringLiteral("trends-local-tools-30d-2560"), {2560, 900});
    test::layOut(&window_);
    EXPECT_EQ(expectReadableDays(view(), QStringLiteral("30 days at 2560")).size(), 30);
}

TEST_F(LocalToolsChartTest, EachToolKeepsItsColourInBothPalettesAndEachBarNamesItsDay) {
    window_.resize(1366, 900);
    window_.show();
    test::layOut(&window_);
    // Claude Code 3 days ago, Sonnet 4.5: 1000 input at $3/M, 500 output at $15/M, 10 000 cache
    // reads at $0.30/M, 2000 five-minute cache writes at $3.75/M:
    // $0.003 + $0.0075 + $0.003 + $0.0075 = $0.0210; its input counts every input token.
    const QString day = QDate::currentDate().addDays(-3).toString(Qt::ISODate);
    const QString expected =
        QStringLiteral(
            "Claude Code, %1: $0.0210\n13.0k input (10.0k cached, 2.0k cache writes), "
            "500 output")
            .arg(day);
    const auto expectToolColours = [this](const char* palette) {
        ASSERT_NE(stacks(), nullptr) << palette;
        EXPECT_EQ(stacks()->count(), 4) << palette;
        EXPECT_TRUE(bars(ProviderKind::qwenCode)) << palette;
        for (const ProviderKind tool : kAllProviderKinds) {
            if (QBarSet* set = bars(tool)) {
                EXPECT_EQ(set->color(), Look::toolColour(tool)) << palette << " " << int(tool);
                EXPECT_EQ(set->borderColor(), Look::toolColour(tool))
                    << palette << " " << int(tool);
            }
        }
    };
    expectToolColours("light");
    EXPECT_EQ(tipOver(ProviderKind::claudeCode, 3), expected);

    // The desktop turns dark while the window is open.
    QApplication::setPalette(test::darkPalette());
    dropReplacedAxes();
    test::layOut(&window_);
    EXPECT_EQ(view()->chart()->backgroundBrush().color(), QColor(0x2b, 0x2b, 0x2b));
    expectToolColours("dark");
    EXPECT_EQ(tipOver(ProviderKind::claudeCode, 3), expected);

    // A window opened on the dark desktop.
    TrendsWindow dark(&history_);
    dark.setLocalUsage(&localUsage_);
    auto* darkStacks = qobject_cast<QStackedBarSeries*>(
        dark.findChild<QChartView*>(QStringLiteral("localToolsChart"))->chart()->series().value(0));
    ASSERT_NE(darkStacks, nullptr);
    EXPECT_EQ(darkStacks->count(), 4);
    for (QBarSet* set : darkStacks->barSets()) {
        const std::optional<ProviderKind> tool = providerKindFromUserText(set->label());
        ASSERT_TRUE(tool) << set->label().toStdString();
        EXPECT_EQ(set->color(), Look::toolColour(*tool)) << set->label().toStdString();
    }
    for (const int width : {600, 1366, 2560}) {
        const QString name = QStringLiteral("trends-local-tools-dark-%1").arg(width);
        test::saveWindowShot(dark, name, {width, 900});
        expectReadableDays(dark.findChild<QChartView*>(QStringLiteral("localToolsChart")), name);
    }
}

}  // namespace
}  // namespace qm::gui
