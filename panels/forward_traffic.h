#pragma once

#include <chrono>

#include "panels/traffic_history.h"
#include "relay/forward_totals.h"

// What the window knows of one forward's traffic since it was switched ON: the totals as
// last read from its repeater, the rates made of them once a second and their history,
// kept while the status dialog is closed so that opening it shows the past.
// Ownership: a value held by the port panel; the status dialog reads it. Thread: the window's.
class ForwardTraffic {
  public:
    using Clock = std::chrono::steady_clock;

    // The forward was switched ON: the old history goes and the next look starts afresh.
    void restart();
    // One look at the repeater's totals; from the second look on each gives a sample.
    void take(const ForwardTotals& totals, Clock::time_point at = Clock::now());

    const ForwardTotals& totals() const { return totals_; }
    const TrafficHistory& history() const { return history_; }

  private:
    ForwardTotals totals_;
    TrafficSampler sampler_;
    TrafficHistory history_;
};
