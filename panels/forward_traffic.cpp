#include "panels/forward_traffic.h"

void ForwardTraffic::restart() {
    totals_ = {};
    sampler_.reset();
    history_.clear();
}

void ForwardTraffic::take(const ForwardTotals& totals, Clock::time_point at) {
    totals_ = totals;
    if (const std::optional<TrafficSample> sample = sampler_.take(totals, at)) {
        history_.add(*sample);
    }
}
