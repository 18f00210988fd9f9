#include "metrics/CounterContinuity.h"

#include <algorithm>
#include <set>

namespace qm::metrics {

void CounterContinuity::apply(MetricsExposition& exposition) {
    std::set<std::pair<QString, Labels>> present;
    for (auto& [name, family] : exposition.families()) {
        if (family.type != MetricType::counter) continue;
        for (auto& [labels, value] : family.samples) {
            std::pair<QString, Labels> key{name, labels};
            const auto found = seen_.find(key);
            if (found == seen_.end()) {
                seen_.emplace(key, Seen{value, value});
            } else {
                Seen& seen = found->second;
                seen.served += std::max(0.0, value - seen.read);
                seen.read = value;
                value = seen.served;
            }
            present.insert(std::move(key));
        }
    }
    for (auto& [key, seen] : seen_) {
        if (present.contains(key)) continue;
        const auto family = exposition.families().find(key.first);
        if (family == exposition.families().end()) continue;
        seen.read = 0;  // whatever comes back under these labels is new
        family->second.samples[key.second] = seen.served;
    }
}

}  // namespace qm::metrics
