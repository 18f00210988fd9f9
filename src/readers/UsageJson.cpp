#include "readers/UsageJson.h"

#include <QJsonArray>

#include "core/Iso8601.h"

namespace qm::UsageJson {
namespace {

void putTime(QJsonObject& object, const char* key, std::optional<TimeMs> time) {
    if (time) object.insert(QLatin1String(key), Iso8601::formatMs(*time));
}

}  // namespace

QJsonObject toJson(const SessionUsage& session) {
    QJsonObject object{
        {QStringLiteral("id"), session.id},
        {QStringLiteral("provider"), rawValue(session.provider)},
        {QStringLiteral("project"), session.project},
        {QStringLiteral("task"), session.task},
        {QStringLiteral("model"), session.model},
        {QStringLiteral("prompts"), qint64(session.prompts)},
        {QStringLiteral("inputTokens"), qint64(session.inputTokens)},
        {QStringLiteral("outputTokens"), qint64(session.outputTokens)},
        {QStringLiteral("cachedTokens"), qint64(session.cachedTokens)},
        {QStringLiteral("cacheWriteTokens"), qint64(session.cacheWriteTokens)},
        {QStringLiteral("contextTokens"), qint64(session.contextTokens)},
        {QStringLiteral("cost"), session.cost},
    };
    putTime(object, "startedAt", session.startedAt);
    putTime(object, "lastActiveAt", session.lastActiveAt);
    return object;
}

QJsonObject toJson(const ModelUsage& model) {
    return QJsonObject{
        {QStringLiteral("id"), model.id},
        {QStringLiteral("model"), model.model},
        {QStringLiteral("sessions"), qint64(model.sessions)},
        {QStringLiteral("inputTokens"), qint64(model.inputTokens)},
        {QStringLiteral("outputTokens"), qint64(model.outputTokens)},
        {QStringLiteral("cachedTokens"), qint64(model.cachedTokens)},
        {QStringLiteral("cacheWriteTokens"), qint64(model.cacheWriteTokens)},
        {QStringLiteral("contextTokens"), qint64(model.contextTokens)},
        {QStringLiteral("prompts"), qint64(model.prompts)},
        {QStringLiteral("cost"), model.cost},
    };
}

QJsonObject toJson(const PlanWindow& window) {
    QJsonObject object{{QStringLiteral("usedPercent"), window.usedPercent},
                       {QStringLiteral("windowMinutes"), qint64(window.windowMinutes)}};
    putTime(object, "resetsAt", window.resetsAt);
    return object;
}

QJsonObject toJson(const CodexPlanLimits& limits) {
    QJsonObject object{{QStringLiteral("planType"), limits.planType}};
    if (limits.fiveHour) object.insert(QStringLiteral("fiveHour"), toJson(*limits.fiveHour));
    if (limits.weekly) object.insert(QStringLiteral("weekly"), toJson(*limits.weekly));
    putTime(object, "observedAt", limits.observedAt);
    return object;
}

QJsonObject toJson(const ProviderUsage& usage) {
    QJsonArray models;
    for (const ModelUsage& model : usage.models) models.append(toJson(model));
    QJsonArray sessions;
    for (const SessionUsage& session : usage.sessions) sessions.append(toJson(session));
    QJsonObject object{
        {QStringLiteral("kind"), rawValue(usage.kind)},
        {QStringLiteral("providerName"), usage.providerName},
        {QStringLiteral("isAuthenticated"), usage.isAuthenticated},
        {QStringLiteral("statusText"), usage.statusText},
        {QStringLiteral("statusLevel"), rawValue(usage.statusLevel)},
        {QStringLiteral("dataSourceLabel"), usage.dataSourceLabel},
        {QStringLiteral("dataSourceDetail"), usage.dataSourceDetail},
        {QStringLiteral("sessionsTotal"), qint64(usage.sessionsTotal)},
        {QStringLiteral("lastFiveHourSessions"), qint64(usage.lastFiveHourSessions)},
        {QStringLiteral("lastFiveHourPrompts"), qint64(usage.lastFiveHourPrompts)},
        {QStringLiteral("lastFiveHourTokens"), qint64(usage.lastFiveHourTokens)},
        {QStringLiteral("totalInputTokens"), qint64(usage.totalInputTokens)},
        {QStringLiteral("totalOutputTokens"), qint64(usage.totalOutputTokens)},
        {QStringLiteral("totalCachedTokens"), qint64(usage.totalCachedTokens)},
        {QStringLiteral("totalCacheWriteTokens"), qint64(usage.totalCacheWriteTokens)},
        {QStringLiteral("totalContextTokens"), qint64(usage.totalContextTokens)},
        {QStringLiteral("costTotal"), usage.costTotal},
        {QStringLiteral("lastFiveHourCost"), usage.lastFiveHourCost},
        {QStringLiteral("latestProject"), usage.latestProject},
        {QStringLiteral("latestTask"), usage.latestTask},
        {QStringLiteral("latestModel"), usage.latestModel},
        {QStringLiteral("models"), models},
        {QStringLiteral("sessions"), sessions},
        {QStringLiteral("warnings"), QJsonArray::fromStringList(usage.warnings)},
        {QStringLiteral("unpricedModels"), QJsonArray::fromStringList(usage.unpricedModels)},
    };
    putTime(object, "latestActivityAt", usage.latestActivityAt);
    if (usage.planLimits) object.insert(QStringLiteral("planLimits"), toJson(*usage.planLimits));
    return object;
}

}  // namespace qm::UsageJson
