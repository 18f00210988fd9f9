#pragma once

#include <QString>
#include <map>
#include <utility>

#include "metrics/MetricsExposition.h"

namespace qm::metrics {

// Keeps the counters a long-running exporter serves from ever falling. The figures are read
// afresh per scrape from logs and a history that lose their oldest part (a tool deletes old
// transcripts, the history keeps 90 days); served as they are, such a fall would read as a
// counter reset and Prometheus would count the whole remaining total again. Each counter
// series instead grows by what its figure grew since the last scrape and stays put when it
// fell; a series that is no longer read at all keeps its last value. Gauges pass unchanged.
class CounterContinuity {
public:
    void apply(MetricsExposition& exposition);

private:
    struct Seen {
        double read = 0;    // the figure as last read
        double served = 0;  // what was served for it
    };
    std::map<std::pair<QString, Labels>, Seen> seen_;
};

}  // namespace qm::metrics
