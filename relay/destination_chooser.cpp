#include "relay/destination_chooser.h"

#include <algorithm>

DestinationChooser::DestinationChooser(int count, Balance balance)
    : balance_(balance),
      failedAt_(static_cast<std::size_t>(std::clamp(count, 1, kMostDestinations))) {}

bool DestinationChooser::skipped(int index, Clock::time_point now) const {
    const Clock::time_point at = failedAt_[static_cast<std::size_t>(index)];
    return at != Clock::time_point{} && now - at < kSkipAfterFailure;
}

DestinationPlan DestinationChooser::plan(Clock::time_point now) {
    const int n = count();
    int start = 0;
    if (balance_ == Balance::RoundRobin) {
        start = nextStart_;
        nextStart_ = (nextStart_ + 1) % n;
    }
    DestinationPlan plan;
    // Those not skipped in turn from start, then the skipped ones in the same turn.
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < n; ++i) {
            const int index = (start + i) % n;
            const bool late = failing_ > 0 && skipped(index, now);
            if (late == (pass == 1)) {
                plan.order[plan.size++] = static_cast<std::uint8_t>(index);
            }
        }
        if (failing_ == 0) {
            break;
        }
    }
    return plan;
}

void DestinationChooser::failed(int index, Clock::time_point now) {
    if (index < 0 || index >= count()) {
        return;
    }
    Clock::time_point& at = failedAt_[static_cast<std::size_t>(index)];
    if (at == Clock::time_point{}) {
        ++failing_;
    }
    at = now;
}

void DestinationChooser::answered(int index) {
    if (index < 0 || index >= count()) {
        return;
    }
    Clock::time_point& at = failedAt_[static_cast<std::size_t>(index)];
    if (at != Clock::time_point{}) {
        --failing_;
        at = Clock::time_point{};
    }
}
