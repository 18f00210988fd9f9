#include "support/FakeProviderServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QUrl>

#include "support/FakeHttp.h"

namespace qm::test {
namespace {

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Rows given as JSON text inside day buckets under "data" / "results".
QByteArray daysOf(const std::vector<std::vector<QByteArray>>& days, const char* bucketType) {
    QJsonArray data;
    qint64 start = 1'780'000'000;
    for (const auto& rows : days) {
        QJsonArray results;
        for (const QByteArray& row : rows) results.append(QJsonDocument::fromJson(row).object());
        data.append(QJsonObject{{QStringLiteral("object"), QLatin1String(bucketType)},
                                {QStringLiteral("start_time"), start},
                                {QStringLiteral("end_time"), start + 86'400},
                                {QStringLiteral("results"), results}});
        start += 86'400;
    }
    return compact(QJsonObject{{QStringLiteral("object"), QStringLiteral("page")},
                               {QStringLiteral("data"), data},
                               {QStringLiteral("has_more"), false}});
}

}  // namespace

QByteArray FakeProviderRequest::header(const QByteArray& lowerName) const {
    const auto it = headers.find(lowerName);
    return it == headers.end() ? QByteArray() : it->second;
}

FakeProviderServer::FakeProviderServer(QObject* parent) : QObject(parent), server_(this) {
    connect(&server_, &QTcpServer::newConnection, this, &FakeProviderServer::onNewConnection);
}

FakeProviderServer::~FakeProviderServer() {
    auto buffers = std::move(buffers_);
    for (auto& [socket, buffer] : buffers) {
        disconnect(socket, nullptr, this, nullptr);
        delete socket;
    }
}

bool FakeProviderServer::listen() {
    return server_.listen(QHostAddress::LocalHost, 0);
}

QString FakeProviderServer::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort());
}

void FakeProviderServer::route(const QString& path, Handler handler) {
    routes_[path] = std::move(handler);
}

void FakeProviderServer::route(const QString& path, FakeProviderResponse response) {
    routes_[path] = [response](const FakeProviderRequest&) { return response; };
}

std::vector<FakeProviderRequest> FakeProviderServer::requestsTo(const QString& path) const {
    std::vector<FakeProviderRequest> matching;
    for (const FakeProviderRequest& request : requests_)
        if (request.path == path) matching.push_back(request);
    return matching;
}

void FakeProviderServer::onNewConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        buffers_[socket];
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            buffers_.erase(socket);
            socket->deleteLater();
        });
    }
}

void FakeProviderServer::onReadyRead(QTcpSocket* socket) {
    QByteArray& buffer = buffers_[socket];
    buffer += socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0) return;  // GET requests carry no body
    FakeHttp::Head head = FakeHttp::parseHead(QByteArrayView(buffer).first(end));
    buffer.clear();
    FakeProviderRequest request{head.method, head.target, head.path(), head.query(),
                                std::move(head.headers)};
    requests_.push_back(request);

    const auto route = routes_.find(request.path);
    const FakeProviderResponse response =
        route != routes_.end()
            ? route->second(request)
            : FakeProviderResponse::json(404, R"({"error":{"message":"Not found"}})");
    if (response.neverAnswer) return;
    socket->write("HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                  FakeHttp::reasonPhrase(response.status) +
                  "\r\nContent-Type: " + response.contentType +
                  "\r\nContent-Length: " + QByteArray::number(response.body.size()) +
                  "\r\nConnection: close\r\n\r\n" + response.body);
    socket->disconnectFromHost();
}

std::unique_ptr<FakeProviderServer> FakeProviderServer::playing(FakeProvider provider,
                                                                const QString& validKey) {
    using namespace FakeProviderBodies;
    auto server = std::make_unique<FakeProviderServer>();
    const QByteArray bearer = "Bearer " + validKey.toUtf8();
    switch (provider) {
        case FakeProvider::anthropic: {
            const auto guarded = [validKey](QByteArray body) {
                return [validKey, body](const FakeProviderRequest& r) {
                    if (r.header("x-api-key") != validKey.toUtf8() ||
                        r.header("anthropic-version") != "2023-06-01") {
                        return FakeProviderResponse::json(
                            401, anthropicError("authentication_error", "invalid x-api-key"));
                    }
                    return FakeProviderResponse::json(200, body);
                };
            };
            server->route("/v1/organizations", guarded(anthropicOrganizations({"org-1"})));
            server->route("/v1/organizations/usage_report/messages",
                          guarded(anthropicUsageReport({{R"({"model":"claude-sonnet-4-5",
                              "uncached_input_tokens":1000,"output_tokens":200,
                              "cache_creation_input_tokens":10,"cache_read_input_tokens":20})"}})));
            break;
        }
        case FakeProvider::openAi: {
            const auto guarded = [bearer](QByteArray body) {
                return [bearer, body](const FakeProviderRequest& r) {
                    if (r.header("authorization") != bearer) {
                        return FakeProviderResponse::json(
                            401, openAiError("Incorrect API key provided.", "invalid_request_error",
                                             "invalid_api_key"));
                    }
                    return FakeProviderResponse::json(200, body);
                };
            };
            server->route("/v1/organization/projects", guarded(openAiProjects("proj_1", "org-1")));
            server->route("/v1/organization/usage/completions",
                          guarded(openAiUsage({{R"({"model":"gpt-4o","input_tokens":1000,
                              "output_tokens":100,"input_cached_tokens":50})"}})));
            server->route("/v1/organization/usage/embeddings",
                          guarded(openAiUsage({{R"({"model":"text-embedding-3-small",
                              "input_tokens":5000})"}})));
            break;
        }
        case FakeProvider::xai: {
            const auto guarded = [bearer](QByteArray body) {
                return [bearer, body](const FakeProviderRequest& r) {
                    if (r.header("authorization") != bearer) {
                        return FakeProviderResponse::json(
                            401, xaiError("Client sent an invalid argument",
                                          "Incorrect API key provided"));
                    }
                    return FakeProviderResponse::json(200, body);
                };
            };
            server->route("/v1/api-key", guarded(xaiApiKey()));
            server->route("/v1/models", guarded(xaiModels({"grok-4", "grok-3-mini"})));
            break;
        }
        case FakeProvider::gemini:
            server->route("/v1beta/models", [validKey](const FakeProviderRequest& r) {
                if (r.query.queryItemValue("key", QUrl::FullyDecoded) != validKey) {
                    return FakeProviderResponse::json(
                        400, geminiError(400, "API key not valid. Please pass a valid API key.",
                                         "INVALID_ARGUMENT"));
                }
                return FakeProviderResponse::json(
                    200, geminiModels({"models/gemini-2.5-pro", "models/gemini-2.5-flash"}));
            });
            break;
    }
    if (!server->listen()) return nullptr;
    return server;
}

namespace FakeProviderBodies {

QByteArray anthropicError(const QString& type, const QString& message) {
    return compact(QJsonObject{
        {QStringLiteral("type"), QStringLiteral("error")},
        {QStringLiteral("error"),
         QJsonObject{{QStringLiteral("type"), type}, {QStringLiteral("message"), message}}}});
}

QByteArray openAiError(const QString& message, const QString& type, const QString& code) {
    return compact(QJsonObject{
        {QStringLiteral("error"), QJsonObject{{QStringLiteral("message"), message},
                                              {QStringLiteral("type"), type},
                                              {QStringLiteral("param"), QJsonValue::Null},
                                              {QStringLiteral("code"), code}}}});
}

QByteArray xaiError(const QString& code, const QString& error) {
    return compact(QJsonObject{{QStringLiteral("code"), code}, {QStringLiteral("error"), error}});
}

QByteArray geminiError(int code, const QString& message, const QString& status) {
    return compact(
        QJsonObject{{QStringLiteral("error"), QJsonObject{{QStringLiteral("code"), code},
                                                          {QStringLiteral("message"), message},
                                                          {QStringLiteral("status"), status}}}});
}

QByteArray anthropicOrganizations(const QStringList& ids) {
    QJsonArray data;
    for (const QString& id : ids)
        data.append(QJsonObject{{QStringLiteral("id"), id},
                                {QStringLiteral("type"), QStringLiteral("organization")},
                                {QStringLiteral("name"), QStringLiteral("Org ") + id}});
    return compact(QJsonObject{{QStringLiteral("data"), data}});
}

QByteArray anthropicUsageReport(const std::vector<std::vector<QByteArray>>& days) {
    return daysOf(days, "usage_report_bucket");
}

QByteArray openAiProjects(const QString& id, const QString& organizationId) {
    QJsonObject project{{QStringLiteral("id"), id},
                        {QStringLiteral("object"), QStringLiteral("organization.project")}};
    if (!organizationId.isEmpty())
        project.insert(QStringLiteral("organization_id"), organizationId);
    return compact(QJsonObject{{QStringLiteral("object"), QStringLiteral("list")},
                               {QStringLiteral("data"), QJsonArray{project}}});
}

QByteArray openAiUsage(const std::vector<std::vector<QByteArray>>& days) {
    return daysOf(days, "bucket");
}

QByteArray xaiApiKey(bool disabled) {
    return compact(
        QJsonObject{{QStringLiteral("name"), QStringLiteral("laptop")},
                    {QStringLiteral("user_id"), QStringLiteral("user-1")},
                    {QStringLiteral("team_id"), QStringLiteral("team-1")},
                    {QStringLiteral("api_key_disabled"), disabled},
                    {QStringLiteral("api_key_blocked"), false},
                    {QStringLiteral("create_time"), QStringLiteral("2025-03-01T10:20:30.123Z")},
                    {QStringLiteral("allowed_models"), QJsonArray{QStringLiteral("grok-4")}},
                    {QStringLiteral("acls"), QJsonArray{QStringLiteral("api-key:model:*")}}});
}

QByteArray xaiModels(const QStringList& ids) {
    QJsonArray data;
    for (const QString& id : ids)
        data.append(QJsonObject{{QStringLiteral("id"), id},
                                {QStringLiteral("object"), QStringLiteral("model")}});
    return compact(QJsonObject{{QStringLiteral("object"), QStringLiteral("list")},
                               {QStringLiteral("data"), data}});
}

QByteArray geminiModels(const QStringList& names) {
    QJsonArray models;
    for (const QString& name : names) models.append(QJsonObject{{QStringLiteral("name"), name}});
    return compact(QJsonObject{{QStringLiteral("models"), models}});
}

}  // namespace FakeProviderBodies
}  // namespace qm::test
