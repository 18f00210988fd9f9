#include "providers/ProviderModels.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace qm {

std::int64_t UsageFetchResult::totalCacheTokens() const {
    std::int64_t total = 0;
    for (const UsageBucket& b : buckets)
        total += b.cacheCreationTokens + b.cacheReadTokens + b.cachedInputTokens;
    return total;
}

std::int64_t UsageFetchResult::totalInputTokens() const {
    std::int64_t total = 0;
    for (const UsageBucket& b : buckets) total += b.inputTokens;
    return total;
}

std::int64_t UsageFetchResult::totalOutputTokens() const {
    std::int64_t total = 0;
    for (const UsageBucket& b : buckets) total += b.outputTokens;
    return total;
}

double UsageFetchResult::totalCostUsd() const {
    double total = 0;
    for (const UsageBucket& b : buckets) total += b.costUsd;
    return total;
}

QString description(ProviderUsageRequestError error) {
    switch (error) {
        case ProviderUsageRequestError::invalidUrl:
            return QStringLiteral("Provider request URL could not be created.");
        case ProviderUsageRequestError::invalidResponse:
            break;
    }
    return QStringLiteral("Provider returned an invalid response.");
}

namespace ProviderHttp {
namespace {

std::optional<QString> nonEmptyText(const QJsonValue& value) {
    if (value.isString() && !value.toString().isEmpty()) return value.toString();
    return std::nullopt;
}

}  // namespace

std::optional<QString> errorMessage(const QByteArray& body) {
    if (body.isEmpty()) return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject()) return std::nullopt;
    const QJsonObject root = document.object();
    if (auto text = nonEmptyText(root.value(QLatin1String("message")))) return text;
    const QJsonValue error = root.value(QLatin1String("error"));
    if (auto text = nonEmptyText(error)) return text;
    if (error.isObject()) {
        const QJsonObject inner = error.toObject();
        for (const char* key : {"message", "type", "code"}) {
            if (auto text = nonEmptyText(inner.value(QLatin1String(key)))) return text;
        }
    }
    return nonEmptyText(root.value(QLatin1String("detail")));
}

QString httpError(int statusCode, const QByteArray& body, const QString& fallback) {
    return QStringLiteral("HTTP ") + QString::number(statusCode) + QStringLiteral(": ") +
           errorMessage(body).value_or(fallback);
}

}  // namespace ProviderHttp

void sortBuckets(std::vector<UsageBucket>& buckets) {
    std::sort(buckets.begin(), buckets.end(), [](const UsageBucket& a, const UsageBucket& b) {
        if (a.costUsd != b.costUsd) return a.costUsd > b.costUsd;
        return a.model < b.model;
    });
}

}  // namespace qm
