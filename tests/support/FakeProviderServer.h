#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrlQuery>
#include <functional>
#include <map>
#include <memory>
#include <vector>

class QTcpSocket;

namespace qm::test {

// One request as a fake provider received it.
struct FakeProviderRequest {
    QByteArray method;
    QByteArray target;  // as on the request line, still percent-encoded
    QString path;       // decoded
    QUrlQuery query;
    std::map<QByteArray, QByteArray> headers;  // lower-case names

    QByteArray header(const QByteArray& lowerName) const;
};

struct FakeProviderResponse {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    bool neverAnswer = false;  // reads the request and stays silent

    static FakeProviderResponse json(int status, QByteArray body) {
        return {status, std::move(body), "application/json", false};
    }
    static FakeProviderResponse text(int status, QByteArray body) {
        return {status, std::move(body), "text/html", false};
    }
    static FakeProviderResponse silence() { return {0, {}, {}, true}; }
};

// The four providers whose API the fake can play.
enum class FakeProvider { anthropic, openAi, xai, gemini };

// A provider's HTTP interface on 127.0.0.1: one answer per connection, then close. Routes by
// exact path; requests to other paths get 404. Lives on the thread that created it.
class FakeProviderServer : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<FakeProviderResponse(const FakeProviderRequest&)>;

    explicit FakeProviderServer(QObject* parent = nullptr);
    ~FakeProviderServer() override;

    // A server that answers as `provider` does for the key `validKey`: its success bodies for
    // the right key in the right place, its 401 error body for any other.
    static std::unique_ptr<FakeProviderServer> playing(FakeProvider provider,
                                                       const QString& validKey);

    bool listen();
    QString baseUrl() const;

    void route(const QString& path, Handler handler);
    void route(const QString& path, FakeProviderResponse response);
    std::vector<FakeProviderRequest> requests() const { return requests_; }
    std::vector<FakeProviderRequest> requestsTo(const QString& path) const;

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);

    QTcpServer server_;
    std::map<QString, Handler> routes_;
    std::vector<FakeProviderRequest> requests_;
    std::map<QTcpSocket*, QByteArray> buffers_;
};

// The providers' own error and success shapes.
namespace FakeProviderBodies {

QByteArray anthropicError(const QString& type, const QString& message);
QByteArray openAiError(const QString& message, const QString& type, const QString& code);
QByteArray xaiError(const QString& code, const QString& error);
QByteArray geminiError(int code, const QString& message, const QString& status);

QByteArray anthropicOrganizations(const QStringList& ids);
// One day bucket per entry of `days`; each day a list of result rows (objects as JSON text).
QByteArray anthropicUsageReport(const std::vector<std::vector<QByteArray>>& days);
QByteArray openAiProjects(const QString& id, const QString& organizationId);
QByteArray openAiUsage(const std::vector<std::vector<QByteArray>>& days);
QByteArray xaiApiKey(bool disabled = false);
QByteArray xaiModels(const QStringList& ids);
QByteArray geminiModels(const QStringList& names);

}  // namespace FakeProviderBodies

}  // namespace qm::test
