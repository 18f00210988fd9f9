#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/ClaudeUsageModel.h"
#include "core/Iso8601.h"
#include "support/QtPrinters.h"

using namespace qm;

namespace {

UsageApiResponse decodeOk(const QByteArray& json) {
    auto r = UsageApiResponse::decode(json);
    EXPECT_TRUE(r.has_value()) << json.toStdString();
    return r.value_or(UsageApiResponse{});
}

TimeMs at(const char* iso) {
    return *Iso8601::parse(std::string_view(iso));
}

const TimeMs kNow = at("2025-06-01T12:00:00Z");

}  // namespace

// Every key spelling lands in its own field and in no other.
struct AliasCase {
    const char* key;
    std::optional<UsageCategory> UsageApiResponse::*category;
    std::optional<RoutineUsage> UsageApiResponse::*routine;
    std::optional<ExtraUsage> UsageApiResponse::*extra;
};

class UsageApiResponseAlias : public ::testing::TestWithParam<AliasCase> {};

TEST_P(UsageApiResponseAlias, KeyFillsItsOwnFieldOnly) {
    const AliasCase c = GetParam();
    const QByteArray body = c.extra ? R"({"is_enabled":true,"used_credits":2.5})"
                                    : R"({"utilization":12.5,"resets_at":"R","used":4})";
    const UsageApiResponse r = decodeOk(QByteArray("{\"") + c.key + "\":" + body + "}");
    UsageApiResponse expected;
    if (c.category) expected.*c.category = UsageCategory{12.5, QStringLiteral("R"), {}};
    if (c.routine) {
        RoutineUsage routine;
        routine.utilization = 12.5;
        routine.used = 4;
        routine.resetsAt = QStringLiteral("R");
        expected.*c.routine = routine;
    }
    if (c.extra) expected.*c.extra = ExtraUsage{true, {}, 2.5, {}};
    EXPECT_EQ(r, expected) << c.key;
}

INSTANTIATE_TEST_SUITE_P(
    EveryKey, UsageApiResponseAlias,
    ::testing::Values(
        AliasCase{"five_hour", &UsageApiResponse::fiveHour, {}, {}},
        AliasCase{"fiveHour", &UsageApiResponse::fiveHourAlt, {}, {}},
        AliasCase{"session", &UsageApiResponse::session, {}, {}},
        AliasCase{"current_session", &UsageApiResponse::currentSession, {}, {}},
        AliasCase{"seven_day", &UsageApiResponse::sevenDay, {}, {}},
        AliasCase{"sevenDay", &UsageApiResponse::sevenDayAlt, {}, {}},
        AliasCase{"weekly", &UsageApiResponse::weekly, {}, {}},
        AliasCase{"seven_day_all", &UsageApiResponse::sevenDayAll, {}, {}},
        AliasCase{"seven_day_all_models", &UsageApiResponse::sevenDayAllModels, {}, {}},
        AliasCase{"seven_day_sonnet", &UsageApiResponse::sevenDaySonnet, {}, {}},
        AliasCase{"sevenDaySonnet", &UsageApiResponse::sevenDaySonnetAlt, {}, {}},
        AliasCase{"seven_day_opus", &UsageApiResponse::sevenDayOpus, {}, {}},
        AliasCase{"sevenDayOpus", &UsageApiResponse::sevenDayOpusAlt, {}, {}},
        AliasCase{"seven_day_claude_design", &UsageApiResponse::sevenDayClaudeDesign, {}, {}},
        AliasCase{"sevenDayClaudeDesign", &UsageApiResponse::sevenDayClaudeDesignAlt, {}, {}},
        AliasCase{"seven_day_design", &UsageApiResponse::sevenDayDesign, {}, {}},
        AliasCase{"claude_design", &UsageApiResponse::claudeDesign, {}, {}},
        AliasCase{"design", &UsageApiResponse::design, {}, {}},
        AliasCase{"daily_routines", {}, &UsageApiResponse::dailyRoutines, {}},
        AliasCase{"dailyRoutines", {}, &UsageApiResponse::dailyRoutinesAlt, {}},
        AliasCase{"routines", {}, &UsageApiResponse::routines, {}},
        AliasCase{"routine_executions", {}, &UsageApiResponse::routineExecutions, {}},
        AliasCase{"daily_routine_executions", {}, &UsageApiResponse::dailyRoutineExecutions, {}},
        AliasCase{"extra_usage", {}, {}, &UsageApiResponse::extraUsage},
        AliasCase{"extraUsage", {}, {}, &UsageApiResponse::extraUsageAlt}));

TEST(UsageApiResponse, NullsAndAbsentKeysGiveNoValueOrDefaults) {
    const UsageApiResponse r = decodeOk(
        R"({"five_hour":null,"seven_day":{"utilization":null,"resets_at":null,"reset_at":"B"},)"
        R"("extra_usage":{"is_enabled":null},"daily_routines":{"limit":null,"max":7},)"
        R"("Five_Hour":{"utilization":"ignored"},"unknown":[1,2,3]})");
    EXPECT_FALSE(r.fiveHour);
    ASSERT_TRUE(r.sevenDay);
    EXPECT_EQ(*r.sevenDay, (UsageCategory{0, {}, QStringLiteral("B")}));
    ASSERT_TRUE(r.extraUsage);
    EXPECT_EQ(*r.extraUsage, ExtraUsage{});
    ASSERT_TRUE(r.dailyRoutines);
    EXPECT_FALSE(r.dailyRoutines->limit);
    EXPECT_EQ(r.dailyRoutines->max, 7);
    EXPECT_EQ(decodeOk("{}"), UsageApiResponse{});
}

TEST(UsageApiResponse, AnyWrongTypeFailsTheWholeAnswer) {
    const char* bad[] = {
        R"({"five_hour":{"utilization":"42"}})",      // numeric text is no number
        R"({"five_hour":{"resets_at":1735707600}})",  // a number is no text
        R"({"five_hour":"full"})",                    // a window must be an object
        R"({"seven_day":[]})",                        //
        R"({"extra_usage":{"is_enabled":1}})",        // no number-to-boolean coercion
        R"({"extra_usage":{"used_credits":"3"}})",    //
        R"({"daily_routines":{"used":2.5}})",         // integers must be whole
        R"({"daily_routines":{"limit":1e30}})",       // and fit
        R"({"daily_routines":{"used":true}})",        //
        R"({"routines":{"utilization":"x"}})",        // even a field the snapshot ignores
        R"({"weekly":{"utilization":5},"design":{"utilization":false}})",
        R"([{"five_hour":{"utilization":1}}])",  // the top level must be an object
        R"("text")",                             //
        R"({"five_hour":{"utilization":1})",     // not JSON at all
        "",                                      //
    };
    for (const char* json : bad) {
        EXPECT_FALSE(UsageApiResponse::decode(json)) << json;
    }
}

TEST(UsageApiResponse, WholeNumbersInAnyFormAreIntegers) {
    const UsageApiResponse r =
        decodeOk(R"({"routines":{"used":3.0,"limit":-2,"daily_limit":9007199254740993}})");
    EXPECT_EQ(r.routines->used, 3);
    EXPECT_EQ(r.routines->limit, -2);
    EXPECT_EQ(r.routines->dailyLimit, 9007199254740993LL);
}

// Each group takes the first present alias; the utilisation tells which one won.
struct PreferenceCase {
    const char* group;
    std::vector<const char*> keys;  // most preferred first
};

class LatestClaudeUsagePreference : public ::testing::TestWithParam<PreferenceCase> {};

TEST_P(LatestClaudeUsagePreference, FirstPresentAliasWins) {
    const PreferenceCase c = GetParam();
    const QString group = QString::fromLatin1(c.group);
    for (std::size_t first = 0; first < c.keys.size(); ++first) {
        QByteArray json = "{";
        for (std::size_t i = first; i < c.keys.size(); ++i) {
            const QByteArray n = QByteArray::number(qulonglong(i + 1));
            if (i > first) json += ',';
            json += QByteArray("\"") + c.keys[i] + "\":";
            json += group == "routine" ? "{\"used\":" + n + ",\"limit\":10}"
                    : group == "extra" ? "{\"used_credits\":" + n + "}"
                                       : "{\"utilization\":" + n + "}";
        }
        json += "}";
        const LatestClaudeUsage u = LatestClaudeUsage::fromResponse(decodeOk(json), kNow);
        const double want = double(first + 1);
        const double got = group == "session"  ? u.sessionPct
                           : group == "week"   ? u.weekPct
                           : group == "sub"    ? u.subPct
                           : group == "design" ? u.designPct
                           : group == "routine"
                               ? double(u.routineUsed)
                               : u.extra.value_or(ExtraUsage{}).usedCredits.value_or(-1);
        EXPECT_EQ(got, want) << json.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Groups, LatestClaudeUsagePreference,
    ::testing::Values(
        PreferenceCase{"session", {"five_hour", "fiveHour", "session", "current_session"}},
        PreferenceCase{
            "week", {"seven_day", "sevenDay", "weekly", "seven_day_all", "seven_day_all_models"}},
        PreferenceCase{"sub",
                       {"seven_day_sonnet", "sevenDaySonnet", "seven_day_opus", "sevenDayOpus"}},
        PreferenceCase{"design",
                       {"seven_day_claude_design", "sevenDayClaudeDesign", "seven_day_design",
                        "claude_design", "design"}},
        PreferenceCase{"routine",
                       {"daily_routines", "dailyRoutines", "daily_routine_executions",
                        "routine_executions", "routines"}},
        PreferenceCase{"extra", {"extra_usage", "extraUsage"}}),
    [](const auto& info) { return std::string(info.param.group); });

TEST(LatestClaudeUsage, WinningWindowIsTakenWholeAndResetsAtBeatsResetAt) {
    const LatestClaudeUsage u = LatestClaudeUsage::fromResponse(
        decodeOk(R"({"five_hour":{"utilization":10},"session":{"utilization":90,"resets_at":"S"},)"
                 R"("seven_day":{"resets_at":"","reset_at":"ignored"},)"
                 R"("claude_design":{"reset_at":"D"}})"),
        kNow);
    EXPECT_EQ(u.sessionPct, 10);
    EXPECT_EQ(u.sessionResetAt, std::nullopt);
    EXPECT_EQ(u.weekResetAt, QString());  // empty, not the other spelling
    EXPECT_TRUE(u.hasDesign);             // present, utilisation 0
    EXPECT_EQ(u.designPct, 0);
    EXPECT_EQ(u.designResetAt, QStringLiteral("D"));
}

TEST(LatestClaudeUsage, PerModelFiguresFollowSonnetOverOpus) {
    const QByteArray opus =
        R"("seven_day_opus":{"utilization":60,"resets_at":"2025-06-02T00:00:00Z"})";
    LatestClaudeUsage u = LatestClaudeUsage::fromResponse(decodeOk("{" + opus + "}"), kNow);
    EXPECT_EQ(u.subModelName, QStringLiteral("Opus"));
    EXPECT_EQ(u.subPct, 60);
    u = LatestClaudeUsage::fromResponse(
        decodeOk("{" + opus + R"(,"sevenDaySonnet":{"utilization":25}})"), kNow);
    EXPECT_EQ(u.subModelName, QStringLiteral("Sonnet"));
    EXPECT_EQ(u.subPct, 25);
}

TEST(LatestClaudeUsage, PerModelResetFallsBackToTheWeekWhenUnusable) {
    struct Case {
        const char* sonnetReset;  // nullptr: no reset key; "-": no per-model window
        std::optional<QString> expected;
    };
    const QString week = QStringLiteral("2025-06-07T00:00:00Z");
    const Case cases[] = {
        {"2025-06-01T11:59:59Z", week},                                              // past
        {"2025-06-01T12:00:00.000+00:00", week},                                     // exactly now
        {"2025-06-01T14:00:01+02:00", QStringLiteral("2025-06-01T14:00:01+02:00")},  // future
        {"next tuesday", QStringLiteral("next tuesday")},                            // verbatim
        {"", week},
        {nullptr, week},
        {"-", week},
    };
    for (const Case& c : cases) {
        QByteArray json = R"({"seven_day":{"resets_at":"2025-06-07T00:00:00Z"})";
        if (!c.sonnetReset) {
            json += R"(,"seven_day_sonnet":{"utilization":1})";
        } else if (QByteArray(c.sonnetReset) != "-") {
            json += QByteArray(R"(,"seven_day_sonnet":{"resets_at":")") + c.sonnetReset + "\"}";
        }
        json += "}";
        EXPECT_EQ(LatestClaudeUsage::fromResponse(decodeOk(json), kNow).subResetAt, c.expected)
            << json.toStdString();
    }
    // Without a weekly window there is nothing to fall back to.
    EXPECT_EQ(LatestClaudeUsage::fromResponse(
                  decodeOk(R"({"seven_day_sonnet":{"resets_at":"2020-01-01T00:00:00Z"}})"), kNow)
                  .subResetAt,
              std::nullopt);
}

TEST(LatestClaudeUsage, RoutineTakesFirstPresentCountAndLimit) {
    LatestClaudeUsage u = LatestClaudeUsage::fromResponse(
        decodeOk(R"({"routines":{"count":3,"max":0,"daily_limit":5,"utilization":99}})"), kNow);
    EXPECT_EQ(u.routineUsed, 3);
    EXPECT_EQ(u.routineLimit, 0);  // max is present, so daily_limit is not looked at
    EXPECT_FALSE(u.hasRoutine);

    u = LatestClaudeUsage::fromResponse(
        decodeOk(R"({"routine_executions":{"executions":2,"daily_limit":5,"reset_at":"T"},)"
                 R"("routines":{"used":9,"limit":9}})"),
        kNow);
    EXPECT_EQ(u.routineUsed, 2);
    EXPECT_EQ(u.routineLimit, 5);
    EXPECT_TRUE(u.hasRoutine);
    EXPECT_EQ(u.routineResetAt, QStringLiteral("T"));
}

TEST(LatestClaudeUsage, PercentagesPassThroughExceptNaN) {
    UsageApiResponse r;
    r.fiveHour = UsageCategory{std::numeric_limits<double>::quiet_NaN(), {}, {}};
    r.sevenDay = UsageCategory{130, {}, {}};
    r.sevenDayOpus = UsageCategory{-5, {}, {}};
    r.design = UsageCategory{std::numeric_limits<double>::infinity(), {}, {}};
    const LatestClaudeUsage u = LatestClaudeUsage::fromResponse(r, kNow);
    EXPECT_EQ(u.sessionPct, 0);
    EXPECT_EQ(u.weekPct, 130);
    EXPECT_EQ(u.subPct, -5);
    EXPECT_TRUE(std::isinf(u.designPct));
}
