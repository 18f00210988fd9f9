#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <qcoro/qcorotask.h>

#include "core/Clock.h"
#include "core/HistoryRecords.h"
#include "core/RemoteHosts.h"
#include "relay/GeminiRelayAccountResolution.h"
#include "relay/GeminiRelayHttp.h"

namespace qm {

class GeminiRelayServerWorker;
class RelayCallbackGate;

// One program that used the relay, identified by its host and user agent.
struct GeminiRelayClientInfo {
    QString remoteIp;      // "127.0.0.1", "::1", or "?"
    QString userAgent;     // trimmed, or "(unknown)"
    QString accountAlias;  // account of the latest request, or "(health)" / "(unmatched)" / ...
    std::int64_t firstSeenAt = 0;  // ms since the Unix epoch
    std::int64_t lastSeenAt = 0;   // ms since the Unix epoch
    std::int64_t requestCount = 0;

    QString id() const { return remoteIp + QStringLiteral("::") + userAgent; }
    // The user agent up to its first space ("curl/8.1" of "curl/8.1 extra"), or "(unknown)".
    QString displayName() const;
    bool operator==(const GeminiRelayClientInfo&) const = default;
};

struct GeminiRelayServerSnapshot {
    bool isRunning = false;
    int port = 0;
    std::int64_t requestsServed = 0;
    // Successful generation calls whose answer carried no usage to price (a streamed
    // OpenAI-style call that did not ask for it); nothing is recorded for them.
    std::int64_t unmeteredRequests = 0;
    int activeConnectionCount = 0;
    std::vector<GeminiRelayClientInfo> activeClients;  // last 300 s, newest first
    std::optional<QString> lastError;
    std::optional<std::int64_t> startedAt;  // ms since the Unix epoch
    bool operator==(const GeminiRelayServerSnapshot&) const = default;
};

// One finished request, for a log of the relay's traffic.
struct GeminiRelayRequestLog {
    std::int64_t finishedAt = 0;  // ms since the Unix epoch
    QString remoteIp;             // empty when the request never got as far as being read
    QString userAgent;
    QString accountAlias;  // as in the client list: an alias or "(health)", "(unmatched)", ...
    QString method;
    QString path;
    int status = 0;                          // of the answer the client got; 0 when none was sent
    std::optional<GeminiUsageRecord> usage;  // metered calls
    // False when the metered record could not be saved: it is held in memory, not on disk.
    bool usageSaved = true;
    bool unmetered = false;   // a generation call whose usage was not in its answer, or absurd
    QString unmeteredReason;  // why, when the answer's figures were refused
};

// How the server reaches the rest of the program. Each runs on the thread that created the
// server (the main thread) while the request that needs it waits.
struct GeminiRelayServerCallbacks {
    std::function<GeminiRelayAccountResolution(const std::optional<QString>& credential)>
        accountResolver;
    // Returns whether the record is saved (false: held in memory until it can be written).
    std::function<bool(const GeminiUsageRecord&)> usageRecorder;
    std::function<int()> accountCountProvider;
    std::function<void(const GeminiRelayServerSnapshot&)> statusHandler;
    // Optional; told of every counted request once it has ended (after its usage record).
    std::function<void(const GeminiRelayRequestLog&)> requestLogger;
};

struct GeminiRelayServerOptions {
    // Where requests are forwarded; the client's path and query follow it.
    QString upstreamBase = RemoteHosts::geminiApi();
    // A connection that has not delivered a whole request by then is closed unanswered.
    std::chrono::milliseconds requestReadTimeout{60'000};
    // An upstream call that moves no bytes for this long fails ...
    std::chrono::milliseconds upstreamIdleTimeout{60'000};
    // ... and none may take longer than this in total.
    std::chrono::milliseconds upstreamTotalTimeout{600'000};
    // Also listen on ::1 (skipped quietly where the machine has no IPv6).
    bool listenOnIpv6 = true;
    // The system clock unless a test sets it.
    Clock clock;
};

// The Gemini relay: a loopback HTTP server that swaps relay keys for the accounts' own keys,
// forwards calls to the Gemini API and meters the answers. Its sockets, upstream calls and
// bookkeeping live on a thread of its own; the owner drives it with start() and stop() and
// hears back only through the callbacks. Port 0 listens on a free port (see port()).
class GeminiRelayServer : public QObject {
    Q_OBJECT

public:
    GeminiRelayServer(int port, GeminiRelayServerCallbacks callbacks,
                      GeminiRelayServerOptions options = {}, QObject* parent = nullptr);
    // Stops the relay if it still runs and waits for its thread; callbacks the thread still
    // waits for run here, so no metered record is lost.
    ~GeminiRelayServer() override;

    // Starts listening on 127.0.0.1 (and ::1). Starting a running server only reports a
    // snapshot. Errors: invalidPort, or listenFailed with the system's text.
    QCoro::Task<std::optional<GeminiRelayServerError>> start();

    // Closes the listeners, cancels every connection and upstream call, and returns once every
    // request in flight has ended. A stopped server cannot be started again.
    QCoro::Task<> stop();

    // The requested port, or the one actually bound once a start with port 0 succeeded.
    int port() const { return port_; }

private:
    void shutDownNow();

    int port_;
    bool stopped_ = false;
    std::unique_ptr<QThread> thread_;
    std::unique_ptr<RelayCallbackGate> gate_;
    GeminiRelayServerWorker* worker_ = nullptr;  // lives on thread_, deleted as it ends
};

}  // namespace qm
