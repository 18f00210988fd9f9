#include "relay/RelayRequestReading.h"

#include <QRegularExpression>
#include <QStringList>

#include "core/PercentEncoding.h"
#include "relay/GeminiRelayMetering.h"
#include "relay/RelayConnection.h"

namespace qm::RelayRequestReading {
namespace {

constexpr qsizetype kMaxUserAgentLength = 256;

// Gemini's OpenAI-compatible chat endpoint, which other vendors' SDKs use when pointed at
// Gemini: "/v1beta/openai/chat/completions".
bool isOpenAiChatPath(const QString& path) {
    return path.endsWith(QLatin1String("/openai/chat/completions"), Qt::CaseInsensitive);
}

struct ModelAndAction {
    QString model;
    std::optional<QString> action;
};

ModelAndAction extractModelAndAction(const QString& path) {
    const QStringList pieces = path.split(u'/', Qt::SkipEmptyParts);
    const QString last =
        pieces.isEmpty() ? QString() : percentDecoded(pieces.last()).value_or(pieces.last());
    ModelAndAction out;
    const qsizetype colon = last.indexOf(u':');
    out.model = colon < 0 ? last : last.left(colon);
    if (colon >= 0) out.action = last.mid(colon + 1);
    if (out.model.isEmpty()) out.model = QStringLiteral("unknown");
    return out;
}

}  // namespace

QCoro::Task<std::optional<GeminiRelayServerError>> read(RelayConnection* connection,
                                                        GeminiHttpRequest* request) {
    using State = GeminiRelayHttp::RequestReader::State;
    GeminiRelayHttp::RequestReader reader;
    QTcpSocket* socket = connection->socket();
    bool continueSent = false;
    for (;;) {
        // A silent or stopped connection ends like one whose peer went away: unanswered.
        if (connection->cancelled() || connection->readTimedOut()) {
            co_return GeminiRelayServerError::connectionClosed();
        }
        while (socket->bytesAvailable() > 0) {
            const QByteArray chunk = socket->read(GeminiRelayHttp::kReceiveChunkSize);
            if (chunk.isEmpty()) break;
            const State state = reader.feed(chunk);
            if (state == State::Complete) {
                *request = reader.takeRequest();
                co_return std::nullopt;
            }
            if (state == State::Failed) co_return reader.error();
        }
        if (!continueSent && reader.awaitsContinue()) {
            // Written past the answer's own writing: an interim answer is not its head.
            continueSent = true;
            socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        }
        if (!connection->socketOpen()) {
            reader.finish();
            co_return reader.error();
        }
        co_await connection->changed();
    }
}

bool isLoopbackOrigin(const QString& origin) {
    static const QRegularExpression pattern(
        QStringLiteral("^https?://(localhost|127\\.0\\.0\\.1|\\[::1\\])(:[0-9]{1,5})?$"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(origin).hasMatch();
}

bool isLoopbackHost(const QString& host) {
    static const QRegularExpression pattern(
        QStringLiteral("^(localhost|127(\\.[0-9]{1,3}){3}|\\[::1\\])(:[0-9]{1,5})?$"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(host).hasMatch();
}

std::optional<QString> clientAgent(const GeminiHttpRequest& request) {
    std::optional<QString> agent = request.header(QStringLiteral("user-agent"));
    if (agent) agent = agent->trimmed().left(kMaxUserAgentLength);
    return agent;
}

QString clientAgentOrUnknown(const GeminiHttpRequest& request) {
    // Kept short: the client table and the history hold it for every client.
    const QString agent = clientAgent(request).value_or(QString());
    return agent.isEmpty() ? QStringLiteral("(unknown)") : agent;
}

CallShape callShape(const GeminiHttpRequest& request) {
    const ModelAndAction target = extractModelAndAction(request.path);
    const auto actionIs = [&](QLatin1String action) {
        return target.action && target.action->compare(action, Qt::CaseInsensitive) == 0;
    };
    CallShape shape;
    shape.openAi = isOpenAiChatPath(request.path);
    shape.model =
        shape.openAi ? GeminiRelayMetering::modelOfOpenAiRequest(request.body) : target.model;
    shape.streamed = shape.openAi ? GeminiRelayMetering::openAiRequestStreams(request.body)
                                  : actionIs(QLatin1String("streamGenerateContent"));
    // A buffered answer is metered for these; a stream always is.
    shape.metered = shape.openAi || actionIs(QLatin1String("generateContent"));
    return shape;
}

}  // namespace qm::RelayRequestReading
