#include <gtest/gtest.h>

#include "panels/traffic_history.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(TrafficSampler, RatesAreTheBytesSinceTheLastLookOverTheTimeBetween) {
    TrafficSampler sampler;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(sampler.take({100, 50, 1, 1}, start));
    // Half a second, then a second in which a connection came and went: its bytes are in
    // the totals all the same.
    EXPECT_EQ(sampler.take({612, 50, 1, 1}, start + 500ms), (TrafficSample{1024, 0}));
    EXPECT_EQ(sampler.take({1612, 2098, 2, 1}, start + 1500ms), (TrafficSample{1000, 2048}));
    // Nothing moved, or the clock did not: no rate of its own, no division by zero.
    EXPECT_EQ(sampler.take({1612, 2098, 2, 1}, start + 2500ms), (TrafficSample{0, 0}));
    EXPECT_FALSE(sampler.take({1612, 2098, 2, 1}, start + 2500ms));
    // Switched ON again: the totals start from 0 and the first look gives no rate.
    sampler.reset();
    EXPECT_FALSE(sampler.take({}, start + 3s));
    EXPECT_EQ(sampler.take({10, 20, 1, 1}, start + 4s), (TrafficSample{10, 20}));
}

TEST(TrafficHistory, KeepsTheLastHalfHourAndGivesTheChosenWindowOldestFirst) {
    TrafficHistory history;
    EXPECT_TRUE(history.within(TrafficWindow::OneMinute).empty());
    EXPECT_EQ(history.current(), TrafficSample{});
    for (int second = 1; second <= 30; ++second) {
        history.add({static_cast<double>(second), 0});
    }
    // Fewer than a window's worth: all of them.
    EXPECT_EQ(history.within(TrafficWindow::FiveMinutes).size(), 30u);
    for (int second = 31; second <= 2000; ++second) {
        history.add({static_cast<double>(second), static_cast<double>(-second)});
    }
    EXPECT_EQ(history.size(), TrafficHistory::kCapacity);
    const std::vector<std::pair<TrafficWindow, std::size_t>> windows{
        {TrafficWindow::OneMinute, 60},
        {TrafficWindow::FiveMinutes, 300},
        {TrafficWindow::ThirtyMinutes, 1800}};
    for (const auto& [window, seconds] : windows) {
        const std::vector<TrafficSample> shown = history.within(window);
        ASSERT_EQ(shown.size(), seconds);
        EXPECT_EQ(shown.front().up, static_cast<double>(2000 - seconds + 1));
        EXPECT_EQ(shown.back().up, 2000);
    }
    EXPECT_EQ(history.current().up, 2000);
    EXPECT_EQ(peakOf(history.within(TrafficWindow::OneMinute)), (TrafficSample{2000, 0}));
    history.clear();
    EXPECT_EQ(history.size(), 0u);
    EXPECT_TRUE(history.within(TrafficWindow::ThirtyMinutes).empty());
}

TEST(RateAxis, TakesTheUnitOfThePeakAndRoundStepsUpToIt) {
    struct Case {
        double peak;
        const char* unit;
        std::vector<std::string> labels;
    };
    const std::vector<Case> cases{
        {0, "B/s", {"0", "500 B/s", "1000 B/s"}},
        {1023, "B/s", {"0", "500 B/s", "1000 B/s", "1500 B/s"}},
        {1024, "KiB/s", {"0", "0.5 KiB/s", "1 KiB/s"}},
        {300.0 * 1024, "KiB/s", {"0", "100 KiB/s", "200 KiB/s", "300 KiB/s"}},
        {1024.0 * 1024, "MiB/s", {"0", "0.5 MiB/s", "1 MiB/s"}},
        {7.3 * 1024 * 1024, "MiB/s", {"0", "2 MiB/s", "4 MiB/s", "6 MiB/s", "8 MiB/s"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.peak);
        const RateAxis axis = rateAxisFor(c.peak);
        EXPECT_STREQ(axis.unit, c.unit);
        EXPECT_EQ(axis.labels, c.labels);
        EXPECT_GE(axis.top, c.peak);
        EXPECT_DOUBLE_EQ(axis.top, axis.step * static_cast<double>(axis.labels.size() - 1));
    }
}

}  // namespace
