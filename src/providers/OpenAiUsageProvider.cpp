#include "providers/OpenAiUsageProvider.h"

#include "core/Pricing.h"
#include "providers/ProviderJson.h"

namespace qm {
namespace {

ProviderHeaders openAiHeaders(const QString& apiKey) {
    return {{"Authorization", "Bearer " + apiKey.toUtf8()}};
}

struct Totals {
    std::int64_t input = 0;
    std::int64_t output = 0;
    std::int64_t cached = 0;
};

// Seconds since the epoch, rounded down also before 1970.
std::int64_t floorSeconds(TimeMs ms) {
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

}  // namespace

OpenAiUsageProvider::OpenAiUsageProvider(QString baseUrl, std::chrono::milliseconds timeout)
    : session_(std::move(baseUrl), timeout) {}

QCoro::Task<ProviderValidation> OpenAiUsageProvider::validateKey(QString apiKey) const {
    if (apiKey.trimmed().isEmpty()) co_return ProviderValidation::failure("Empty API key");
    const ProviderHttpSession session = session_;
    const ProviderQuery query{{QStringLiteral("limit"), QStringLiteral("1")}};
    const QString path = QStringLiteral("/v1/organization/projects");
    const ProviderHeaders headers = openAiHeaders(apiKey);
    const ProviderHttpResponse response = co_await session.get(path, query, headers);
    if (response.outcome != ProviderHttpResponse::Outcome::answered)
        co_return ProviderValidation::failure(response.errorText());
    if (response.status == 401) co_return ProviderValidation::failure("Invalid API key (401)");
    if (response.status == 403)
        co_return ProviderValidation::failure("Forbidden - Admin key required (sk-admin-*)");
    if (!response.isSuccess()) {
        co_return ProviderValidation::failure(
            ProviderHttp::httpError(response.status, response.body, QStringLiteral("unknown")));
    }
    ProviderJson::Decoder json;
    const std::optional<QJsonObject> root = json.root(response.body);
    std::optional<QString> organizationId;
    if (root) {
        const std::vector<QJsonObject> projects = json.objects(*root, "data");
        if (!projects.empty()) {
            const std::optional<QString> id = json.string(projects.front(), "id");
            const std::optional<QString> organization =
                json.string(projects.front(), "organization_id");
            organizationId = organization ? organization : id;
        }
    }
    if (json.failed()) co_return ProviderValidation::failure(json.errorText());
    ProviderValidation validation;
    validation.ok = true;
    validation.organizationId = organizationId;
    validation.message = QStringLiteral("Admin key validated.");
    co_return validation;
}

QCoro::Task<UsageFetchResult> OpenAiUsageProvider::fetchUsage(QString apiKey, TimeMs start,
                                                              TimeMs end) const {
    const ProviderHttpSession session = session_;
    const QString startSeconds = QString::number(floorSeconds(start));
    const QString endSeconds = QString::number(floorSeconds(end));
    std::map<QString, Totals> byModel;
    QStringList warnings;
    const QStringList endpoints{QStringLiteral("completions"), QStringLiteral("embeddings")};
    for (const QString& endpoint : endpoints) {
        const ProviderQuery query{{QStringLiteral("start_time"), startSeconds},
                                  {QStringLiteral("end_time"), endSeconds},
                                  {QStringLiteral("bucket_width"), QStringLiteral("1d")},
                                  {QStringLiteral("group_by[]"), QStringLiteral("model")},
                                  {QStringLiteral("limit"), QStringLiteral("180")}};
        const QString path = QStringLiteral("/v1/organization/usage/") + endpoint;
        const ProviderHeaders headers = openAiHeaders(apiKey);
        const ProviderHttpResponse response = co_await session.get(path, query, headers);
        if (response.outcome != ProviderHttpResponse::Outcome::answered)
            co_return UsageFetchResult::failure(response.errorText());
        if (!response.isSuccess()) {
            warnings.append(
                QStringLiteral("usage/") + endpoint + QLatin1Char(' ') +
                ProviderHttp::httpError(response.status, response.body, QStringLiteral("unknown")));
            continue;
        }
        ProviderJson::Decoder json;
        std::map<QString, Totals> endpointTotals;
        if (const std::optional<QJsonObject> root = json.root(response.body)) {
            for (const QJsonObject& bucket : json.objects(*root, "data")) {
                for (const QJsonObject& row : json.objects(bucket, "results")) {
                    const QString model = json.string(row, "model").value_or(QString());
                    Totals& t = endpointTotals[model.isEmpty() ? QStringLiteral("unknown") : model];
                    t.input += json.int64(row, "input_tokens").value_or(0);
                    t.output += json.int64(row, "output_tokens").value_or(0);
                    t.cached += json.int64(row, "input_cached_tokens").value_or(0);
                }
            }
        }
        // A bad answer from either endpoint ends the whole fetch.
        if (json.failed()) co_return UsageFetchResult::failure(json.errorText());
        for (const auto& [model, t] : endpointTotals) {
            Totals& sum = byModel[model];
            sum.input += t.input;
            sum.output += t.output;
            sum.cached += t.cached;
        }
    }

    UsageFetchResult result;
    for (const auto& [model, t] : byModel) {
        UsageBucket bucket;
        bucket.model = model;
        bucket.inputTokens = t.input;
        bucket.outputTokens = t.output;
        bucket.cachedInputTokens = t.cached;
        bucket.costUsd = UsagePricing::openAiCost(model, t.input, t.cached, t.output);
        result.buckets.push_back(std::move(bucket));
    }
    sortBuckets(result.buckets);
    result.warnings = warnings;
    if (warnings.size() == 2) {
        result.errorMessage = warnings.join(QStringLiteral(" / "));
    } else {
        result.ok = true;
    }
    co_return result;
}

}  // namespace qm
