#include "support/FakeGeminiUpstream.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include "support/FakeHttp.h"

namespace qm::test {

QByteArray FakeGeminiRequest::header(const QByteArray& lowerName) const {
    const auto it = headers.find(lowerName);
    return it == headers.end() ? QByteArray() : it->second;
}

FakeGeminiUpstream::FakeGeminiUpstream(Handler handler, QObject* parent)
    : QObject(parent), server_(this), handler_(std::move(handler)) {
    connect(&server_, &QTcpServer::newConnection, this, &FakeGeminiUpstream::onNewConnection);
}

FakeGeminiUpstream::~FakeGeminiUpstream() {
    // The sockets' disconnected handlers touch buffers_, which dies before the children.
    auto buffers = std::move(buffers_);
    for (auto& [socket, buffer] : buffers) {
        disconnect(socket, nullptr, this, nullptr);
        delete socket;
    }
}

bool FakeGeminiUpstream::listen() {
    server_.setListenBacklogSize(1024);
    server_.setMaxPendingConnections(1024);
    if (!server_.listen(QHostAddress::LocalHost, 0)) return false;
    port_ = server_.serverPort();
    return true;
}

QString FakeGeminiUpstream::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void FakeGeminiUpstream::setHandler(Handler handler) {
    QMutexLocker lock(&mutex_);
    handler_ = std::move(handler);
}

std::vector<FakeGeminiRequest> FakeGeminiUpstream::requests() const {
    QMutexLocker lock(&mutex_);
    return requests_;
}

int FakeGeminiUpstream::requestCount() const {
    QMutexLocker lock(&mutex_);
    return static_cast<int>(requests_.size());
}

void FakeGeminiUpstream::onNewConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        ++openConnections_;
        buffers_[socket];
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            --openConnections_;
            buffers_.erase(socket);
            socket->deleteLater();
        });
    }
}

void FakeGeminiUpstream::onReadyRead(QTcpSocket* socket) {
    QByteArray& buffer = buffers_[socket];
    buffer += socket->readAll();
    for (;;) {
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0) return;
        FakeHttp::Head head = FakeHttp::parseHead(QByteArrayView(buffer).first(end));
        const auto contentLength = head.headers.find("content-length");
        const qsizetype length =
            contentLength == head.headers.end() ? 0 : contentLength->second.toLongLong();
        if (buffer.size() < end + 4 + length) return;
        FakeGeminiRequest request{head.method,
                                  head.target,
                                  head.path(),
                                  head.query(),
                                  std::move(head.headers),
                                  buffer.mid(end + 4, length)};
        buffer.remove(0, end + 4 + length);

        Handler handler;
        {
            QMutexLocker lock(&mutex_);
            requests_.push_back(request);
            handler = handler_;
        }
        FakeGeminiResponse response;
        if (handler) {
            response = handler(request);
        } else {
            response.body = answerJson(10, 5);
        }
        respond(socket, response);
        if (socket->state() != QAbstractSocket::ConnectedState) return;
    }
}

void FakeGeminiUpstream::respond(QTcpSocket* socket, const FakeGeminiResponse& response) {
    using Mode = FakeGeminiResponse::Mode;
    if (response.mode == Mode::NeverAnswer) return;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Fake\r\n";
    bool hasType = false;
    for (const auto& [name, value] : response.headers) {
        head += name + ": " + value + "\r\n";
        hasType = hasType || name.toLower() == "content-type";
    }
    if (!hasType) head += "Content-Type: application/json; charset=UTF-8\r\n";
    if (response.mode == Mode::Streamed) {
        socket->write(head + "Transfer-Encoding: chunked\r\n\r\n");
        streamChunks(socket, response, 0);
        return;
    }
    if (response.mode == Mode::StreamCut) {
        // A declared length the chunks fall short of: a cut Qt always recognises (a chunked
        // answer cut between chunks is not always reported by Qt 6.4).
        qsizetype total = 1000;
        for (const QByteArray& chunk : response.chunks) total += chunk.size();
        socket->write(head + "Content-Length: " + QByteArray::number(total) + "\r\n\r\n");
        streamChunks(socket, response, 0);
        return;
    }
    head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n";
    if (response.mode == Mode::CloseEarly) {
        socket->write(head + response.body.left(response.body.size() / 2));
        socket->disconnectFromHost();
        return;
    }
    socket->write(head + response.body);
}

void FakeGeminiUpstream::streamChunks(QTcpSocket* socket, FakeGeminiResponse response,
                                      std::size_t next) {
    if (socket->state() != QAbstractSocket::ConnectedState) return;
    if (next >= response.chunks.size()) {
        if (response.mode == FakeGeminiResponse::Mode::StreamCut) {
            // Closed apart from the data, as a server that dies mid-answer would.
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(50, this, [guard] {
                if (guard) guard->disconnectFromHost();
            });
        } else {
            socket->write("0\r\n\r\n");
        }
        return;
    }
    const QByteArray& chunk = response.chunks[next];
    if (response.mode == FakeGeminiResponse::Mode::StreamCut) {
        socket->write(chunk);
    } else {
        socket->write(QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n");
    }
    socket->flush();
    if (onChunkWritten) onChunkWritten(static_cast<int>(next));
    QPointer<QTcpSocket> guard(socket);
    const auto continueWith = [this, guard, response, next] {
        if (guard) streamChunks(guard, response, next + 1);
    };
    if (response.chunkIntervalMs <= 0) {
        continueWith();
    } else {
        QTimer::singleShot(response.chunkIntervalMs, this, continueWith);
    }
}

QByteArray FakeGeminiUpstream::answerJson(qint64 prompt, qint64 candidates, qint64 cached,
                                          qint64 thoughts, qint64 toolUse) {
    QJsonObject usage{{QStringLiteral("promptTokenCount"), prompt},
                      {QStringLiteral("candidatesTokenCount"), candidates},
                      {QStringLiteral("totalTokenCount"), prompt + candidates}};
    if (cached) usage.insert(QStringLiteral("cachedContentTokenCount"), cached);
    if (thoughts) usage.insert(QStringLiteral("thoughtsTokenCount"), thoughts);
    if (toolUse) usage.insert(QStringLiteral("toolUsePromptTokenCount"), toolUse);
    const QJsonObject answer{
        {QStringLiteral("candidates"),
         QJsonArray{QJsonObject{
             {QStringLiteral("content"),
              QJsonObject{{QStringLiteral("parts"),
                           QJsonArray{QJsonObject{{QStringLiteral("text"), QStringLiteral("hi")}}}},
                          {QStringLiteral("role"), QStringLiteral("model")}}}}}},
        {QStringLiteral("usageMetadata"), usage},
        {QStringLiteral("modelVersion"), QStringLiteral("gemini-2.5-flash")}};
    return QJsonDocument(answer).toJson(QJsonDocument::Compact);
}

QByteArray FakeGeminiUpstream::sseEvent(qint64 prompt, qint64 candidates, const QByteArray& text) {
    QJsonObject answer = QJsonDocument::fromJson(answerJson(prompt, candidates)).object();
    answer.insert(
        QStringLiteral("candidates"),
        QJsonArray{QJsonObject{
            {QStringLiteral("content"),
             QJsonObject{
                 {QStringLiteral("parts"),
                  QJsonArray{QJsonObject{{QStringLiteral("text"), QString::fromUtf8(text)}}}}}}}});
    return "data: " + QJsonDocument(answer).toJson(QJsonDocument::Compact) + "\r\n\r\n";
}

}  // namespace qm::test
