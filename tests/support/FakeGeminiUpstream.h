#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrlQuery>
#include <atomic>
#include <functional>
#include <map>
#include <utility>
#include <vector>

class QTcpSocket;

namespace qm::test {

// One request as the fake Gemini API received it.
struct FakeGeminiRequest {
    QByteArray method;
    QByteArray target;  // as on the request line
    QString path;       // decoded
    QUrlQuery query;
    std::map<QByteArray, QByteArray> headers;  // lower-case names
    QByteArray body;

    QByteArray header(const QByteArray& lowerName) const;
};

// What the fake answers to one request.
struct FakeGeminiResponse {
    enum class Mode {
        Buffered,     // body with Content-Length; the connection stays open for the next one
        Streamed,     // chunks in chunked encoding, chunkIntervalMs apart
        CloseEarly,   // announces body.size() bytes, sends half, closes
        StreamCut,    // announces more than the chunks hold, sends them, closes
        NeverAnswer,  // reads the request and stays silent
    };
    Mode mode = Mode::Buffered;
    int status = 200;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    std::vector<QByteArray> chunks;
    int chunkIntervalMs = 0;
};

// A Gemini API stand-in on 127.0.0.1 speaking HTTP/1.1 with keep-alive. It may run on any
// thread (move it there before listen()); the handler then runs on that thread.
class FakeGeminiUpstream : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<FakeGeminiResponse(const FakeGeminiRequest&)>;

    explicit FakeGeminiUpstream(Handler handler = {}, QObject* parent = nullptr);
    ~FakeGeminiUpstream() override;

    bool listen();
    quint16 port() const { return port_.load(); }
    QString baseUrl() const;

    void setHandler(Handler handler);
    std::vector<FakeGeminiRequest> requests() const;
    int requestCount() const;
    int openConnections() const { return openConnections_.load(); }

    // Called on the fake's thread right after each streamed chunk is written.
    std::function<void(int chunkIndex)> onChunkWritten;

    // A generateContent answer carrying usageMetadata with these counts.
    static QByteArray answerJson(qint64 prompt, qint64 candidates, qint64 cached = 0,
                                 qint64 thoughts = 0, qint64 toolUse = 0);
    // One server-sent event line ("data: {...}\r\n\r\n") with the same usage.
    static QByteArray sseEvent(qint64 prompt, qint64 candidates, const QByteArray& text = "hi");

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const FakeGeminiResponse& response);
    void streamChunks(QTcpSocket* socket, FakeGeminiResponse response, std::size_t next);

    QTcpServer server_;
    std::atomic<quint16> port_{0};
    std::atomic<int> openConnections_{0};
    mutable QMutex mutex_;
    Handler handler_;
    std::vector<FakeGeminiRequest> requests_;
    std::map<QTcpSocket*, QByteArray> buffers_;
};

}  // namespace qm::test
