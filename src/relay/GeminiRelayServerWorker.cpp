#include "relay/GeminiRelayServerWorker.h"

#include <sys/socket.h>

#include <QDateTime>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>
#include <algorithm>

#include <qcoro/qcorofuture.h>

#include "core/PercentEncoding.h"
#include "relay/RelayCallbackGate.h"

namespace qm {

namespace {

constexpr std::int64_t kActivityWindowMs = 300'000;
constexpr std::chrono::milliseconds kSnapshotInterval{50};
constexpr qsizetype kCaptureLimit = 4 * 1024 * 1024;
// Bytes handed to a client socket before the relay waits for it to drain.
constexpr qint64 kSendHighWater = 1024 * 1024;
// How much of a streamed upstream answer may wait unread for a slow client.
constexpr qint64 kUpstreamReadBuffer = 1024 * 1024;
// Qt opens this many HTTP/1.1 connections per host and manager; more calls would queue.
constexpr int kCallsPerManager = 6;
constexpr std::size_t kMaxManagers = 16;

const QString kUnknownAgent = QStringLiteral("(unknown)");
constexpr qsizetype kMaxUserAgentLength = 256;
// The client's User-Agent as the history keeps it: trimmed and bounded.
std::optional<QString> clientAgent(const GeminiHttpRequest& request) {
    std::optional<QString> agent = request.header(QStringLiteral("user-agent"));
    if (agent) agent = agent->trimmed().left(kMaxUserAgentLength);
    return agent;
}
// Clients kept in the activity table; the least recently seen go first past this.
constexpr std::size_t kMaxClients = 1000;

// Origins a page served from this machine can have; anything else is a web site the user
// visits, which must not spend the user's Gemini quota through the relay.
bool isLoopbackOrigin(const QString& origin) {
    static const QRegularExpression pattern(
        QStringLiteral("^https?://(localhost|127\\.0\\.0\\.1|\\[::1\\])(:[0-9]{1,5})?$"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(origin).hasMatch();
}

// The Host header of a request meant for this relay: a loopback address or localhost, with
// or without a port.
bool isLoopbackHost(const QString& host) {
    static const QRegularExpression pattern(
        QStringLiteral("^(localhost|127(\\.[0-9]{1,3}){3}|\\[::1\\])(:[0-9]{1,5})?$"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(host).hasMatch();
}

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

std::optional<QUrl> buildUpstreamUrl(const QString& base, const GeminiHttpRequest& request,
                                     const QString& apiKey) {
    QByteArray url = base.toUtf8();
    while (url.endsWith('/')) url.chop(1);
    url += QUrl::toPercentEncoding(request.path, "/:@!$&'()*+,;=");
    QByteArray query;
    const auto append = [&query](const QString& name, const std::optional<QString>& value) {
        if (!query.isEmpty()) query += '&';
        query += QUrl::toPercentEncoding(name);
        if (value) query += '=' + QUrl::toPercentEncoding(*value);
    };
    for (const auto& [name, value] : request.queryItems) {
        // The client's own credential never goes upstream.
        if (name.compare(QLatin1String("key"), Qt::CaseInsensitive) == 0) continue;
        append(name, value);
    }
    append(QStringLiteral("key"), apiKey);
    url += '?' + query;
    QUrl parsed(QString::fromUtf8(url), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty() ||
        (parsed.scheme() != QLatin1String("https") && parsed.scheme() != QLatin1String("http"))) {
        return std::nullopt;
    }
    return parsed;
}

// The answer's headers for the client. The real key never reaches it: a redirect's Location
// (or any other header) that echoes the key, plain or percent-encoded, carries the relay key
// the client used instead.
GeminiRelayHttp::HeaderList filteredHeaders(const QNetworkReply* reply, const QString& apiKey,
                                            const QString& relayKey) {
    const QByteArray plain = apiKey.toUtf8();
    const QByteArray encoded = QUrl::toPercentEncoding(apiKey);
    const QByteArray replacement = QUrl::toPercentEncoding(relayKey);
    GeminiRelayHttp::HeaderList out;
    for (const auto& [name, value] : reply->rawHeaderPairs()) {
        if (GeminiRelayHttp::isHopHeader(name.toLower())) continue;
        QByteArray clean = value;
        if (!plain.isEmpty()) clean.replace(plain, replacement).replace(encoded, replacement);
        out.emplace_back(name, clean);
    }
    return out;
}

// Qt reports HTTP error statuses as reply errors too; only the others mean the call failed.
bool isTransportFailure(const QNetworkReply* reply) {
    const int code = reply->error();
    if (code == QNetworkReply::NoError) return false;
    const bool httpStatus =
        (code >= 201 && code <= 299) || code == 302 || (code >= 401 && code <= 499);
    return !httpStatus;
}

std::optional<int> httpStatus(const QNetworkReply* reply) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) return std::nullopt;
    return status.toInt();
}

// Qt 6.4 sometimes finishes a reply without an error when the server closes before the
// declared Content-Length has arrived; a short body is a cut answer all the same.
bool bodyShortOfDeclaredLength(const QNetworkReply* reply, qint64 received) {
    if (reply->operation() == QNetworkAccessManager::HeadOperation) return false;
    // These answers never carry a body; a Content-Length on them describes something else.
    const std::optional<int> status = httpStatus(reply);
    if (status && (*status == 204 || *status == 304 || (*status >= 100 && *status < 200)))
        return false;
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    return declared.isValid() && received < declared.toLongLong();
}

QString upstreamFailureText(const RelayConnection* connection) {
    if (connection->upstreamTimedOut()) return QStringLiteral("The request timed out.");
    const QNetworkReply* reply = connection->reply();
    if (reply && reply->error() != QNetworkReply::NoError) return reply->errorString();
    return GeminiRelayServerError::invalidUpstreamResponse().description();
}

// Ends the connection with a reset rather than an orderly close, so a client reading an
// answer without a length learns that it is incomplete.
void resetConnection(QTcpSocket* socket) {
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0) {
        const linger hard{1, 0};
        ::setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    socket->abort();
}

QString socketFailureText(const QTcpSocket* socket) {
    if (socket->error() == QAbstractSocket::UnknownSocketError) {
        return GeminiRelayServerError::connectionClosed().description();
    }
    return socket->errorString();
}

}  // namespace

// --- RelayConnection ---------------------------------------------------------------------

RelayConnection::RelayConnection(QTcpSocket* socket, quint64 id, QObject* parent)
    : QObject(parent), socket_(socket), id_(id) {
    socket_->setParent(this);
    // Bounded so a client that keeps sending while its answer streams cannot fill memory.
    socket_->setReadBufferSize(4 * GeminiRelayHttp::kReceiveChunkSize);
    connect(socket_, &QTcpSocket::readyRead, this, &RelayConnection::notify);
    connect(socket_, &QTcpSocket::bytesWritten, this, &RelayConnection::notify);
    connect(socket_, &QTcpSocket::stateChanged, this, &RelayConnection::notify);
    connect(socket_, &QTcpSocket::errorOccurred, this, &RelayConnection::notify);
    for (QTimer* timer : {&readDeadline_, &upstreamIdle_, &upstreamTotal_}) {
        timer->setSingleShot(true);
    }
    connect(&readDeadline_, &QTimer::timeout, this, [this] {
        readTimedOut_ = true;
        notify();
    });
    const auto upstreamTimeout = [this] {
        upstreamTimedOut_ = true;
        abortReply();
        notify();
    };
    connect(&upstreamIdle_, &QTimer::timeout, this, upstreamTimeout);
    connect(&upstreamTotal_, &QTimer::timeout, this, upstreamTimeout);
}

bool RelayConnection::socketOpen() const {
    return socket_->state() == QAbstractSocket::ConnectedState;
}

void RelayConnection::startReadDeadline(std::chrono::milliseconds timeout) {
    readTimedOut_ = false;
    readDeadline_.start(timeout);
}

void RelayConnection::stopReadDeadline() {
    readDeadline_.stop();
}

void RelayConnection::attachReply(QNetworkReply* reply, std::chrono::milliseconds idle,
                                  std::chrono::milliseconds total) {
    reply_ = reply;
    reply_->setParent(this);
    const auto activity = [this] {
        if (upstreamIdle_.isActive()) upstreamIdle_.start();
        notify();
    };
    connect(reply_, &QNetworkReply::metaDataChanged, this, activity);
    connect(reply_, &QNetworkReply::readyRead, this, activity);
    connect(reply_, &QNetworkReply::uploadProgress, this, activity);
    connect(reply_, &QNetworkReply::finished, this, [this] {
        upstreamIdle_.stop();
        upstreamTotal_.stop();
        notify();
    });
    if (idle.count() > 0) upstreamIdle_.start(idle);
    if (total.count() > 0) upstreamTotal_.start(total);
}

void RelayConnection::abortReply() {
    upstreamIdle_.stop();
    upstreamTotal_.stop();
    if (reply_ && reply_->isRunning()) reply_->abort();
}

void RelayConnection::cancel() {
    cancelled_ = true;
    readDeadline_.stop();
    abortReply();
    socket_->abort();
    notify();
}

void RelayConnection::notify() {
    pending_ = true;
    if (waiter_ && !resumeScheduled_) {
        // Resumed from the event loop, never from inside the socket's or reply's own signal,
        // so the coroutine may freely close or drop them.
        resumeScheduled_ = true;
        QMetaObject::invokeMethod(this, &RelayConnection::resumeWaiter, Qt::QueuedConnection);
    }
}

void RelayConnection::resumeWaiter() {
    resumeScheduled_ = false;
    if (!waiter_) return;
    const std::coroutine_handle<> handle = waiter_;
    waiter_ = nullptr;
    handle.resume();
}

// --- GeminiRelayServerWorker -------------------------------------------------------------

GeminiRelayServerWorker::GeminiRelayServerWorker(int port, GeminiRelayServerCallbacks callbacks,
                                                 GeminiRelayServerOptions options,
                                                 RelayCallbackGate* gate)
    : port_(port),
      callbacks_(std::move(callbacks)),
      options_(std::move(options)),
      gate_(gate),
      snapshotTimer_(new QTimer(this)) {
    snapshotTimer_->setSingleShot(true);
    connect(snapshotTimer_, &QTimer::timeout, this, &GeminiRelayServerWorker::publishSnapshot);
}

GeminiRelayServerWorker::~GeminiRelayServerWorker() = default;

std::int64_t GeminiRelayServerWorker::now() const {
    return options_.clock ? options_.clock() : QDateTime::currentMSecsSinceEpoch();
}

std::optional<GeminiRelayServerError> GeminiRelayServerWorker::startListening() {
    if (!listeners_.empty()) {
        reportSnapshot();
        return std::nullopt;
    }
    if (stopping_) return GeminiRelayServerError::listenFailed(QStringLiteral("Relay stopped."));
    if (port_ < 0 || port_ > 65535) return GeminiRelayServerError::invalidPort(port_);

    const auto makeListener = [this] {
        auto* listener = new QTcpServer(this);
        listener->setListenBacklogSize(1024);
        listener->setMaxPendingConnections(1024);
        return listener;
    };
    QTcpServer* v4 = makeListener();
    if (!v4->listen(QHostAddress::LocalHost, static_cast<quint16>(port_))) {
        const QString error = v4->errorString();
        delete v4;
        return GeminiRelayServerError::listenFailed(error);
    }
    listeners_.push_back(v4);
    const quint16 bound = v4->serverPort();
    if (options_.listenOnIpv6) {
        QTcpServer* v6 = makeListener();
        if (v6->listen(QHostAddress::LocalHostIPv6, bound)) {
            listeners_.push_back(v6);
        } else {
            // A machine without IPv6 simply has no ::1; a port someone else holds on ::1
            // would send local clients elsewhere, so that is an error for a chosen port.
            const bool taken = v6->serverError() == QAbstractSocket::AddressInUseError;
            const QString error = v6->errorString();
            delete v6;
            if (taken && port_ != 0) {
                delete v4;
                listeners_.clear();
                return GeminiRelayServerError::listenFailed(error);
            }
        }
    }
    port_ = bound;
    for (QTcpServer* listener : listeners_) {
        connect(listener, &QTcpServer::newConnection, this, [this, listener] { accept(listener); });
        connect(listener, &QTcpServer::acceptError, this, [this, listener] {
            // Qt pauses accepting after an error such as running out of descriptors.
            lastError_ = listener->errorString();
            reportSnapshot();
            QTimer::singleShot(100, listener, [listener] { listener->resumeAccepting(); });
        });
    }
    isRunning_ = true;
    startedAt_ = now();
    lastError_.reset();
    publishSnapshot();
    return std::nullopt;
}

void GeminiRelayServerWorker::stop(std::function<void()> drained) {
    stopping_ = true;
    drained_ = std::move(drained);
    isRunning_ = false;
    startedAt_.reset();
    for (QTcpServer* listener : listeners_) delete listener;
    listeners_.clear();
    const auto connections = std::move(connections_);
    connections_.clear();
    for (const auto& [id, connection] : connections) connection->cancel();
    publishSnapshot();
    if (handlersInFlight_ == 0) handlerFinished();
}

void GeminiRelayServerWorker::handlerFinished() {
    if (!stopping_ || handlersInFlight_ > 0 || !drained_) return;
    publishSnapshot();
    auto drained = std::move(drained_);
    drained_ = nullptr;
    drained();
}

void GeminiRelayServerWorker::accept(QTcpServer* listener) {
    while (listener->hasPendingConnections()) {
        QTcpSocket* socket = listener->nextPendingConnection();
        if (!socket) break;
        if (stopping_) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto* connection = new RelayConnection(socket, nextConnectionId_++, this);
        handle(connection);
    }
}

void GeminiRelayServerWorker::noteFailure(RelayConnection* connection, const QString& description) {
    // Requests cut short by stop() are not failures of theirs.
    if (!connection->cancelled()) lastError_ = description;
}

QCoro::Task<> GeminiRelayServerWorker::handle(RelayConnection* connection) {
    ++handlersInFlight_;
    connections_[connection->id()] = connection;
    reportSnapshot();

    connection->startReadDeadline(options_.requestReadTimeout);
    GeminiHttpRequest request;
    const std::optional<GeminiRelayServerError> readError =
        co_await readRequest(connection, &request);
    connection->stopReadDeadline();

    bool counted = false;
    std::optional<MeterJob> meter;
    if (!readError) {
        counted = true;
        meter = co_await route(connection, request);
    } else if (readError->kind != GeminiRelayServerError::Kind::connectionClosed) {
        counted = true;
        const QString description = readError->description();
        co_await failRoute(connection, description, readError->httpStatus());
    }

    // The client has its whole answer before the relay meters and records it.
    co_await closeGracefully(connection);
    std::optional<GeminiUsageRecord> record;
    bool unmetered = false;
    bool saved = true;
    QString unmeteredReason;
    if (meter) {
        record = meteredRecord(*meter);
        // Figures no call can produce are refused, never stored or shown as metered.
        if (record) {
            if (std::optional<QString> problem = GeminiRelayMetering::implausible(*record)) {
                unmeteredReason = *problem;
                record.reset();
            }
        }
        unmetered = !record;
        if (unmetered) ++unmeteredRequests_;
        if (record && callbacks_.usageRecorder) {
            QFuture<bool> recorded =
                gate_->call<bool>([recorder = callbacks_.usageRecorder,
                                   record = *record] { return recorder(record); },
                                  false);
            saved = co_await recorded;
        }
    }
    if (counted && callbacks_.requestLogger) {
        GeminiRelayRequestLog log{now(),
                                  connection->remoteIp,
                                  connection->userAgent,
                                  connection->clientAlias,
                                  request.method,
                                  request.path,
                                  connection->status,
                                  record,
                                  saved,
                                  unmetered,
                                  unmeteredReason};
        gate_->post([logger = callbacks_.requestLogger, log = std::move(log)] { logger(log); });
    }

    if (counted) ++requestsServed_;
    connections_.erase(connection->id());
    reportSnapshot();
    connection->deleteLater();
    --handlersInFlight_;
    handlerFinished();
}

std::optional<GeminiUsageRecord> GeminiRelayServerWorker::meteredRecord(const MeterJob& job) {
    using namespace GeminiRelayMetering;
    if (job.openAi) {
        return job.streamed ? recordFromOpenAiStream(job.body, job.facts)
                            : recordFromOpenAiJson(job.body, job.facts);
    }
    return job.streamed ? recordFromStream(job.body, job.facts)
                        : recordFromJson(job.body, job.facts);
}

QCoro::Task<std::optional<GeminiRelayServerError>> GeminiRelayServerWorker::readRequest(
    RelayConnection* connection, GeminiHttpRequest* request) {
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
            // Written past send(): an interim answer is not the response's head.
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

QCoro::Task<bool> GeminiRelayServerWorker::send(RelayConnection* connection,
                                                const QByteArray& bytes) {
    if (connection->cancelled() || !connection->socketOpen()) co_return false;
    if (!connection->headSent && bytes.startsWith("HTTP/1.1 ") && bytes.size() >= 12)
        connection->status = bytes.mid(9, 3).toInt();
    if (connection->socket()->write(bytes) != bytes.size()) co_return false;
    connection->headSent = true;
    while (connection->socket()->bytesToWrite() > kSendHighWater) {
        if (connection->cancelled() || !connection->socketOpen()) co_return false;
        co_await connection->changed();
    }
    co_return !connection->cancelled() && connection->socketOpen();
}

QCoro::Task<> GeminiRelayServerWorker::failRoute(RelayConnection* connection,
                                                 const QString& description, int status) {
    noteFailure(connection, description);
    if (connection->headSent) {
        // Part of an answer is out; a 400 now would corrupt it. Cut the connection instead
        // so the client sees the answer as broken rather than complete.
        resetConnection(connection->socket());
        co_return;
    }
    const QByteArray response = GeminiRelayHttp::errorResponse(status, description);
    co_await send(connection, response);
}

QCoro::Task<> GeminiRelayServerWorker::closeGracefully(RelayConnection* connection) {
    QTcpSocket* socket = connection->socket();
    if (connection->cancelled() || socket->state() == QAbstractSocket::UnconnectedState) co_return;
    // Flush what is written, then close; a client that stops reading is cut off in the end.
    connection->startReadDeadline(options_.requestReadTimeout);
    socket->disconnectFromHost();
    while (socket->state() != QAbstractSocket::UnconnectedState && !connection->cancelled() &&
           !connection->readTimedOut()) {
        co_await connection->changed();
    }
    connection->stopReadDeadline();
    if (socket->state() != QAbstractSocket::UnconnectedState) socket->abort();
}

QCoro::Task<> GeminiRelayServerWorker::answer(RelayConnection* connection, int status,
                                              const QString& message) {
    const QByteArray response = GeminiRelayHttp::errorResponse(status, message);
    co_await deliver(connection, response);
}

QCoro::Task<> GeminiRelayServerWorker::deliver(RelayConnection* connection,
                                               const QByteArray& response) {
    if (!co_await send(connection, response)) {
        noteFailure(connection, socketFailureText(connection->socket()));
    }
}

QCoro::Task<std::optional<GeminiRelayServerWorker::MeterJob>> GeminiRelayServerWorker::route(
    RelayConnection* connection, const GeminiHttpRequest& request) {
    using namespace GeminiRelayHttp;
    // Kept short: the client table and the history hold it for every client.
    const QString agent = request.header(QStringLiteral("user-agent"))
                              .value_or(QString())
                              .trimmed()
                              .left(kMaxUserAgentLength);
    const QString userAgent = agent.isEmpty() ? kUnknownAgent : agent;
    const QHostAddress peer = connection->socket()->peerAddress();
    const QString remoteIp = peer.isNull() ? QStringLiteral("?") : peer.toString();
    connection->remoteIp = remoteIp;
    connection->userAgent = userAgent;
    // A page on another name that resolves to this machine (DNS rebinding) sends its own
    // name as Host; only names of the loopback itself may use the relay.
    if (const auto host = request.header(QStringLiteral("host")); host && !isLoopbackHost(*host)) {
        const QString message = QStringLiteral("Host not allowed: ") + *host;
        co_await answer(connection, 403, message);
        co_return std::nullopt;
    }
    if (request.method.toUpper() == QLatin1String("OPTIONS")) {
        const QByteArray response = responseHead(204, {}, 0);
        co_await deliver(connection, response);
        co_return std::nullopt;
    }
    if (const auto origin = request.header(QStringLiteral("origin"))) {
        if (!isLoopbackOrigin(*origin)) {
            const QString message = QStringLiteral("Origin not allowed: ") + *origin;
            co_await answer(connection, 403, message);
            co_return std::nullopt;
        }
    }

    if (request.path == QLatin1String("/") || request.path == QLatin1String("/health")) {
        noteClient(connection, remoteIp, userAgent, QStringLiteral("(health)"));
        reportSnapshot();
        const std::int64_t requestsBefore = requestsServed_;
        QFuture<int> counted = gate_->call<int>(
            [count = callbacks_.accountCountProvider] { return count ? count() : 0; }, 0);
        const int accounts = co_await counted;
        if (connection->cancelled()) co_return std::nullopt;
        const QJsonObject body{
            {QStringLiteral("ok"), true},
            {QStringLiteral("service"), QStringLiteral("Quotameter - Gemini Relay")},
            {QStringLiteral("accounts"), accounts},
            {QStringLiteral("requests"), static_cast<qint64>(requestsBefore)},
            {QStringLiteral("activeClients"), static_cast<qint64>(activeClientCount())},
        };
        const QByteArray response = jsonResponse(200, body);
        co_await deliver(connection, response);
        co_return std::nullopt;
    }

    if (request.path.startsWith(QLatin1String("/v1beta/")) ||
        request.path.startsWith(QLatin1String("/v1/"))) {
        std::optional<MeterJob> meter = co_await proxy(connection, request, remoteIp, userAgent);
        co_return meter;
    }

    noteClient(connection, remoteIp, userAgent, QStringLiteral("(unsupported)"));
    reportSnapshot();
    const QString message = QStringLiteral("Unsupported path: ") + request.path +
                            QStringLiteral(". Relay supports /v1beta/* and /v1/*.");
    co_await answer(connection, 404, message);
    co_return std::nullopt;
}

QNetworkReply* GeminiRelayServerWorker::sendUpstream(const QNetworkRequest& request,
                                                     const QByteArray& method,
                                                     const QByteArray& body) {
    auto slot = std::min_element(managers_.begin(), managers_.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
    if (slot == managers_.end() ||
        (slot->second >= kCallsPerManager && managers_.size() < kMaxManagers)) {
        auto* manager = new QNetworkAccessManager(this);
        managers_.emplace_back(manager, 0);
        slot = managers_.end() - 1;
    }
    QNetworkAccessManager* manager = slot->first;
    ++slot->second;
    QNetworkReply* reply = manager->sendCustomRequest(request, method, body);
    connect(reply, &QObject::destroyed, this, [this, manager] {
        for (auto& [candidate, calls] : managers_) {
            if (candidate == manager) --calls;
        }
    });
    return reply;
}

QCoro::Task<std::optional<GeminiRelayServerWorker::CallKeys>> GeminiRelayServerWorker::resolveKeys(
    RelayConnection* connection, const GeminiHttpRequest& request, const QString& remoteIp,
    const QString& userAgent) {
    const std::optional<QString> credential = GeminiRelayAccounts::extractCredential(request);
    QFuture<GeminiRelayAccountResolution> resolved = gate_->call<GeminiRelayAccountResolution>(
        [resolve = callbacks_.accountResolver, credential] {
            return resolve ? resolve(credential) : GeminiRelayAccountResolution{};
        },
        GeminiRelayAccountResolution{});
    const GeminiRelayAccountResolution resolution = co_await resolved;
    if (connection->cancelled()) co_return std::nullopt;

    noteClient(connection, remoteIp, userAgent,
               resolution.accountAlias.value_or(QStringLiteral("(unmatched)")));
    reportSnapshot();

    if (!resolution.accountId) {
        const QString message = resolution.missingCredentials
                                    ? GeminiRelayAccounts::missingCredentialsMessage()
                                    : GeminiRelayAccounts::noMatchMessage();
        co_await answer(connection, 401, message);
        co_return std::nullopt;
    }
    CallKeys keys{*resolution.accountId, resolution.apiKey.value_or(QString()).trimmed(),
                  credential.value_or(QString())};
    if (keys.apiKey.isEmpty()) {
        const QString message =
            resolution.keychainError.value_or(GeminiRelayAccounts::keyUnavailableMessage());
        co_await answer(connection, 500, message);
        co_return std::nullopt;
    }
    co_return keys;
}

namespace {

QNetworkRequest upstreamRequest(const QUrl& url, const GeminiHttpRequest& request) {
    QNetworkRequest upstream(url);
    for (const char* name : {"content-type", "user-agent"}) {
        const QString value =
            request.header(QString::fromLatin1(name)).value_or(QString()).trimmed();
        if (!value.isEmpty()) upstream.setRawHeader(name, value.toUtf8());
    }
    // Bytes go to the client exactly as the API sent them, so Qt must not unpack them.
    upstream.setRawHeader("Accept-Encoding", "identity");
    // Nothing of one client's calls (cookies) may leak into another's.
    upstream.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    upstream.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    // A redirect goes back to the client as the API sent it; followed here, it would carry
    // the real key's request elsewhere.
    upstream.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                          QNetworkRequest::ManualRedirectPolicy);
    return upstream;
}

// What kind of call a request is: which model, streamed or buffered, metered or not.
struct CallShape {
    QString model;
    bool openAi = false;
    bool streamed = false;
    bool metered = false;
};

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

}  // namespace

void GeminiRelayServerWorker::dropClient(RelayConnection* connection) {
    connection->abortReply();
    noteFailure(connection, socketFailureText(connection->socket()));
}

// Waits for the answer's head (streamed) or its whole body (buffered). False when the call
// ended meanwhile: cancelled, or the client left.
QCoro::Task<bool> GeminiRelayServerWorker::awaitAnswer(RelayConnection* connection,
                                                       QNetworkReply* reply, bool streamed) {
    for (;;) {
        if (connection->cancelled()) co_return false;
        if (reply->isFinished()) co_return true;
        if (const std::optional<int> early = streamed ? httpStatus(reply) : std::nullopt) {
            if (*early >= 200 && *early <= 299) co_return true;
            // An error answer is small and goes to the client whole, like a buffered one, so
            // a failure Qt reports after its head cannot cut an answer already begun.
            reply->setReadBufferSize(0);
        }
        if (!connection->socketOpen()) {
            dropClient(connection);
            co_return false;
        }
        co_await connection->changed();
    }
}

// Sends a whole answer on; its body lands in `body`. False when it could not be sent whole.
QCoro::Task<bool> GeminiRelayServerWorker::forwardBuffered(RelayConnection* connection,
                                                           QNetworkReply* reply, int status,
                                                           const CallKeys& keys, QByteArray* body) {
    using namespace GeminiRelayHttp;
    *body = reply->readAll();
    if (bodyShortOfDeclaredLength(reply, body->size())) {
        const QString description = QStringLiteral("Connection closed.");
        noteFailure(connection, description);
        const QByteArray response =
            errorResponse(502, QStringLiteral("Upstream request failed: ") + description);
        co_await send(connection, response);
        co_return false;
    }
    QByteArray bytes =
        responseHead(status, filteredHeaders(reply, keys.apiKey, keys.relayKey), body->size());
    bytes += *body;
    if (!co_await send(connection, bytes)) {
        noteFailure(connection, socketFailureText(connection->socket()));
        co_return false;
    }
    co_return true;
}

// Forwards a stream as it arrives, keeping its first kCaptureLimit bytes in `capture` for
// metering. False when the stream did not reach the client whole.
QCoro::Task<bool> GeminiRelayServerWorker::forwardStreamed(RelayConnection* connection,
                                                           QNetworkReply* reply, int status,
                                                           const CallKeys& keys,
                                                           QByteArray* capture) {
    using namespace GeminiRelayHttp;
    const QByteArray head =
        responseHead(status, filteredHeaders(reply, keys.apiKey, keys.relayKey), std::nullopt);
    if (!co_await send(connection, head)) {
        dropClient(connection);
        co_return false;
    }
    qint64 forwarded = 0;
    for (;;) {
        if (connection->cancelled()) co_return false;
        if (reply->bytesAvailable() > 0) {
            // Forward whatever has arrived at once: one send per upstream read.
            const QByteArray data = reply->readAll();
            forwarded += data.size();
            capture->append(data.left(std::max<qsizetype>(0, kCaptureLimit - capture->size())));
            if (!co_await send(connection, data)) {
                dropClient(connection);
                co_return false;
            }
            continue;
        }
        if (reply->isFinished()) break;
        if (!connection->socketOpen()) {
            dropClient(connection);
            co_return false;
        }
        co_await connection->changed();
    }
    const bool cut = bodyShortOfDeclaredLength(reply, forwarded);
    if (cut || isTransportFailure(reply) || connection->upstreamTimedOut()) {
        // The head is out, so the only honest signal left is a cut connection.
        noteFailure(connection, cut && !isTransportFailure(reply)
                                    ? QStringLiteral("Connection closed.")
                                    : upstreamFailureText(connection));
        resetConnection(connection->socket());
        co_return false;
    }
    co_return true;
}

QCoro::Task<std::optional<GeminiRelayServerWorker::MeterJob>> GeminiRelayServerWorker::proxy(
    RelayConnection* connection, const GeminiHttpRequest& request, const QString& remoteIp,
    const QString& userAgent) {
    using namespace GeminiRelayHttp;
    const std::optional<CallKeys> keys =
        co_await resolveKeys(connection, request, remoteIp, userAgent);
    if (!keys) co_return std::nullopt;
    const std::optional<QUrl> url = buildUpstreamUrl(options_.upstreamBase, request, keys->apiKey);
    if (!url) {
        const QString message = QStringLiteral("Invalid upstream URL.");
        co_await answer(connection, 400, message);
        co_return std::nullopt;
    }

    const CallShape shape = callShape(request);
    QElapsedTimer elapsed;
    elapsed.start();
    const QNetworkRequest upstream = upstreamRequest(*url, request);
    QNetworkReply* reply = sendUpstream(upstream, request.method.toUtf8(), request.body);
    connection->attachReply(reply, options_.upstreamIdleTimeout, options_.upstreamTotalTimeout);
    if (shape.streamed) reply->setReadBufferSize(kUpstreamReadBuffer);
    if (!co_await awaitAnswer(connection, reply, shape.streamed)) co_return std::nullopt;

    const std::optional<int> status = httpStatus(reply);
    if (!status || (reply->isFinished() && isTransportFailure(reply)) ||
        connection->upstreamTimedOut()) {
        const QString description = upstreamFailureText(connection);
        noteFailure(connection, description);
        if (connection->cancelled()) co_return std::nullopt;
        const QString message = QStringLiteral("Upstream request failed: ") + description;
        const QByteArray response = errorResponse(502, message);
        co_await send(connection, response);
        co_return std::nullopt;
    }
    const bool success = *status >= 200 && *status <= 299;
    const bool streamed = shape.streamed && success;
    QByteArray body;
    // Each co_await stands in a statement of its own: GCC 12 mishandles them inside a
    // conditional expression.
    bool forwarded = false;
    if (streamed) {
        forwarded = co_await forwardStreamed(connection, reply, *status, *keys, &body);
    } else {
        forwarded = co_await forwardBuffered(connection, reply, *status, *keys, &body);
    }
    if (!forwarded || !success || !(streamed || shape.metered)) co_return std::nullopt;
    GeminiRelayMetering::RequestFacts facts{shape.model, keys->accountId, clientAgent(request),
                                            std::max<std::int64_t>(0, elapsed.elapsed())};
    co_return MeterJob{body, streamed, shape.openAi, facts};
}

void GeminiRelayServerWorker::noteClient(RelayConnection* connection, const QString& remoteIp,
                                         const QString& userAgent, const QString& alias) {
    connection->remoteIp = remoteIp;
    connection->userAgent = userAgent;
    connection->clientAlias = alias;
    trackClient(remoteIp, userAgent, alias);
}

void GeminiRelayServerWorker::trackClient(const QString& remoteIp, const QString& userAgent,
                                          const QString& alias) {
    const std::int64_t at = now();
    // Expired first, so a client back after the window starts a new entry.
    expireClients(at);
    GeminiRelayClientInfo probe{remoteIp, userAgent, alias, at, at, 1};
    const QString id = probe.id();
    if (const auto found = clientIndex_.constFind(id); found != clientIndex_.cend()) {
        const auto entry = *found;
        entry->lastSeenAt = at;
        entry->requestCount += 1;
        entry->accountAlias = alias;
        clients_.splice(clients_.begin(), clients_, entry);
    } else {
        clients_.push_front(std::move(probe));
        clientIndex_.insert(id, clients_.begin());
        // Any number of distinct agents costs bounded memory.
        while (clients_.size() > kMaxClients) {
            clientIndex_.remove(clients_.back().id());
            clients_.pop_back();
        }
    }
}

void GeminiRelayServerWorker::expireClients(std::int64_t at) {
    while (!clients_.empty() && clients_.back().lastSeenAt < at - kActivityWindowMs) {
        clientIndex_.remove(clients_.back().id());
        clients_.pop_back();
    }
}

std::size_t GeminiRelayServerWorker::activeClientCount() {
    expireClients(now());
    return clients_.size();
}

std::vector<GeminiRelayClientInfo> GeminiRelayServerWorker::activeClientsSnapshot(
    std::int64_t at) const {
    // Newest first already; entries past the window may linger until the next request.
    std::vector<GeminiRelayClientInfo> active;
    for (const GeminiRelayClientInfo& client : clients_) {
        if (client.lastSeenAt < at - kActivityWindowMs) break;
        active.push_back(client);
    }
    return active;
}

GeminiRelayServerSnapshot GeminiRelayServerWorker::makeSnapshot() const {
    GeminiRelayServerSnapshot snapshot;
    snapshot.isRunning = isRunning_;
    snapshot.port = port_;
    snapshot.requestsServed = requestsServed_;
    snapshot.unmeteredRequests = unmeteredRequests_;
    snapshot.activeConnectionCount = static_cast<int>(connections_.size());
    snapshot.activeClients = activeClientsSnapshot(now());
    snapshot.lastError = lastError_;
    snapshot.startedAt = startedAt_;
    return snapshot;
}

void GeminiRelayServerWorker::reportSnapshot() {
    if (!callbacks_.statusHandler || snapshotTimer_->isActive()) return;
    const auto since = sinceSnapshot_.isValid()
                           ? std::chrono::milliseconds(sinceSnapshot_.elapsed())
                           : kSnapshotInterval;
    snapshotTimer_->start(std::max(std::chrono::milliseconds(0), kSnapshotInterval - since));
}

void GeminiRelayServerWorker::publishSnapshot() {
    if (!callbacks_.statusHandler) return;
    snapshotTimer_->stop();
    sinceSnapshot_.start();
    bool schedule = false;
    {
        QMutexLocker lock(&snapshotSlot_->mutex);
        schedule = !snapshotSlot_->latest.has_value();
        snapshotSlot_->latest = makeSnapshot();
    }
    if (!schedule) return;
    gate_->post([slot = snapshotSlot_, handler = callbacks_.statusHandler] {
        std::optional<GeminiRelayServerSnapshot> snapshot;
        {
            QMutexLocker lock(&slot->mutex);
            snapshot.swap(slot->latest);
        }
        if (snapshot) handler(*snapshot);
    });
}

}  // namespace qm
