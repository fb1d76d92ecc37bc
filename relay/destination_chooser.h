#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "config/forward_bounds.h"
#include "config/forward_config.h"

// The order in which one new connection tries a forward's destinations, and how far it is.
struct DestinationPlan {
    std::array<std::uint8_t, kMostDestinations> order{};
    std::uint8_t size = 0;
    std::uint8_t at = 0;

    // The destination being tried (an index into the forward's list).
    int current() const { return order[at]; }
    // Moves to the next one; false when every one has been tried.
    bool advance() { return ++at < size; }
};

// Decides which destination each new connection of one forward starts with and where it
// goes when one fails. FAILOVER always starts at the first, ROUNDROBIN at the next in turn;
// either way the rest follow in list order. A destination that failed is put at the end of
// every plan for kSkipAfterFailure, so that a dead one costs new clients nothing after the
// first: it is tried again only once all the others have failed too, or when its time is
// up. Nothing here touches a socket.
// Ownership: plain values. Thread: the relay's.
class DestinationChooser {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kSkipAfterFailure{10};

    DestinationChooser() : DestinationChooser(1, Balance::Failover) {}
    DestinationChooser(int count, Balance balance);

    int count() const { return static_cast<int>(failedAt_.size()); }
    DestinationPlan plan(Clock::time_point now);
    void failed(int index, Clock::time_point now);
    void answered(int index);

  private:
    bool skipped(int index, Clock::time_point now) const;

    Balance balance_;
    int nextStart_ = 0;
    // When each destination last failed; the epoch for never, or since it answered.
    std::vector<Clock::time_point> failedAt_;
    // Any failure is recorded, so plans with none skip the look at the times.
    int failing_ = 0;
};
