#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <qcoro/qcorotask.h>

#include "core/HistoryRecords.h"
#include "relay/GeminiRelayAccountResolution.h"
#include "relay/GeminiRelayServer.h"
#include "relay/RelayPresence.h"

namespace qm {

// What the relay needs of the rest of the program. The application wires these to the account
// store, the secret store and the history store; every one runs on the main thread.
struct GeminiRelayEnvironment {
    // The Gemini accounts as they are right now, in the account list's order.
    std::function<std::vector<GeminiRelayAccounts::Candidate>()> geminiAccounts;
    GeminiRelayAccounts::SecretReader readSecret;
    // Stores (and saves) one metered request; false when it could not be saved.
    std::function<bool(const GeminiUsageRecord&)> recordUsage;
    // Optional: why metered records cannot be saved right now, and a way to hear when that
    // may have changed (calls `changed` on `context`'s thread until `context` goes away).
    std::function<std::optional<QString>()> usageSaveProblem;
    std::function<void(QObject* context, std::function<void()> changed)> watchUsageSaving;
    // Optional: every finished request, for a traffic log.
    std::function<void(const GeminiRelayRequestLog&)> logRequest;
    // Optional: the folder where the processes on one data folder say which relays they run
    // (see RelayPresence); empty for none.
    QString presenceFolder;
};

// The main-thread owner of the relay: starts a fresh server for each run, answers its
// callbacks from the environment and mirrors its snapshots.
class GeminiRelayStore : public QObject {
    Q_OBJECT

public:
    static constexpr int kDefaultPort = 47821;

    explicit GeminiRelayStore(GeminiRelayEnvironment environment,
                              GeminiRelayServerOptions serverOptions = {},
                              QObject* parent = nullptr);
    // Stops a running relay and waits for its requests, so no metered record is lost.
    ~GeminiRelayStore() override;

    bool isRunning() const { return isRunning_; }
    int port() const { return port_; }
    std::int64_t requestsServed() const { return requestsServed_; }
    std::int64_t unmeteredRequests() const { return unmeteredRequests_; }
    int activeConnectionCount() const { return activeConnectionCount_; }
    const std::vector<GeminiRelayClientInfo>& activeClients() const { return activeClients_; }
    const std::optional<QString>& lastError() const { return lastError_; }
    const std::optional<std::int64_t>& startedAt() const { return startedAt_; }
    // "Usage could not be saved: …" while metered records cannot be written, else nothing.
    const std::optional<QString>& usageSaveError() const { return usageSaveError_; }

    // Starts on `port`, or on the current port when absent. Does nothing while a run exists.
    void start(std::optional<int> port = std::nullopt);
    // Starts on a port the system picks; port() names it once the relay runs. The port a user
    // sets stays within 1-65535: this serves `relay --port 0` and callers that must not race
    // another program for a port they picked beforehand.
    void startOnFreePort();
    void stop();

    // The relays other processes on the same data folder run (the app, `quotameter-cli
    // relay`), as last looked at. Looked at every few seconds while at least one watcher
    // (a window on screen) asked for them: each watch(true) is ended by one watch(false).
    const std::vector<RelayRun>& otherRuns() const { return otherRuns_; }
    void watchOtherRuns(bool watching);

Q_SIGNALS:
    void changed();

private:
    void launch(int port);
    void apply(const GeminiRelayServerSnapshot& snapshot);
    QCoro::Task<> run(GeminiRelayServer* server, std::uint64_t generation);
    void retire(std::unique_ptr<GeminiRelayServer> server);
    QCoro::Task<> stopAndDrop(GeminiRelayServer* server);

    GeminiRelayEnvironment environment_;
    GeminiRelayServerOptions serverOptions_;
    std::unique_ptr<GeminiRelayServer> server_;
    // Servers being stopped; each is destroyed once its requests have ended.
    std::vector<std::unique_ptr<GeminiRelayServer>> retiring_;
    std::uint64_t generation_ = 0;
    bool destroying_ = false;

    bool isRunning_ = false;
    int port_ = kDefaultPort;
    std::int64_t requestsServed_ = 0;
    std::int64_t unmeteredRequests_ = 0;
    int activeConnectionCount_ = 0;
    std::vector<GeminiRelayClientInfo> activeClients_;
    std::optional<QString> lastError_;
    std::optional<std::int64_t> startedAt_;
    std::optional<QString> usageSaveError_;
    void updateUsageSaveError();

    // This run as published for the other processes, and the others as seen.
    void publishPresence();
    void lookAtOtherRuns();
    std::optional<RelayRun> published_;
    QTimer publishLater_;
    QTimer otherRunsPoll_;
    int otherRunsWatchers_ = 0;
    std::vector<RelayRun> otherRuns_;
};

}  // namespace qm
