#include "panels/traffic_history.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace {

// Below this the axis still spans something readable.
constexpr double kLeastTop = 1000;
// At most this many steps from 0 to the top.
constexpr double kMostSteps = 4;

double rateOf(std::uint64_t now, std::uint64_t before, double seconds) {
    return now > before ? static_cast<double>(now - before) / seconds : 0;
}

// 1, 2 or 5 times a power of ten, at or above the value.
double roundStep(double value) {
    const double magnitude = std::pow(10.0, std::floor(std::log10(value)));
    const double scaled = value / magnitude;
    const double mantissa = scaled <= 1 ? 1 : scaled <= 2 ? 2 : scaled <= 5 ? 5 : 10;
    return mantissa * magnitude;
}

// The value in the largest binary unit it reaches, with one decimal from KiB on.
template <std::size_t N>
std::string readable(double value, const char* const (&units)[N]) {
    std::size_t unit = 0;
    while (unit + 1 < std::size(units) && value >= 1024) {
        value /= 1024;
        ++unit;
    }
    char text[32] = {};
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace

std::string readableRate(double bytesPerSecond) {
    // As the graph's axis: MiB/s at most.
    static constexpr const char* kUnits[3] = {"B/s", "KiB/s", "MiB/s"};
    return readable(bytesPerSecond, kUnits);
}

std::string readableBytes(std::uint64_t bytes) {
    static constexpr const char* kUnits[4] = {"B", "KiB", "MiB", "GiB"};
    return readable(static_cast<double>(bytes), kUnits);
}

std::optional<TrafficSample> TrafficSampler::take(const ForwardTotals& totals,
                                                  Clock::time_point at) {
    std::optional<Look> before = previous_;
    previous_ = Look{totals, at};
    if (!before || at <= before->at) {
        return std::nullopt;
    }
    const double seconds = std::chrono::duration<double>(at - before->at).count();
    return TrafficSample{rateOf(totals.bytesUp, before->totals.bytesUp, seconds),
                         rateOf(totals.bytesDown, before->totals.bytesDown, seconds)};
}

void TrafficHistory::clear() {
    next_ = 0;
    count_ = 0;
}

void TrafficHistory::add(const TrafficSample& sample) {
    ring_[next_] = sample;
    next_ = (next_ + 1) % kCapacity;
    count_ = std::min(count_ + 1, kCapacity);
}

std::vector<TrafficSample> TrafficHistory::within(TrafficWindow window) const {
    const std::size_t wanted = std::min(count_, static_cast<std::size_t>(window));
    std::vector<TrafficSample> samples;
    samples.reserve(wanted);
    for (std::size_t i = 0; i < wanted; ++i) {
        samples.push_back(ring_[(next_ + kCapacity - wanted + i) % kCapacity]);
    }
    return samples;
}

TrafficSample TrafficHistory::current() const {
    return count_ == 0 ? TrafficSample{} : ring_[(next_ + kCapacity - 1) % kCapacity];
}

TrafficSample peakOf(const std::vector<TrafficSample>& samples) {
    TrafficSample peak;
    for (const TrafficSample& sample : samples) {
        peak.up = std::max(peak.up, sample.up);
        peak.down = std::max(peak.down, sample.down);
    }
    return peak;
}

RateAxis rateAxisFor(double peakBytesPerSecond) {
    RateAxis axis;
    const double peak = std::max(peakBytesPerSecond, kLeastTop);
    double unitBytes = 1;
    if (peak >= 1024.0 * 1024) {
        axis.unit = "MiB/s";
        unitBytes = 1024.0 * 1024;
    } else if (peak >= 1024) {
        axis.unit = "KiB/s";
        unitBytes = 1024;
    }
    const double inUnits = peak / unitBytes;
    const double step = roundStep(inUnits / kMostSteps);
    const double steps = std::ceil(inUnits / step - 1e-9);
    axis.step = step * unitBytes;
    axis.top = steps * axis.step;
    for (int i = 0; i <= static_cast<int>(steps); ++i) {
        char text[32] = {};
        if (i == 0) {
            std::snprintf(text, sizeof text, "0");
        } else {
            std::snprintf(text, sizeof text, "%g %s", i * step, axis.unit);
        }
        axis.labels.emplace_back(text);
    }
    return axis;
}
