#include "core/ClaudeUsageModel.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <cmath>

#include "core/Iso8601.h"

namespace qm {
namespace {

// Reads optional members of one JSON object; a member of the wrong type marks the whole
// decode as failed, the way a strict typed decoder would.
class Members {
public:
    Members(const QJsonObject& object, bool& failed) : object_(object), failed_(failed) {}

    std::optional<QJsonValue> present(const char* key) const {
        const QJsonValue v = object_.value(QLatin1String(key));
        if (v.isUndefined() || v.isNull()) return std::nullopt;
        return v;
    }

    std::optional<double> number(const char* key) const {
        const auto v = present(key);
        if (!v) return std::nullopt;
        if (!v->isDouble()) return fail<double>();
        return v->toDouble();
    }

    std::optional<std::int64_t> integer(const char* key) const {
        const auto v = present(key);
        if (!v) return std::nullopt;
        if (!v->isDouble()) return fail<std::int64_t>();
        const double d = v->toDouble();
        // Only whole numbers that fit; a cast of anything else would be undefined.
        if (d != std::trunc(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
            return fail<std::int64_t>();
        }
        return v->toInteger(static_cast<std::int64_t>(d));
    }

    std::optional<QString> text(const char* key) const {
        const auto v = present(key);
        if (!v) return std::nullopt;
        if (!v->isString()) return fail<QString>();
        return v->toString();
    }

    std::optional<bool> boolean(const char* key) const {
        const auto v = present(key);
        if (!v) return std::nullopt;
        if (!v->isBool()) return fail<bool>();
        return v->toBool();
    }

    std::optional<QJsonObject> object(const char* key) const {
        const auto v = present(key);
        if (!v) return std::nullopt;
        if (!v->isObject()) return fail<QJsonObject>();
        return v->toObject();
    }

private:
    template <typename T>
    std::optional<T> fail() const {
        failed_ = true;
        return std::nullopt;
    }

    const QJsonObject& object_;
    bool& failed_;
};

std::optional<UsageCategory> category(const Members& parent, const char* key, bool& failed) {
    const auto o = parent.object(key);
    if (!o) return std::nullopt;
    const Members m(*o, failed);
    UsageCategory c;
    c.utilization = m.number("utilization").value_or(0);
    c.resetsAt = m.text("resets_at");
    c.resetAt = m.text("reset_at");
    return c;
}

std::optional<RoutineUsage> routine(const Members& parent, const char* key, bool& failed) {
    const auto o = parent.object(key);
    if (!o) return std::nullopt;
    const Members m(*o, failed);
    RoutineUsage r;
    r.utilization = m.number("utilization");
    r.used = m.integer("used");
    r.count = m.integer("count");
    r.executions = m.integer("executions");
    r.limit = m.integer("limit");
    r.max = m.integer("max");
    r.dailyLimit = m.integer("daily_limit");
    r.resetsAt = m.text("resets_at");
    r.resetAt = m.text("reset_at");
    return r;
}

std::optional<ExtraUsage> extra(const Members& parent, const char* key, bool& failed) {
    const auto o = parent.object(key);
    if (!o) return std::nullopt;
    const Members m(*o, failed);
    ExtraUsage e;
    e.isEnabled = m.boolean("is_enabled").value_or(false);
    e.monthlyLimit = m.number("monthly_limit");
    e.usedCredits = m.number("used_credits");
    e.utilization = m.number("utilization");
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
    bool failed = false;
    const Members m(root, failed);
    UsageApiResponse r;
    r.fiveHour = category(m, "five_hour", failed);
    r.fiveHourAlt = category(m, "fiveHour", failed);
    r.session = category(m, "session", failed);
    r.currentSession = category(m, "current_session", failed);
    r.sevenDay = category(m, "seven_day", failed);
    r.sevenDayAlt = category(m, "sevenDay", failed);
    r.weekly = category(m, "weekly", failed);
    r.sevenDayAll = category(m, "seven_day_all", failed);
    r.sevenDayAllModels = category(m, "seven_day_all_models", failed);
    r.sevenDaySonnet = category(m, "seven_day_sonnet", failed);
    r.sevenDaySonnetAlt = category(m, "sevenDaySonnet", failed);
    r.sevenDayOpus = category(m, "seven_day_opus", failed);
    r.sevenDayOpusAlt = category(m, "sevenDayOpus", failed);
    r.sevenDayClaudeDesign = category(m, "seven_day_claude_design", failed);
    r.sevenDayClaudeDesignAlt = category(m, "sevenDayClaudeDesign", failed);
    r.sevenDayDesign = category(m, "seven_day_design", failed);
    r.claudeDesign = category(m, "claude_design", failed);
    r.design = category(m, "design", failed);
    r.dailyRoutines = routine(m, "daily_routines", failed);
    r.dailyRoutinesAlt = routine(m, "dailyRoutines", failed);
    r.routines = routine(m, "routines", failed);
    r.routineExecutions = routine(m, "routine_executions", failed);
    r.dailyRoutineExecutions = routine(m, "daily_routine_executions", failed);
    r.extraUsage = extra(m, "extra_usage", failed);
    r.extraUsageAlt = extra(m, "extraUsage", failed);
    if (failed) return std::nullopt;
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
    if (!subReset || subReset->isEmpty()) {
        u.subResetAt = u.weekResetAt;
    } else if (const auto when = ClaudeUsageDateParser::date(*subReset); when && *when <= now) {
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
