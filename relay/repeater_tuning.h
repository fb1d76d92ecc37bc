#pragma once

#include <chrono>
#include <cstddef>

#include "relay/port_repeater.h"

// Limits finer than a forward's settings can state, for tests, fuzzers and bench tools; the
// program itself runs with the defaults. Given to a repeater when it is made.
struct RepeaterTuning {
    // Most live UDP sessions at once.
    static constexpr std::size_t kMaxSessions = 4096;

    // An idle timeout finer than the options' seconds; 0 leaves the options'.
    std::chrono::milliseconds idleTimeout{0};
    // How long an ended UDP session's port stays taken; 0 derives it from the idle time.
    std::chrono::milliseconds quarantine{0};
    std::size_t maxSessions = kMaxSessions;
    // What closing TCP sockets get at a stop that names no end of its own.
    std::chrono::milliseconds stopGrace = PortRepeater::kStopGrace;
};
