#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "relay/forward_totals.h"

// One second of a forward's traffic: bytes per second from clients (up) and back (down).
struct TrafficSample {
    double up = 0;
    double down = 0;

    bool operator==(const TrafficSample&) const = default;
};

// Turns a forward's running totals into rates: each look gives what moved since the look
// before, over the time between them. Totals include connections that have closed, so
// bytes of a connection that came and went within the second still count.
// Ownership: plain value. Thread: whichever holds it.
class TrafficSampler {
  public:
    using Clock = std::chrono::steady_clock;

    // The next look starts afresh and gives no rate (the forward has just been switched ON).
    void reset() { previous_.reset(); }
    // The rates since the previous look; none for the first look after a reset.
    std::optional<TrafficSample> take(const ForwardTotals& totals, Clock::time_point at);

  private:
    struct Look {
        ForwardTotals totals;
        Clock::time_point at;
    };
    std::optional<Look> previous_;
};

// The time windows the graph offers.
enum class TrafficWindow { OneMinute = 60, FiveMinutes = 300, ThirtyMinutes = 1800 };

// The last half hour of one forward's samples, one a second, oldest first; older ones go.
// Ownership: plain value. Thread: the window's.
class TrafficHistory {
  public:
    static constexpr std::size_t kCapacity = 1800;

    void clear();
    void add(const TrafficSample& sample);
    std::size_t size() const { return count_; }
    // The newest samples that fall within the window, oldest first.
    std::vector<TrafficSample> within(TrafficWindow window) const;
    // The newest sample, or nothing yet.
    TrafficSample current() const;

  private:
    std::vector<TrafficSample> ring_ = std::vector<TrafficSample>(kCapacity);
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

// The highest rates each way among the samples.
TrafficSample peakOf(const std::vector<TrafficSample>& samples);

// A rate as a person reads it: "512 B/s", "1.5 KiB/s", "12.3 MiB/s".
std::string readableRate(double bytesPerSecond);
// An amount the same way: "512 B", "1.5 KiB", "12.3 MiB", "4.2 GiB".
std::string readableBytes(std::uint64_t bytes);

// The graph's rate axis for a peak: one unit (B/s, KiB/s or MiB/s) and round steps from 0 to
// a top at or above the peak, labelled as a person reads them.
struct RateAxis {
    const char* unit = "B/s";
    // Bytes per second of one step and of the top.
    double step = 0;
    double top = 0;
    // From 0 up to the top, one per step.
    std::vector<std::string> labels;
};
RateAxis rateAxisFor(double peakBytesPerSecond);
