#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

#include <qcoro/qcorotask.h>

#include "core/HistoryRecords.h"
#include "relay/GeminiRelayMetering.h"

namespace qm {
class RelayCallbackGate;
}

// Metering a served answer and handing its record to the program, after the client has its
// whole answer.
namespace qm::RelayMeteringHandOff {

// What a successful generation answer leaves for metering once the client is served.
struct Job {
    QByteArray body;
    bool streamed = false;
    // Gemini's OpenAI-compatible endpoint rather than its own generateContent.
    bool openAi = false;
    GeminiRelayMetering::RequestFacts facts;
};

struct Outcome {
    std::optional<GeminiUsageRecord> record;
    // An answer that should have been metered and could not be; `unmeteredReason` says why
    // when its figures were refused.
    bool unmetered = false;
    QString unmeteredReason;
    // Whether `recorder` saved the record (false: held in memory until it can be written).
    bool saved = true;
};

// The record an answer's body makes, or none when it has no usable usage figures.
std::optional<GeminiUsageRecord> meteredRecord(const Job& job);

// Meters `job` (nothing to do without one) and hands a plausible record to `recorder`, which
// runs on the main thread through `gate`. Figures no call can produce are refused, never
// stored or shown as metered.
QCoro::Task<Outcome> meterAndRecord(std::optional<Job> job, RelayCallbackGate* gate,
                                    std::function<bool(const GeminiUsageRecord&)> recorder);

}  // namespace qm::RelayMeteringHandOff
