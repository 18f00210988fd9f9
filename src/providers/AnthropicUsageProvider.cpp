#include "providers/AnthropicUsageProvider.h"

#include <map>

#include "core/Iso8601.h"
#include "core/Pricing.h"
#include "providers/ProviderJson.h"

namespace qm {
namespace {

ProviderHeaders anthropicHeaders(const QString& apiKey) {
    return {{"x-api-key", apiKey.toUtf8()}, {"anthropic-version", "2023-06-01"}};
}

}  // namespace

AnthropicUsageProvider::AnthropicUsageProvider(QString baseUrl, std::chrono::milliseconds timeout)
    : session_(std::move(baseUrl), timeout) {}

QCoro::Task<ProviderValidation> AnthropicUsageProvider::validateKey(QString apiKey) const {
    if (apiKey.trimmed().isEmpty()) co_return ProviderValidation::failure("Empty API key");
    const ProviderHttpSession session = session_;
    const QString path = QStringLiteral("/v1/organizations");
    const ProviderQuery noQuery;
    const ProviderHeaders headers = anthropicHeaders(apiKey);
    const ProviderHttpResponse response = co_await session.get(path, noQuery, headers);
    if (response.outcome != ProviderHttpResponse::Outcome::answered)
        co_return ProviderValidation::failure(response.errorText());
    if (response.status == 401) co_return ProviderValidation::failure("Invalid API key (401)");
    if (response.status == 403)
        co_return ProviderValidation::failure("Forbidden - Admin key required (403)");
    if (!response.isSuccess()) {
        co_return ProviderValidation::failure(
            ProviderHttp::httpError(response.status, response.body, QStringLiteral("unknown")));
    }
    ProviderJson::Decoder json;
    const std::optional<QJsonObject> root = json.root(response.body);
    std::vector<QJsonObject> organizations;
    if (root) organizations = json.objects(*root, "data", /*required=*/true);
    std::optional<QString> organizationId;
    if (!organizations.empty()) organizationId = json.string(organizations.front(), "id");
    if (json.failed()) co_return ProviderValidation::failure(json.errorText());

    ProviderValidation validation;
    validation.ok = true;
    validation.organizationId = organizationId;
    validation.message = QStringLiteral("Admin key validated.");
    co_return validation;
}

QCoro::Task<UsageFetchResult> AnthropicUsageProvider::fetchUsage(QString apiKey, TimeMs start,
                                                                 TimeMs end) const {
    const ProviderHttpSession session = session_;
    const ProviderQuery query{{QStringLiteral("starting_at"), Iso8601::formatSeconds(start)},
                              {QStringLiteral("ending_at"), Iso8601::formatSeconds(end)},
                              {QStringLiteral("bucket_width"), QStringLiteral("1d")},
                              {QStringLiteral("group_by[]"), QStringLiteral("model")}};
    const QString path = QStringLiteral("/v1/organizations/usage_report/messages");
    const ProviderHeaders headers = anthropicHeaders(apiKey);
    const ProviderHttpResponse response = co_await session.get(path, query, headers);
    if (response.outcome != ProviderHttpResponse::Outcome::answered)
        co_return UsageFetchResult::failure(response.errorText());
    if (!response.isSuccess()) {
        co_return UsageFetchResult::failure(
            ProviderHttp::httpError(response.status, response.body, QStringLiteral("unknown")));
    }
    QString error;
    std::optional<std::vector<UsageBucket>> buckets = bucketsFromReport(response.body, &error);
    if (!buckets) co_return UsageFetchResult::failure(error);
    UsageFetchResult result;
    result.ok = true;
    result.buckets = std::move(*buckets);
    co_return result;
}

std::optional<std::vector<UsageBucket>> AnthropicUsageProvider::bucketsFromReport(
    const QByteArray& body, QString* error) {
    ProviderJson::Decoder json;
    const std::optional<QJsonObject> root = json.root(body);
    std::map<QString, UsageBucket> byModel;
    if (root) {
        for (const QJsonObject& bucket : json.objects(*root, "data")) {
            for (const QJsonObject& row : json.objects(bucket, "results")) {
                const QString model = json.string(row, "model").value_or(QString());
                const QString name = model.isEmpty() ? QStringLiteral("unknown") : model;
                // A present uncached count wins over the total, even when it is zero.
                const std::optional<std::int64_t> uncached =
                    json.int64(row, "uncached_input_tokens");
                const std::optional<std::int64_t> input = json.int64(row, "input_tokens");
                const std::int64_t output = json.int64(row, "output_tokens").value_or(0);
                const std::int64_t creation =
                    json.int64(row, "cache_creation_input_tokens").value_or(0);
                const std::int64_t read = json.int64(row, "cache_read_input_tokens").value_or(0);
                const double cost = json.number(row, "cost").value_or(0);
                UsageBucket& sum = byModel[name];
                sum.model = name;
                sum.inputTokens += uncached ? *uncached : input.value_or(0);
                sum.outputTokens += output;
                sum.cacheCreationTokens += creation;
                sum.cacheReadTokens += read;
                sum.costUsd += cost;
            }
        }
    }
    if (json.failed()) {
        if (error) *error = json.errorText();
        return std::nullopt;
    }
    std::vector<UsageBucket> buckets;
    for (auto& [name, bucket] : byModel) {
        if (bucket.costUsd <= 0) {
            // The report's cache writes carry no lifetime here: priced as five-minute writes.
            bucket.costUsd =
                UsagePricing::anthropicCost(name, {.input = bucket.inputTokens,
                                                   .output = bucket.outputTokens,
                                                   .cacheRead = bucket.cacheReadTokens,
                                                   .cacheWrite5m = bucket.cacheCreationTokens});
        }
        buckets.push_back(bucket);
    }
    sortBuckets(buckets);
    return buckets;
}

}  // namespace qm
