#include "support/FakeClaudeSite.h"

#include <QTcpSocket>
#include <stdexcept>

#include "support/FakeHttp.h"

namespace qm::test {

QByteArray FakeClaudeRequest::cookie(const QByteArray& name) const {
    for (QByteArray part : headers.value("cookie").split(';')) {
        part = part.trimmed();
        if (part.startsWith(name + '=')) return part.mid(name.size() + 1);
    }
    return {};
}

FakeClaudeReply FakeClaudeReply::json(int status, QByteArray body) {
    FakeClaudeReply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

FakeClaudeReply FakeClaudeReply::html(QByteArray body) {
    FakeClaudeReply r;
    r.contentType = "text/html; charset=utf-8";
    r.body = std::move(body);
    return r;
}

FakeClaudeReply FakeClaudeReply::redirect(const QByteArray& location) {
    FakeClaudeReply r;
    r.status = 302;
    r.contentType = "text/html";
    r.headers.append({"Location", location});
    return r;
}

FakeClaudeReply FakeClaudeReply::noAnswer() {
    FakeClaudeReply r;
    r.never = true;
    return r;
}

FakeClaudeSite::FakeClaudeSite(QObject* parent) : QObject(parent) {
    if (!server_.listen(QHostAddress::LocalHost)) {
        throw std::runtime_error("the fake Claude site could not listen");
    }
    connect(&server_, &QTcpServer::newConnection, this, &FakeClaudeSite::accept);
    usageBody_ = R"({"five_hour":{"utilization":42.5,"resets_at":"2030-01-01T05:00:00.000+00:00"},)"
                 R"("seven_day":{"utilization":17,"resets_at":"2030-01-05T00:00:00Z"},)"
                 R"("seven_day_sonnet":{"utilization":3,"resets_at":"2030-01-05T00:00:00Z"}})";

    const auto page = [](const char* title) {
        return FakeClaudeReply::html(QByteArray("<!doctype html><html><head><title>") + title +
                                     "</title></head><body>" + title + "</body></html>");
    };
    routes_["/"] = [page](const FakeClaudeRequest&) { return page("Claude"); };
    routes_["/login"] = [page](const FakeClaudeRequest&) { return page("Sign in"); };
    routes_["/auth/signin"] = [](const FakeClaudeRequest&) {
        FakeClaudeReply r = FakeClaudeReply::redirect("/");
        r.headers.append({"Set-Cookie", QByteArray("sessionKey=") + kSessionToken +
                                            "; Path=/; Max-Age=2592000; HttpOnly"});
        return r;
    };
    routes_["/api/organizations"] = [this](const FakeClaudeRequest& request) {
        if (!signedIn(request)) return FakeClaudeReply::json(401, R"({"error":"unauthorized"})");
        return FakeClaudeReply::json(
            200, QByteArray(R"([{"uuid":")") + kOrganization + R"(","name":"Personal"}])");
    };
    routes_[usagePath()] = [this](const FakeClaudeRequest& request) {
        if (!signedIn(request)) return FakeClaudeReply::json(401, R"({"error":"unauthorized"})");
        return FakeClaudeReply::json(200, usageBody_);
    };
}

FakeClaudeSite::~FakeClaudeSite() {
    // Sockets go first, while the lists their signals touch still exist.
    for (QTcpSocket* socket : findChildren<QTcpSocket*>()) {
        socket->disconnect(this);
        delete socket;
    }
}

QUrl FakeClaudeSite::origin() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()));
}

QUrl FakeClaudeSite::url(const QByteArray& pathAndQuery) const {
    return QUrl(origin().toString() + QString::fromUtf8(pathAndQuery));
}

QByteArray FakeClaudeSite::usagePath() const {
    return QByteArray("/api/organizations/") + kOrganization + "/usage";
}

void FakeClaudeSite::route(const QByteArray& path, Handler handler) {
    routes_[path] = std::move(handler);
}

int FakeClaudeSite::requestCount(const QByteArray& path) const {
    int n = 0;
    for (const auto& r : requests_) n += r.path == path;
    return n;
}

void FakeClaudeSite::signInOnLoginPage() {
    routes_["/login"] = [](const FakeClaudeRequest&) {
        FakeClaudeReply r = FakeClaudeReply::html("<!doctype html><title>Signed in</title>");
        r.headers.append({"Set-Cookie", QByteArray("sessionKey=") + kSessionToken +
                                            "; Path=/; Max-Age=2592000; HttpOnly"});
        return r;
    };
}

bool FakeClaudeSite::signedIn(const FakeClaudeRequest& request) const {
    return request.cookie("sessionKey") == kSessionToken;
}

void FakeClaudeSite::accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { heldOpen_.removeAll(socket); });
    }
}

void FakeClaudeSite::serve(QTcpSocket* socket) {
    QByteArray buffered = socket->property("buffered").toByteArray() + socket->readAll();
    const qsizetype headerEnd = buffered.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        socket->setProperty("buffered", buffered);
        return;
    }
    socket->setProperty("buffered", QByteArray());
    const FakeHttp::Head head = FakeHttp::parseHead(QByteArrayView(buffered).first(headerEnd));
    FakeClaudeRequest request;
    request.method = head.method;
    const qsizetype queryStart = head.target.indexOf('?');
    request.path = queryStart < 0 ? head.target : head.target.left(queryStart);
    request.query = queryStart < 0 ? QByteArray() : head.target.mid(queryStart + 1);
    for (const auto& [name, value] : head.headers) request.headers.insert(name, value);
    requests_.append(request);

    const FakeClaudeReply reply = answer(request);
    if (reply.never) {
        heldOpen_.append(socket);
        return;
    }
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' +
                     FakeHttp::reasonPhrase(reply.status) +
                     "\r\nContent-Type: " + reply.contentType +
                     "\r\nContent-Length: " + QByteArray::number(reply.body.size()) +
                     "\r\nCache-Control: no-store\r\nConnection: close\r\n";
    for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
    out += "\r\n" + reply.body;
    socket->write(out);
    socket->disconnectFromHost();
}

FakeClaudeReply FakeClaudeSite::answer(const FakeClaudeRequest& request) const {
    if (silent_) return FakeClaudeReply::noAnswer();
    const auto handler = routes_.find(request.path);
    if (handler == routes_.end()) return FakeClaudeReply::json(404, R"({"error":"not_found"})");
    return (*handler)(request);
}

}  // namespace qm::test
