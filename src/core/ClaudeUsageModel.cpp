#include "core/ClaudeUsageModel.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <cmath>

#include "core/Iso8601.h"
#include "core/JsonFields.h"

namespace qm {
namespace {

std::optional<UsageCategory> category(JsonFields& f, const QJsonObject& parent, const char* key) {
    const auto o = f.object(parent, key);
    if (!o) return std::nullopt;
    UsageCategory c;
    c.utilization = f.number(*o, "utilization").value_or(0);
    c.resetsAt = f.string(*o, "resets_at");
    c.resetAt = f.string(*o, "reset_at");
    return c;
}

std::optional<RoutineUsage> routine(JsonFields& f, const QJsonObject& parent, const char* key) {
    const auto o = f.object(parent, key);
    if (!o) return std::nullopt;
    RoutineUsage r;
    r.utilization = f.number(*o, "utilization");
    r.used = f.int64(*o, "used");
    r.count = f.int64(*o, "count");
    r.executions = f.int64(*o, "executions");
    r.limit = f.int64(*o, "limit");
    r.max = f.int64(*o, "max");
    r.dailyLimit = f.int64(*o, "daily_limit");
    r.resetsAt = f.string(*o, "resets_at");
    r.resetAt = f.string(*o, "reset_at");
    return r;
}

std::optional<ExtraUsage> extra(JsonFields& f, const QJsonObject& parent, const char* key) {
    const auto o = f.object(parent, key);
    if (!o) return std::nullopt;
    ExtraUsage e;
    e.isEnabled = f.boolean(*o, "is_enabled").value_or(false);
    e.monthlyLimit = f.number(*o, "monthly_limit");
    e.usedCredits = f.number(*o, "used_credits");
    e.utilization = f.number(*o, "utilization");
    return e;
}

template <typename T>
const std::optional<T>& firstPresent(std::initializer_list<const std::optional<T>*> candidates) {
    static const std::optional<T> none;
    for (const auto* c : candidates) {
        if (c->has_value()) return *c;
    }
    return none;
}

std::optional<QString> resetText(const std::optional<UsageCategory>& c) {
    if (!c) return std::nullopt;
    return c->resetsAt ? c->resetsAt : c->resetAt;
}

double percent(const std::optional<UsageCategory>& c) {
    if (!c || std::isnan(c->utilization)) return 0;
    return c->utilization;
}

}  // namespace

std::optional<UsageApiResponse> UsageApiResponse::decode(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    const QJsonObject root = doc.object();
    JsonFields f;
    UsageApiResponse r;
    r.fiveHour = category(f, root, "five_hour");
    r.fiveHourAlt = category(f, root, "fiveHour");
    r.session = category(f, root, "session");
    r.currentSession = category(f, root, "current_session");
    r.sevenDay = category(f, root, "seven_day");
    r.sevenDayAlt = category(f, root, "sevenDay");
    r.weekly = category(f, root, "weekly");
    r.sevenDayAll = category(f, root, "seven_day_all");
    r.sevenDayAllModels = category(f, root, "seven_day_all_models");
    r.sevenDaySonnet = category(f, root, "seven_day_sonnet");
    r.sevenDaySonnetAlt = category(f, root, "sevenDaySonnet");
    r.sevenDayOpus = category(f, root, "seven_day_opus");
    r.sevenDayOpusAlt = category(f, root, "sevenDayOpus");
    r.sevenDayClaudeDesign = category(f, root, "seven_day_claude_design");
    r.sevenDayClaudeDesignAlt = category(f, root, "sevenDayClaudeDesign");
    r.sevenDayDesign = category(f, root, "seven_day_design");
    r.claudeDesign = category(f, root, "claude_design");
    r.design = category(f, root, "design");
    r.dailyRoutines = routine(f, root, "daily_routines");
    r.dailyRoutinesAlt = routine(f, root, "dailyRoutines");
    r.routines = routine(f, root, "routines");
    r.routineExecutions = routine(f, root, "routine_executions");
    r.dailyRoutineExecutions = routine(f, root, "daily_routine_executions");
    r.extraUsage = extra(f, root, "extra_usage");
    r.extraUsageAlt = extra(f, root, "extraUsage");
    if (f.failed()) return std::nullopt;
    return r;
}

LatestClaudeUsage LatestClaudeUsage::fromResponse(const UsageApiResponse& r, TimeMs now) {
    const auto& sessionWindow =
        firstPresent<UsageCategory>({&r.fiveHour, &r.fiveHourAlt, &r.session, &r.currentSession});
    const auto& weekWindow = firstPresent<UsageCategory>(
        {&r.sevenDay, &r.sevenDayAlt, &r.weekly, &r.sevenDayAll, &r.sevenDayAllModels});
    const auto& subWindow = firstPresent<UsageCategory>(
        {&r.sevenDaySonnet, &r.sevenDaySonnetAlt, &r.sevenDayOpus, &r.sevenDayOpusAlt});
    const auto& designWindow =
        firstPresent<UsageCategory>({&r.sevenDayClaudeDesign, &r.sevenDayClaudeDesignAlt,
                                     &r.sevenDayDesign, &r.claudeDesign, &r.design});
    const auto& routineWindow =
        firstPresent<RoutineUsage>({&r.dailyRoutines, &r.dailyRoutinesAlt,
                                    &r.dailyRoutineExecutions, &r.routineExecutions, &r.routines});

    LatestClaudeUsage u;
    u.sessionPct = percent(sessionWindow);
    u.sessionResetAt = resetText(sessionWindow);
    u.weekPct = percent(weekWindow);
    u.weekResetAt = resetText(weekWindow);
    u.subPct = percent(subWindow);
    u.subModelName = (r.sevenDaySonnet || r.sevenDaySonnetAlt) ? QStringLiteral("Sonnet")
                                                               : QStringLiteral("Opus");

    // A per-model reset that is missing or already past says nothing useful; the weekly reset
    // is the next time the figure can change. Unparseable text is shown as it came.
    const auto subReset = resetText(subWindow);
    const bool saysNothing = !subReset || subReset->isEmpty() || [&] {
        const auto when = ClaudeUsageDateParser::date(*subReset);
        return when && *when <= now;
    }();
    if (saysNothing) {
        u.subResetAt = u.weekResetAt;
    } else {
        u.subResetAt = subReset;
    }

    u.hasDesign = designWindow.has_value();
    u.designPct = percent(designWindow);
    u.designResetAt = resetText(designWindow);

    if (routineWindow) {
        const RoutineUsage& rt = *routineWindow;
        u.routineUsed = rt.used ? *rt.used : rt.count ? *rt.count : rt.executions.value_or(0);
        u.routineLimit = rt.limit ? *rt.limit : rt.max ? *rt.max : rt.dailyLimit.value_or(0);
        u.routineResetAt = rt.resetsAt ? rt.resetsAt : rt.resetAt;
        u.hasRoutine = u.routineLimit > 0;
    }

    u.extra = firstPresent<ExtraUsage>({&r.extraUsage, &r.extraUsageAlt});
    return u;
}

namespace ClaudeUsageDateParser {

std::optional<TimeMs> date(const QString& text) {
    return Iso8601::parse(text);
}

}  // namespace ClaudeUsageDateParser

}  // namespace qm
