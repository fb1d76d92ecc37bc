#include "relay/destination_chooser.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = DestinationChooser::Clock;

std::vector<int> orderOf(const DestinationPlan& plan) {
    std::vector<int> order;
    DestinationPlan walk = plan;
    do {
        order.push_back(walk.current());
    } while (walk.advance());
    return order;
}

TEST(DestinationChooserTest, FailoverStartsAtTheFirstAndRoundRobinTakesTurns) {
    const Clock::time_point now = Clock::now();
    DestinationChooser failover(3, Balance::Failover);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(orderOf(failover.plan(now)), (std::vector<int>{0, 1, 2}));
    }
    DestinationChooser roundRobin(3, Balance::RoundRobin);
    std::vector<int> starts(3, 0);
    for (int i = 0; i < 30; ++i) {
        const DestinationPlan plan = roundRobin.plan(now);
        EXPECT_EQ(plan.size, 3);
        ++starts[plan.current()];
    }
    EXPECT_EQ(starts, (std::vector<int>{10, 10, 10}));
    EXPECT_EQ(orderOf(DestinationChooser(1, Balance::RoundRobin).plan(now)), std::vector<int>{0});
}

// A failed destination goes last for ten seconds, or until it answers again.
TEST(DestinationChooserTest, AFailedDestinationIsTriedLastForTenSeconds) {
    const Clock::time_point start = Clock::now();
    DestinationChooser chooser(3, Balance::Failover);
    chooser.failed(0, start);
    EXPECT_EQ(orderOf(chooser.plan(start + 9s)), (std::vector<int>{1, 2, 0}));
    chooser.failed(1, start + 1s);
    EXPECT_EQ(orderOf(chooser.plan(start + 9s)), (std::vector<int>{2, 0, 1}));
    EXPECT_EQ(orderOf(chooser.plan(start + 10s)), (std::vector<int>{0, 2, 1}));
    chooser.answered(1);
    EXPECT_EQ(orderOf(chooser.plan(start + 5s)), (std::vector<int>{1, 2, 0}));

    DestinationChooser roundRobin(3, Balance::RoundRobin);
    roundRobin.failed(1, start);
    EXPECT_EQ(orderOf(roundRobin.plan(start)), (std::vector<int>{0, 2, 1}));
    EXPECT_EQ(orderOf(roundRobin.plan(start)), (std::vector<int>{2, 0, 1}));
    EXPECT_EQ(orderOf(roundRobin.plan(start)), (std::vector<int>{2, 0, 1}));
}

}  // namespace
