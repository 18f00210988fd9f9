#include "relay/GeminiRelayServerWorker.h"

#include <QJsonObject>
#include <QNetworkRequest>
#include <QUrl>
#include <algorithm>

#include <qcoro/qcorofuture.h>

#include "relay/RelayCallbackGate.h"
#include "relay/RelayConnectionIo.h"
#include "relay/RelayRequestReading.h"

namespace qm {

namespace {

constexpr std::int64_t kActivityWindowMs = 300'000;
constexpr std::chrono::milliseconds kSnapshotInterval{50};
// How much of a streamed upstream answer may wait unread for a slow client.
constexpr qint64 kUpstreamReadBuffer = 1024 * 1024;
// Clients kept in the activity table; the least recently seen go first past this.
constexpr std::size_t kMaxClients = 1000;

}  // namespace

GeminiRelayServerWorker::GeminiRelayServerWorker(int port, GeminiRelayServerCallbacks callbacks,
                                                 GeminiRelayServerOptions options,
                                                 RelayCallbackGate* gate)
    : port_(port),
      callbacks_(std::move(callbacks)),
      options_(std::move(options)),
      gate_(gate),
      upstream_(new RelayUpstreamClients(this)),
      snapshotTimer_(new QTimer(this)) {
    options_.clock = orSystemClock(std::move(options_.clock));
    snapshotTimer_->setSingleShot(true);
    connect(snapshotTimer_, &QTimer::timeout, this, &GeminiRelayServerWorker::publishSnapshot);
}

GeminiRelayServerWorker::~GeminiRelayServerWorker() = default;

std::int64_t GeminiRelayServerWorker::now() const {
    return options_.clock();
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
        const auto noteFailure = [this](const QString& description) { lastError_ = description; };
        auto* connection = new RelayConnection(socket, nextConnectionId_++, noteFailure, this);
        handle(connection);
    }
}

QCoro::Task<> GeminiRelayServerWorker::handle(RelayConnection* connection) {
    ++handlersInFlight_;
    connections_[connection->id()] = connection;
    reportSnapshot();

    connection->startReadDeadline(options_.requestReadTimeout);
    GeminiHttpRequest request;
    const std::optional<GeminiRelayServerError> readError =
        co_await RelayRequestReading::read(connection, &request);
    connection->stopReadDeadline();

    bool counted = false;
    std::optional<RelayMeteringHandOff::Job> meter;
    if (!readError) {
        counted = true;
        meter = co_await route(connection, request);
    } else if (readError->kind != GeminiRelayServerError::Kind::connectionClosed) {
        counted = true;
        const QString description = readError->description();
        const int status = readError->httpStatus();
        co_await RelayConnectionIo::fail(connection, description, status);
    }

    // The client has its whole answer before the relay meters and records it.
    co_await RelayConnectionIo::closeGracefully(connection, options_.requestReadTimeout);
    const RelayMeteringHandOff::Outcome metered = co_await RelayMeteringHandOff::meterAndRecord(
        std::move(meter), gate_, callbacks_.usageRecorder);
    if (metered.unmetered) ++unmeteredRequests_;
    if (counted) logRequest(connection, request, metered);

    if (counted) ++requestsServed_;
    connections_.erase(connection->id());
    reportSnapshot();
    connection->deleteLater();
    --handlersInFlight_;
    handlerFinished();
}

void GeminiRelayServerWorker::logRequest(const RelayConnection* connection,
                                         const GeminiHttpRequest& request,
                                         const RelayMeteringHandOff::Outcome& metered) {
    if (!callbacks_.requestLogger) return;
    GeminiRelayRequestLog log{
        now(),          connection->remoteIp, connection->userAgent,  connection->clientAlias,
        request.method, request.path,         connection->status,     metered.record,
        metered.saved,  metered.unmetered,    metered.unmeteredReason};
    gate_->post([logger = callbacks_.requestLogger, log = std::move(log)] { logger(log); });
}

QCoro::Task<std::optional<RelayMeteringHandOff::Job>> GeminiRelayServerWorker::route(
    RelayConnection* connection, const GeminiHttpRequest& request) {
    using namespace RelayRequestReading;
    using RelayConnectionIo::answer;
    using RelayConnectionIo::deliver;
    const QHostAddress peer = connection->socket()->peerAddress();
    connection->remoteIp = peer.isNull() ? QStringLiteral("?") : peer.toString();
    connection->userAgent = clientAgentOrUnknown(request);
    // A page on another name that resolves to this machine (DNS rebinding) sends its own
    // name as Host; only names of the loopback itself may use the relay.
    if (const auto host = request.header(QStringLiteral("host")); host && !isLoopbackHost(*host)) {
        const QString message = QStringLiteral("Host not allowed: ") + *host;
        co_await answer(connection, 403, message);
        co_return std::nullopt;
    }
    if (request.method.toUpper() == QLatin1String("OPTIONS")) {
        const QByteArray response = GeminiRelayHttp::responseHead(204, {}, 0);
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
        noteClient(connection, QStringLiteral("(health)"));
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
        const QByteArray response = GeminiRelayHttp::jsonResponse(200, body);
        co_await deliver(connection, response);
        co_return std::nullopt;
    }

    if (request.path.startsWith(QLatin1String("/v1beta/")) ||
        request.path.startsWith(QLatin1String("/v1/"))) {
        std::optional<RelayMeteringHandOff::Job> meter = co_await proxy(connection, request);
        co_return meter;
    }

    noteClient(connection, QStringLiteral("(unsupported)"));
    reportSnapshot();
    const QString message = QStringLiteral("Unsupported path: ") + request.path +
                            QStringLiteral(". Relay supports /v1beta/* and /v1/*.");
    co_await answer(connection, 404, message);
    co_return std::nullopt;
}

QCoro::Task<std::optional<RelayUpstreamCall::CallKeys>> GeminiRelayServerWorker::resolveKeys(
    RelayConnection* connection, const GeminiHttpRequest& request) {
    const std::optional<QString> credential = GeminiRelayAccounts::extractCredential(request);
    QFuture<GeminiRelayAccountResolution> resolved = gate_->call<GeminiRelayAccountResolution>(
        [resolve = callbacks_.accountResolver, credential] {
            return resolve ? resolve(credential) : GeminiRelayAccountResolution{};
        },
        GeminiRelayAccountResolution{});
    const GeminiRelayAccountResolution resolution = co_await resolved;
    if (connection->cancelled()) co_return std::nullopt;

    noteClient(connection, resolution.accountAlias.value_or(QStringLiteral("(unmatched)")));
    reportSnapshot();

    if (!resolution.accountId) {
        const QString message = resolution.missingCredentials
                                    ? GeminiRelayAccounts::missingCredentialsMessage()
                                    : GeminiRelayAccounts::noMatchMessage();
        co_await RelayConnectionIo::answer(connection, 401, message);
        co_return std::nullopt;
    }
    RelayUpstreamCall::CallKeys keys{*resolution.accountId,
                                     resolution.apiKey.value_or(QString()).trimmed(),
                                     credential.value_or(QString())};
    if (keys.apiKey.isEmpty()) {
        const QString message =
            resolution.keychainError.value_or(GeminiRelayAccounts::keyUnavailableMessage());
        co_await RelayConnectionIo::answer(connection, 500, message);
        co_return std::nullopt;
    }
    co_return keys;
}

QCoro::Task<std::optional<RelayMeteringHandOff::Job>> GeminiRelayServerWorker::proxy(
    RelayConnection* connection, const GeminiHttpRequest& request) {
    using namespace RelayUpstreamCall;
    const std::optional<CallKeys> keys = co_await resolveKeys(connection, request);
    if (!keys) co_return std::nullopt;
    const std::optional<QUrl> url = upstreamUrl(options_.upstreamBase, request, keys->apiKey);
    if (!url) {
        const QString message = QStringLiteral("Invalid upstream URL.");
        co_await RelayConnectionIo::answer(connection, 400, message);
        co_return std::nullopt;
    }

    const RelayRequestReading::CallShape shape = RelayRequestReading::callShape(request);
    QElapsedTimer elapsed;
    elapsed.start();
    const QNetworkRequest upstream = upstreamRequest(*url, request);
    QNetworkReply* reply = upstream_->send(upstream, request.method.toUtf8(), request.body);
    connection->attachReply(reply, options_.upstreamIdleTimeout, options_.upstreamTotalTimeout);
    if (shape.streamed) reply->setReadBufferSize(kUpstreamReadBuffer);
    if (!co_await awaitAnswer(connection, reply, shape.streamed)) co_return std::nullopt;

    const std::optional<int> status = httpStatus(reply);
    if (!status || (reply->isFinished() && isTransportFailure(reply)) ||
        connection->upstreamTimedOut()) {
        const QString description = failureText(connection);
        connection->noteFailure(description);
        if (connection->cancelled()) co_return std::nullopt;
        const QString message = QStringLiteral("Upstream request failed: ") + description;
        const QByteArray response = GeminiRelayHttp::errorResponse(502, message);
        co_await RelayConnectionIo::send(connection, response);
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
    GeminiRelayMetering::RequestFacts facts{shape.model, keys->accountId,
                                            RelayRequestReading::clientAgent(request),
                                            std::max<std::int64_t>(0, elapsed.elapsed())};
    co_return RelayMeteringHandOff::Job{body, streamed, shape.openAi, facts};
}

void GeminiRelayServerWorker::noteClient(RelayConnection* connection, const QString& alias) {
    connection->clientAlias = alias;
    trackClient(connection->remoteIp, connection->userAgent, alias);
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
