#pragma once

#include <QString>
#include <optional>

#include <qcoro/qcorotask.h>

#include "relay/GeminiRelayHttp.h"

namespace qm {
class RelayConnection;
}

// Reading a client's request off its connection and telling what it asks for.
namespace qm::RelayRequestReading {

// The whole request into `request`, or why there is none; a silent, stopped or vanished
// client reads as connectionClosed (left unanswered).
QCoro::Task<std::optional<GeminiRelayServerError>> read(RelayConnection* connection,
                                                        GeminiHttpRequest* request);

// Origins a page served from this machine can have; anything else is a web site the user
// visits, which must not spend the user's Gemini quota through the relay.
bool isLoopbackOrigin(const QString& origin);

// The Host header of a request meant for this relay: a loopback address or localhost, with
// or without a port.
bool isLoopbackHost(const QString& host);

// The client's User-Agent as the history keeps it: trimmed and bounded; none when absent.
std::optional<QString> clientAgent(const GeminiHttpRequest& request);
// The same for the client table, "(unknown)" when absent or blank.
QString clientAgentOrUnknown(const GeminiHttpRequest& request);

// What kind of call a request is: which model, streamed or buffered, metered or not.
struct CallShape {
    QString model;
    // Gemini's OpenAI-compatible chat endpoint rather than its own generateContent.
    bool openAi = false;
    bool streamed = false;
    bool metered = false;
};
CallShape callShape(const GeminiHttpRequest& request);

}  // namespace qm::RelayRequestReading
