#include "relay/GeminiRelayStore.h"

#include <QPointer>
#include <QTimer>
#include <algorithm>

namespace qm {

GeminiRelayStore::GeminiRelayStore(GeminiRelayEnvironment environment,
                                   GeminiRelayServerOptions serverOptions, QObject* parent)
    : QObject(parent),
      environment_(std::move(environment)),
      serverOptions_(std::move(serverOptions)) {
    if (environment_.watchUsageSaving)
        environment_.watchUsageSaving(this, [this] { updateUsageSaveError(); });
    // A busy relay changes its count many times a second: the file follows at most every two
    // seconds, which is all a window in another process needs.
    publishLater_.setSingleShot(true);
    publishLater_.setInterval(2'000);
    connect(&publishLater_, &QTimer::timeout, this, &GeminiRelayStore::publishPresence);
    connect(this, &GeminiRelayStore::changed, this, [this] {
        if (!publishLater_.isActive()) publishPresence();
    });
    otherRunsPoll_.setInterval(3'000);
    connect(&otherRunsPoll_, &QTimer::timeout, this, &GeminiRelayStore::lookAtOtherRuns);
}

void GeminiRelayStore::publishPresence() {
    if (environment_.presenceFolder.isEmpty()) return;
    if (!isRunning_) {
        if (published_) RelayPresence::withdraw(environment_.presenceFolder);
        published_.reset();
        return;
    }
    const RelayRun run{0, port_, startedAt_.value_or(0), requestsServed_};
    if (run == published_) return;
    RelayPresence::publish(environment_.presenceFolder, run);
    published_ = run;
    publishLater_.start();
}

void GeminiRelayStore::watchOtherRuns(bool watching) {
    otherRunsWatchers_ = std::max(0, otherRunsWatchers_ + (watching ? 1 : -1));
    if (environment_.presenceFolder.isEmpty()) return;
    if (otherRunsWatchers_ == 0) {
        otherRunsPoll_.stop();
    } else if (!otherRunsPoll_.isActive()) {
        otherRunsPoll_.start();
        lookAtOtherRuns();
    }
}

void GeminiRelayStore::lookAtOtherRuns() {
    std::vector<RelayRun> runs = RelayPresence::others(environment_.presenceFolder);
    if (runs == otherRuns_) return;
    otherRuns_ = std::move(runs);
    Q_EMIT changed();
}

void GeminiRelayStore::updateUsageSaveError() {
    std::optional<QString> next;
    if (environment_.usageSaveProblem) {
        if (const std::optional<QString> problem = environment_.usageSaveProblem())
            next = QStringLiteral("Usage could not be saved: ") + *problem;
    }
    if (next == usageSaveError_) return;
    usageSaveError_ = std::move(next);
    Q_EMIT changed();
}

GeminiRelayStore::~GeminiRelayStore() {
    // Destroying a server stops it and runs the callbacks its requests still wait for, so
    // records reach the history; snapshots are no longer published.
    destroying_ = true;
    server_.reset();
    retiring_.clear();
    if (published_) RelayPresence::withdraw(environment_.presenceFolder);
}

void GeminiRelayStore::start(std::optional<int> port) {
    if (isRunning_ || server_) return;
    const int chosen = port.value_or(port_);
    if (chosen < 1 || chosen > 65535) {
        lastError_ = QStringLiteral("Port must be between 1 and 65535.");
        Q_EMIT changed();
        return;
    }
    port_ = chosen;
    launch(chosen);
}

void GeminiRelayStore::startOnFreePort() {
    if (isRunning_ || server_) return;
    // port_ keeps the last real port until the server's first snapshot names the bound one.
    launch(0);
}

void GeminiRelayStore::launch(int port) {
    lastError_.reset();
    const std::uint64_t generation = ++generation_;
    QPointer<GeminiRelayStore> self(this);
    GeminiRelayServerCallbacks callbacks;
    callbacks.accountResolver = [self](const std::optional<QString>& credential) {
        if (!self || !self->environment_.geminiAccounts) {
            return GeminiRelayAccounts::resolveAccount(credential, {}, {});
        }
        return GeminiRelayAccounts::resolveAccount(credential, self->environment_.geminiAccounts(),
                                                   self->environment_.readSecret);
    };
    // Held by value: a record of a request that ends while the store goes away still counts.
    callbacks.usageRecorder = environment_.recordUsage;
    callbacks.requestLogger = environment_.logRequest;
    callbacks.accountCountProvider = [self] {
        if (!self || !self->environment_.geminiAccounts) return 0;
        return static_cast<int>(self->environment_.geminiAccounts().size());
    };
    callbacks.statusHandler = [self, generation](const GeminiRelayServerSnapshot& snapshot) {
        // A later run's state is not overwritten by the closing words of an earlier one.
        if (self && !self->destroying_ && generation == self->generation_) self->apply(snapshot);
    };
    server_ = std::make_unique<GeminiRelayServer>(port, std::move(callbacks), serverOptions_);
    Q_EMIT changed();
    run(server_.get(), generation);
}

QCoro::Task<> GeminiRelayStore::run(GeminiRelayServer* server, std::uint64_t generation) {
    QPointer<GeminiRelayStore> self(this);
    const std::optional<GeminiRelayServerError> error = co_await server->start();
    if (!self || self->destroying_ || !error || generation != self->generation_) co_return;
    if (server_.get() == server) retire(std::move(server_));
    isRunning_ = false;
    startedAt_.reset();
    lastError_ = error->description();
    Q_EMIT changed();
}

void GeminiRelayStore::apply(const GeminiRelayServerSnapshot& snapshot) {
    isRunning_ = snapshot.isRunning;
    port_ = snapshot.port;
    requestsServed_ = snapshot.requestsServed;
    unmeteredRequests_ = snapshot.unmeteredRequests;
    activeConnectionCount_ = snapshot.activeConnectionCount;
    activeClients_ = snapshot.activeClients;
    lastError_ = snapshot.lastError;
    startedAt_ = snapshot.startedAt;
    // A server that no longer listens ends the run. It is never destroyed from inside its own
    // callback: that is deferred to the event loop.
    if (!snapshot.isRunning && server_) retire(std::move(server_));
    Q_EMIT changed();
}

void GeminiRelayStore::stop() {
    isRunning_ = false;
    startedAt_.reset();
    activeConnectionCount_ = 0;
    if (server_) retire(std::move(server_));
    Q_EMIT changed();
}

void GeminiRelayStore::retire(std::unique_ptr<GeminiRelayServer> server) {
    GeminiRelayServer* raw = server.get();
    retiring_.push_back(std::move(server));
    // Deferred so a snapshot callback never stops (and frees) the server that is calling it.
    QTimer::singleShot(0, this, [this, raw] { stopAndDrop(raw); });
}

QCoro::Task<> GeminiRelayStore::stopAndDrop(GeminiRelayServer* server) {
    QPointer<GeminiRelayStore> self(this);
    co_await server->stop();
    if (!self || self->destroying_) co_return;
    // Freed from the event loop, outside the stop coroutine that still refers to it.
    QTimer::singleShot(0, this, [this, server] {
        std::erase_if(retiring_, [server](const auto& owned) { return owned.get() == server; });
    });
}

}  // namespace qm
