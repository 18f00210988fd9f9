#include "relay/RelayMeteringHandOff.h"

#include <QFuture>

#include <qcoro/qcorofuture.h>

#include "relay/RelayCallbackGate.h"

namespace qm::RelayMeteringHandOff {

std::optional<GeminiUsageRecord> meteredRecord(const Job& job) {
    using namespace GeminiRelayMetering;
    if (job.openAi) {
        return job.streamed ? recordFromOpenAiStream(job.body, job.facts)
                            : recordFromOpenAiJson(job.body, job.facts);
    }
    return job.streamed ? recordFromStream(job.body, job.facts)
                        : recordFromJson(job.body, job.facts);
}

QCoro::Task<Outcome> meterAndRecord(std::optional<Job> job, RelayCallbackGate* gate,
                                    std::function<bool(const GeminiUsageRecord&)> recorder) {
    Outcome outcome;
    if (!job) co_return outcome;
    outcome.record = meteredRecord(*job);
    if (outcome.record) {
        if (std::optional<QString> problem = GeminiRelayMetering::implausible(*outcome.record)) {
            outcome.unmeteredReason = *problem;
            outcome.record.reset();
        }
    }
    outcome.unmetered = !outcome.record;
    if (outcome.record && recorder) {
        QFuture<bool> recorded = gate->call<bool>(
            [recorder, record = *outcome.record] { return recorder(record); }, false);
        outcome.saved = co_await recorded;
    }
    co_return outcome;
}

}  // namespace qm::RelayMeteringHandOff
