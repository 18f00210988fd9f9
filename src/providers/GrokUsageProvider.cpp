#include "providers/GrokUsageProvider.h"

#include "core/Iso8601.h"
#include "providers/ProviderJson.h"

namespace qm {
namespace {

ProviderHeaders bearer(const QString& apiKey) {
    return {{"Authorization", "Bearer " + apiKey.toUtf8()}};
}

}  // namespace

GrokUsageProvider::GrokUsageProvider(QString baseUrl, std::chrono::milliseconds timeout)
    : session_(std::move(baseUrl), timeout) {}

std::optional<std::int64_t> GrokUsageProvider::parseCreateTime(const std::optional<QString>& text) {
    if (!text || text->isEmpty()) return std::nullopt;
    return Iso8601::parse(*text);
}

QCoro::Task<ProviderValidation> GrokUsageProvider::validateKey(QString apiKey) const {
    if (apiKey.trimmed().isEmpty()) co_return ProviderValidation::failure("Empty API key");
    const ProviderHttpSession session = session_;
    const QString path = QStringLiteral("/v1/api-key");
    const ProviderQuery noQuery;
    const ProviderHeaders headers = bearer(apiKey);
    const ProviderHttpResponse response = co_await session.get(path, noQuery, headers);
    if (response.outcome != ProviderHttpResponse::Outcome::answered)
        co_return ProviderValidation::failure(response.errorText());
    if (response.status == 401) co_return ProviderValidation::failure("Invalid API key (401)");
    if (!response.isSuccess()) {
        co_return ProviderValidation::failure(
            ProviderHttp::httpError(response.status, response.body, QStringLiteral("unknown")));
    }
    ProviderJson::Decoder json;
    ProviderKeyInfo info;
    if (const std::optional<QJsonObject> root = json.root(response.body)) {
        info.name = json.string(*root, "name");
        info.userId = json.string(*root, "user_id");
        info.teamId = json.string(*root, "team_id");
        info.disabled = json.boolean(*root, "api_key_disabled");
        info.createdAt = parseCreateTime(json.string(*root, "create_time"));
        info.allowedModels = json.strings(*root, "allowed_models");
        info.allowedAcls = json.strings(*root, "acls");
    }
    if (json.failed()) co_return ProviderValidation::failure(json.errorText());
    ProviderValidation validation;
    validation.ok = true;  // a disabled key is still a valid answer; keyInfo says so
    validation.keyInfo = info;
    validation.message =
        QStringLiteral("API key validated. xAI does not expose organization usage reporting.");
    co_return validation;
}

QCoro::Task<GrokUsageProvider::ModelList> GrokUsageProvider::listModels(QString apiKey) const {
    const ProviderHttpSession session = session_;
    const QString path = QStringLiteral("/v1/models");
    const ProviderQuery noQuery;
    const ProviderHeaders headers = bearer(apiKey);
    const ProviderHttpResponse response = co_await session.get(path, noQuery, headers);
    ModelList list;
    if (response.outcome != ProviderHttpResponse::Outcome::answered) {
        list.errorMessage = response.errorText();
        co_return list;
    }
    if (!response.isSuccess()) {
        list.errorMessage =
            ProviderHttp::httpError(response.status, response.body, QStringLiteral("unknown"));
        co_return list;
    }
    ProviderJson::Decoder json;
    QStringList models;
    if (const std::optional<QJsonObject> root = json.root(response.body)) {
        for (const QJsonObject& model : json.objects(*root, "data")) {
            if (const std::optional<QString> id = json.string(model, "id")) models.append(*id);
        }
    }
    if (json.failed()) {
        list.errorMessage = json.errorText();
        co_return list;
    }
    list.ok = true;
    list.models = models;
    co_return list;
}

GeminiUsageProvider::GeminiUsageProvider(QString baseUrl, std::chrono::milliseconds timeout)
    : session_(std::move(baseUrl), timeout) {}

QCoro::Task<ProviderValidation> GeminiUsageProvider::validateKey(QString apiKey) const {
    if (apiKey.trimmed().isEmpty()) co_return ProviderValidation::failure("Empty API key");
    const ProviderHttpSession session = session_;
    const ProviderQuery query{{QStringLiteral("key"), apiKey}};
    const QString path = QStringLiteral("/v1beta/models");
    const ProviderHeaders noHeaders;
    const ProviderHttpResponse response = co_await session.get(path, query, noHeaders);
    if (response.outcome != ProviderHttpResponse::Outcome::answered)
        co_return ProviderValidation::failure(response.errorText());
    if (response.status == 401 || response.status == 403)
        co_return ProviderValidation::failure("Invalid API key (401/403)");
    if (!response.isSuccess()) {
        co_return ProviderValidation::failure(
            ProviderHttp::httpError(response.status, response.body, QStringLiteral("unknown")));
    }
    ProviderJson::Decoder json;
    int count = 0;
    if (const std::optional<QJsonObject> root = json.root(response.body)) {
        const std::vector<QJsonObject> models = json.objects(*root, "models");
        for (const QJsonObject& model : models) json.string(model, "name");
        count = int(models.size());
    }
    if (json.failed()) co_return ProviderValidation::failure(json.errorText());
    ProviderKeyInfo info;
    info.modelCount = count;
    ProviderValidation validation;
    validation.ok = true;
    validation.keyInfo = info;
    validation.message = QStringLiteral("Validation OK (") + QString::number(count) +
                         QStringLiteral(" models). Gemini usage API is not available.");
    co_return validation;
}

}  // namespace qm
