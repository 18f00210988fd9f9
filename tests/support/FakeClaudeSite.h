#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QUrl>
#include <functional>

class QTcpSocket;

namespace qm::test {

struct FakeClaudeRequest {
    QByteArray method;
    QByteArray path;
    QByteArray query;
    QMap<QByteArray, QByteArray> headers;  // names in lower case

    QByteArray cookie(const QByteArray& name) const;
};

struct FakeClaudeReply {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    bool never = false;  // keep the connection open and never answer

    static FakeClaudeReply json(int status, QByteArray body);
    static FakeClaudeReply html(QByteArray body);
    static FakeClaudeReply redirect(const QByteArray& location);
    static FakeClaudeReply noAnswer();
};

// The Claude web site on 127.0.0.1 for the web session: HTML pages at "/" and "/login", one
// account whose organisation list and usage answer need the "sessionKey" cookie, and a
// sign-in page ("/auth/signin") that sets that cookie. Any route can be replaced.
class FakeClaudeSite : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<FakeClaudeReply(const FakeClaudeRequest&)>;

    static constexpr const char* kOrganization = "4f2c7a10-8d3b-4e6a-9c51-0b7e2d9f6a3c";
    static constexpr const char* kSessionToken = "sk-test-signed-in";

    explicit FakeClaudeSite(QObject* parent = nullptr);
    ~FakeClaudeSite() override;

    QUrl origin() const;
    QUrl url(const QByteArray& pathAndQuery) const;
    QByteArray usagePath() const;

    // Exact path, query not included.
    void route(const QByteArray& path, Handler handler);
    void setUsageBody(QByteArray json) { usageBody_ = std::move(json); }
    // The login page sets the session cookie, as a sign-in made there would.
    void signInOnLoginPage();
    // Every route answers nothing at all.
    void setSilent(bool silent) { silent_ = silent; }

    QList<FakeClaudeRequest> requests() const { return requests_; }
    int requestCount(const QByteArray& path) const;

private:
    void accept();
    void serve(QTcpSocket* socket);
    FakeClaudeReply answer(const FakeClaudeRequest& request) const;
    bool signedIn(const FakeClaudeRequest& request) const;

    QTcpServer server_;
    QMap<QByteArray, Handler> routes_;
    QByteArray usageBody_;
    bool silent_ = false;
    QList<FakeClaudeRequest> requests_;
    QList<QTcpSocket*> heldOpen_;
};

}  // namespace qm::test
