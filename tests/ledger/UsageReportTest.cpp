#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>

#include "ledger/UsageReport.h"

namespace qm::ledger {
namespace {

// A call of `input` tokens at a local time in `zone`.
UsageSlice call(const QTimeZone& zone, const QString& localTime, std::int64_t input,
                ProviderKind tool = ProviderKind::codex, const QString& session = "s1") {
    const QDateTime at = QDateTime::fromString(localTime, Qt::ISODate);
    const QDateTime local(at.date(), at.time(), zone);
    UsageSlice slice;
    slice.hour = hourOf(local.toMSecsSinceEpoch());
    slice.tool = tool;
    slice.model = "gpt-5";
    slice.project = "app";
    slice.session = session;
    slice.counts.input = input;
    slice.counts.output = input / 10;
    slice.counts.calls = 1;
    return slice;
}

ReportQuery query(ReportPeriod period, const QString& since, const QString& until) {
    ReportQuery q;
    q.period = period;
    q.since = QDate::fromString(since, Qt::ISODate);
    q.until = QDate::fromString(until, Qt::ISODate);
    return q;
}

std::vector<std::pair<QString, std::int64_t>> inputByPeriod(const UsageReport& report) {
    std::vector<std::pair<QString, std::int64_t>> out;
    for (const ReportRow& row : report.rows) out.emplace_back(row.period, row.figures.counts.input);
    return out;
}

using Periods = std::vector<std::pair<QString, std::int64_t>>;

TEST(UsageReportTest, DaysAreLocalAcrossMidnightAndDaylightSavingChanges) {
    const QTimeZone berlin("Europe/Berlin");
    ASSERT_TRUE(berlin.isValid());
    // A session from 23:00 to 01:00 local time is split between its two days; on the night the
    // clocks go forward (29 March) and back (25 October) the hours still fall on their own day.
    const std::vector<UsageSlice> slices{
        call(berlin, "2026-03-28T23:30:00", 1),  call(berlin, "2026-03-29T00:30:00", 2),
        call(berlin, "2026-03-29T03:30:00", 4),  call(berlin, "2026-03-29T23:30:00", 8),
        call(berlin, "2026-03-30T00:10:00", 16), call(berlin, "2026-10-25T00:30:00", 32),
        call(berlin, "2026-10-25T23:30:00", 64), call(berlin, "2026-10-26T00:30:00", 128)};
    const UsageReport march =
        buildReport(slices, query(ReportPeriod::daily, "2026-03-01", "2026-03-31"), berlin);
    EXPECT_EQ(inputByPeriod(march),
              (Periods{{"2026-03-28", 1}, {"2026-03-29", 2 + 4 + 8}, {"2026-03-30", 16}}));
    const UsageReport october =
        buildReport(slices, query(ReportPeriod::daily, "2026-10-25", "2026-10-26"), berlin);
    EXPECT_EQ(inputByPeriod(october), (Periods{{"2026-10-25", 32 + 64}, {"2026-10-26", 128}}));
    EXPECT_EQ(october.totals.counts.input, 32 + 64 + 128);

    // The same hours seen from another zone fall on other days.
    const QTimeZone tokyo("Asia/Tokyo");
    const UsageReport fromTokyo =
        buildReport(slices, query(ReportPeriod::daily, "2026-03-29", "2026-03-29"), tokyo);
    EXPECT_EQ(inputByPeriod(fromTokyo), (Periods{{"2026-03-29", 1 + 2 + 4}}));
}

TEST(UsageReportTest, IsoWeeksAndMonthsAcrossAYearEnd) {
    const QTimeZone utc = QTimeZone::utc();
    const std::vector<UsageSlice> slices{
        call(utc, "2026-12-27T12:00:00", 1),  // Sunday: the end of week 52
        call(utc, "2026-12-28T12:00:00", 2),  // Monday of week 53 (2026 has 53)
        call(utc, "2027-01-03T12:00:00", 4),  // Sunday, still 2026-W53
        call(utc, "2027-01-04T12:00:00", 8),  // 2027-W01
    };
    const UsageReport weeks =
        buildReport(slices, query(ReportPeriod::weekly, "2026-12-01", "2027-01-31"), utc);
    EXPECT_EQ(inputByPeriod(weeks),
              (Periods{{"2026-W52", 1}, {"2026-W53", 2 + 4}, {"2027-W01", 8}}));
    const UsageReport months =
        buildReport(slices, query(ReportPeriod::monthly, "2026-12-01", "2027-01-31"), utc);
    EXPECT_EQ(inputByPeriod(months), (Periods{{"2026-12", 3}, {"2027-01", 12}}));
    // The range is in days, so it may start inside a week.
    const UsageReport part =
        buildReport(slices, query(ReportPeriod::weekly, "2027-01-01", "2027-01-31"), utc);
    EXPECT_EQ(inputByPeriod(part), (Periods{{"2026-W53", 4}, {"2027-W01", 8}}));
}

TEST(UsageReportTest, RowsAddUpToTheTotalsAndSessionsCountOnce) {
    const QTimeZone utc = QTimeZone::utc();
    std::vector<UsageSlice> slices;
    for (int day = 1; day <= 20; ++day) {
        const QString at = QStringLiteral("2026-11-%1T10:00:00").arg(day, 2, 10, QLatin1Char('0'));
        slices.push_back(call(utc, at, 1000 * day, ProviderKind::codex, "long"));
        slices.push_back(
            call(utc, at, 7 * day, ProviderKind::claudeCode, QStringLiteral("c%1").arg(day % 3)));
        slices.back().model = "claude-sonnet-4-5";
        slices.back().counts.cachedInput = day;
    }
    const UsageReport daily =
        buildReport(slices, query(ReportPeriod::daily, "2026-01-01", "2026-12-31"), utc);
    Counts rows;
    double cost = 0;
    for (const ReportRow& row : daily.rows) {
        rows += row.figures.counts;
        cost += row.figures.costUsd;
    }
    EXPECT_EQ(rows, daily.totals.counts);
    EXPECT_DOUBLE_EQ(cost, daily.totals.costUsd);
    EXPECT_GT(cost, 0);
    EXPECT_EQ(daily.totals.sessions, 4);  // "long" and c0, c1, c2

    ReportQuery onlyClaude = query(ReportPeriod::session, "2026-11-01", "2026-11-30");
    onlyClaude.tools = {ProviderKind::claudeCode};
    const UsageReport sessions = buildReport(slices, onlyClaude, utc);
    ASSERT_EQ(sessions.rows.size(), 3u);
    EXPECT_EQ(sessions.rows[0].period, "c1");  // the session that began first
    EXPECT_EQ(sessions.rows[0].group, "claudeCode");

    // The default ranges.
    const QDate today(2026, 12, 7);  // a Monday
    EXPECT_EQ(ReportQuery::defaultSince(ReportPeriod::daily, today), QDate(2026, 11, 8));
    EXPECT_EQ(ReportQuery::defaultSince(ReportPeriod::weekly, today.addDays(3)),
              QDate(2026, 9, 21));
    EXPECT_EQ(ReportQuery::defaultSince(ReportPeriod::monthly, today), QDate(2026, 1, 1));
    EXPECT_EQ(ReportQuery::defaultSince(ReportPeriod::session, today), QDate(2026, 12, 1));
}

TEST(UsageReportTest, JsonNamesTheGroupingAndTextAlignsATotalsRow) {
    const QTimeZone utc = QTimeZone::utc();
    ReportQuery byModel = query(ReportPeriod::daily, "2026-11-01", "2026-11-02");
    byModel.grouping = ReportGrouping::model;
    const UsageReport report = buildReport(
        {call(utc, "2026-11-01T10:00:00", 1'500'000), call(utc, "2026-11-02T10:00:00", 900)},
        byModel, utc);
    const QJsonObject json = reportJson(report);
    EXPECT_EQ(json["period"].toString(), "daily");
    EXPECT_EQ(json["since"].toString(), "2026-11-01");
    const QJsonObject row = json["rows"].toArray().at(0).toObject();
    EXPECT_EQ(row["period"].toString(), "2026-11-01");
    EXPECT_EQ(row["model"].toString(), "gpt-5");
    EXPECT_FALSE(row.contains("tool"));
    EXPECT_EQ(row["inputTokens"].toInteger(), 1'500'000);
    EXPECT_EQ(json["totals"].toObject()["inputTokens"].toInteger(), 1'500'900);

    const QStringList lines = reportTable(report).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5);  // header, two rows, rule, totals
    EXPECT_TRUE(lines[1].contains("1.5M"));
    EXPECT_TRUE(lines[4].startsWith("Total"));
    EXPECT_EQ(lines[1].size(), lines[0].size());  // columns line up
    EXPECT_EQ(reportCsv(report).split('\n', Qt::SkipEmptyParts).size(), 3);
}

TEST(UsageReportTest, SessionRowsSayTheirProjectHoursAndModels) {
    const QTimeZone utc = QTimeZone::utc();
    // One session over three hours and two models; its sub-agent's file names no project.
    UsageSlice first = call(utc, "2026-11-01T09:15:00", 100, ProviderKind::claudeCode, "c1");
    first.project = "web";
    first.model = "claude-sonnet-4-5";
    UsageSlice agent = call(utc, "2026-11-01T10:30:00", 50, ProviderKind::claudeCode, "c1");
    agent.project.clear();
    agent.model = "claude-haiku-4-5";
    UsageSlice last = call(utc, "2026-11-01T11:45:00", 10, ProviderKind::claudeCode, "c1");
    last.project = "web";
    last.model = "claude-sonnet-4-5";
    const UsageSlice other = call(utc, "2026-11-01T08:05:00", 1, ProviderKind::codex, "x1");
    const UsageReport report = buildReport(
        {last, agent, first, other}, query(ReportPeriod::session, "2026-11-01", "2026-11-01"), utc);
    ASSERT_EQ(report.rows.size(), 2u);
    const ReportRow& row = report.rows[1];  // began after x1
    EXPECT_EQ(row.period, "c1");
    EXPECT_EQ(row.project, "web");
    EXPECT_EQ(row.models, (std::vector<QString>{"claude-haiku-4-5", "claude-sonnet-4-5"}));
    // The index keeps hours: from 09:00 to the end of the 11 o'clock hour.
    const QDateTime nine(QDate(2026, 11, 1), QTime(9, 0), utc);
    EXPECT_EQ(row.start, nine.toMSecsSinceEpoch());
    EXPECT_EQ(row.end, nine.addSecs(3 * 3600).toMSecsSinceEpoch());

    const QJsonObject json = reportJson(report)["rows"].toArray().at(1).toObject();
    EXPECT_EQ(json["project"].toString(), "web");
    EXPECT_EQ(json["start"].toString(), "2026-11-01T09:00:00.000Z");
    EXPECT_EQ(json["end"].toString(), "2026-11-01T12:00:00.000Z");
    EXPECT_EQ(json["models"].toArray(), (QJsonArray{"claude-haiku-4-5", "claude-sonnet-4-5"}));
    // Other periods keep their rows as they were.
    const UsageReport daily =
        buildReport({first}, query(ReportPeriod::daily, "2026-11-01", "2026-11-01"), utc);
    EXPECT_FALSE(reportJson(daily)["rows"].toArray().at(0).toObject().contains("start"));

    // The table's start is local time in the report's zone, beside the project.
    const QTimeZone tokyo("Asia/Tokyo");
    const QStringList lines =
        reportTable(
            buildReport({first}, query(ReportPeriod::session, "2026-11-01", "2026-11-01"), tokyo))
            .split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines[0].split(' ', Qt::SkipEmptyParts).mid(0, 4),
              (QStringList{"Session", "Project", "Start", "Tool"}));
    EXPECT_EQ(lines[1].split(' ', Qt::SkipEmptyParts).mid(0, 4),
              (QStringList{"c1", "web", "2026-11-01", "18:00"}));
    EXPECT_EQ(lines[1].size(), lines[0].size());
}

TEST(UsageReportTest, LargeCallsPayLongContextRatesAndUnpricedModelsAreNamed) {
    const QTimeZone utc = QTimeZone::utc();
    UsageSlice small = call(utc, "2026-11-01T10:00:00", 100'000, ProviderKind::claudeCode);
    small.model = "claude-sonnet-4-5";
    small.counts.output = 1'000;
    UsageSlice large = small;
    large.counts.input = 300'000;
    large.flags = kLargeCalls;
    UsageSlice unknown = call(utc, "2026-11-01T11:00:00", 5'000);
    unknown.model = "acme-9";
    const UsageReport report = buildReport(
        {small, large, unknown}, query(ReportPeriod::daily, "2026-11-01", "2026-11-01"), utc);
    // Sonnet 4.5: 3 / 15 per million at base rates, 6 / 22.5 above 200 000 prompt tokens.
    // 100 000 x 3 + 1 000 x 15 = 0.315; 300 000 x 6 + 1 000 x 22.5 = 1.8225; acme-9: no price.
    EXPECT_NEAR(report.totals.costUsd, 0.315 + 1.8225, 1e-9);
    EXPECT_EQ(report.totals.unpricedModels, std::vector<QString>{"acme-9"});
    EXPECT_EQ(reportJson(report)["unpricedModels"].toArray(), QJsonArray{"acme-9"});
    EXPECT_TRUE(reportTable(report).contains("1 model unpriced: acme-9"));
}

TEST(UsageReportTest, RecordedCostsAreTheAgentsAndTheRestIsEstimatedOrUnpriced) {
    const QTimeZone utc = QTimeZone::utc();
    // OpenCode recorded $0.123456789 for its call, whatever the price list would say; its
    // prompt has no tokens and no cost, and leaves the row the agent's.
    UsageSlice open = call(utc, "2026-11-01T10:00:00", 10'000, ProviderKind::openCode, "o1");
    open.model = "anthropic/claude-sonnet-4-5";
    open.flags = kRecordedCost;
    open.counts.costNanos = 123'456'789;
    UsageSlice prompt = call(utc, "2026-11-01T10:00:00", 0, ProviderKind::openCode, "o1");
    prompt.model = open.model;
    prompt.counts = Counts{.prompts = 1};
    // Codex is priced: gpt-5 at 1.25 / 10 per million: 20 000 x 1.25 + 2 000 x 10 = $0.045.
    const UsageSlice codex = call(utc, "2026-11-01T11:00:00", 20'000);
    // Qwen Code records no cost, and the price list does not know its model.
    UsageSlice qwen = call(utc, "2026-11-01T12:00:00", 5'000, ProviderKind::qwenCode, "q1");
    qwen.model = "qwen3-coder-plus";
    const UsageReport report = buildReport(
        {open, prompt, codex, qwen}, query(ReportPeriod::daily, "2026-11-01", "2026-11-01"), utc);

    ASSERT_EQ(report.rows.size(), 3u);  // codex, openCode, qwenCode
    EXPECT_NEAR(report.rows[0].figures.costUsd, 0.045, 1e-12);
    EXPECT_NEAR(report.rows[1].figures.costUsd, 0.123456789, 1e-12);
    EXPECT_EQ(report.rows[1].figures.counts.prompts, 1);
    EXPECT_EQ(report.rows[2].figures.costUsd, 0);
    EXPECT_NEAR(report.totals.costUsd, 0.045 + 0.123456789, 1e-12);
    EXPECT_EQ(report.totals.unpricedModels, std::vector<QString>{"qwen3-coder-plus"});

    const QJsonObject json = reportJson(report);
    const QJsonArray rows = json["rows"].toArray();
    EXPECT_EQ(rows[0]["costSource"].toString(), "estimate");
    EXPECT_EQ(rows[1]["tool"].toString(), "openCode");
    EXPECT_EQ(rows[1]["costSource"].toString(), "agent");
    EXPECT_EQ(rows[1]["costUsd"].toDouble(), 0.1235);  // to the hundredth of a cent
    EXPECT_EQ(rows[2]["costSource"].toString(), "estimate");
    EXPECT_EQ(rows[2]["unpricedModels"].toArray(), QJsonArray{"qwen3-coder-plus"});
    EXPECT_FALSE(rows[1].toObject().contains("unpricedModels"));
    EXPECT_EQ(json["totals"].toObject()["costSource"].toString(), "estimate");  // mixed

    // An unpriced row's cost is not known, not free: no "$0.00", no 0 in the CSV.
    const QStringList lines = reportTable(report).split('\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(lines[3].startsWith("2026-11-01  Qwen Code")) << lines[3].toStdString();
    EXPECT_TRUE(lines[3].endsWith("  -")) << lines[3].toStdString();
    EXPECT_TRUE(lines[2].endsWith("$0.12")) << lines[2].toStdString();
    const QStringList csv = reportCsv(report).split('\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(csv[0].endsWith(",sessions,costSource"));
    EXPECT_EQ(csv[2], "2026-11-01,openCode,10000,0,0,1000,0,0.1235,1,1,agent");
    EXPECT_EQ(csv[3], "2026-11-01,qwenCode,5000,0,0,500,0,,0,1,estimate");

    // OpenCode alone is all the agent's, totals included; nothing at all is an estimate.
    ReportQuery onlyOpen = query(ReportPeriod::daily, "2026-11-01", "2026-11-01");
    onlyOpen.tools = {ProviderKind::openCode};
    const auto totalSource = [&](const std::vector<UsageSlice>& slices) -> QJsonValue {
        return reportJson(buildReport(slices, onlyOpen, utc))["totals"].toObject()["costSource"];
    };
    EXPECT_EQ(totalSource({open, prompt, codex}), "agent");
    EXPECT_EQ(totalSource({}), "estimate");
}

TEST(UsageReportTest, ALogsImpossibleFiguresAreLeftOutOfEverySum) {
    const Hour now = hourOf(QDateTime::currentMSecsSinceEpoch());
    Counts usual;
    usual.input = 1'000;
    usual.output = 100;
    Counts negative = usual;
    negative.output = -5;
    Counts huge = usual;
    huge.input = 1'000'000'000'000'001;  // past 10^15 for one call
    FileEntry entry;
    entry.add(now, "gpt-5", 0, negative);
    entry.add(now, "gpt-5", 0, huge);
    entry.add(now + 48, "gpt-5", 0, usual);  // two days ahead
    EXPECT_TRUE(entry.rows.empty());
    entry.add(now, "gpt-5", 0, usual);
    ASSERT_EQ(entry.rows.size(), 1u);
    EXPECT_EQ(entry.rows[0].counts, usual);
}

}  // namespace
}  // namespace qm::ledger
