#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/load/load_support.h"

namespace {

using namespace load;
using State = EchoClients::State;

constexpr int kCapacity = 24;
constexpr int kClients = 4 * kCapacity;
constexpr auto kExhaustedWindow = 1500ms;

struct ExhaustionCase {
    const char* name;
    // Descriptors left over once the relay holds kCapacity pairs: with one left it can still
    // accept, but not connect onwards.
    int leftOver;
};

void PrintTo(const ExhaustionCase& c, std::ostream* os) {
    *os << c.name;
}

class DescriptorExhaustion : public testing::TestWithParam<ExhaustionCase> {};

TEST_P(DescriptorExhaustion, RestsWithoutSpinningRefusesOrQueuesTheRestAndRecovers) {
    EchoChild echo;
    RelayChild relay({{"127.0.0.1", echo.port()}});
    ASSERT_TRUE(relay.started());
    const RelayStats idle = relay.stats();
    const long limit = idle.descriptors + 2L * kCapacity + GetParam().leftOver;
    ASSERT_EQ(relay.limitOpenFiles(limit), limit);

    Poller poller;
    EchoClients clients(poller, relay.port());
    for (int i = 0; i < kClients; ++i) {
        clients.open();
    }
    // As many as the relay can hold are served; every other one is closed or waits in the
    // listen backlog, none is left half served.
    ASSERT_TRUE(poller.runUntil(
        [&] {
            return clients.count(State::Echoed) == kCapacity &&
                   clients.count(State::Connecting) == 0 &&
                   clients.count(State::Closed) + clients.count(State::Waiting) ==
                       kClients - kCapacity;
        },
        20s))
        << clients.count(State::Echoed) << " echoed, " << clients.count(State::Closed)
        << " closed, " << clients.inFlight() << " in flight";
    EXPECT_TRUE(relay.waitFor([](const RelayStats& s) { return s.pairs[0] == kCapacity; }, 10s));

    // Exhausted for a while: the relay must rest, not retry in a loop.
    const double cpuBefore = relay.stats().cpuSeconds;
    poller.runUntil([] { return false; }, kExhaustedWindow);
    const double cpuUsed = relay.stats().cpuSeconds - cpuBefore;
    EXPECT_LT(cpuUsed, 0.1 * std::chrono::duration<double>(kExhaustedWindow).count());
    EXPECT_EQ(clients.count(State::Echoed), kCapacity);

    // The served clients leave in waves; each wave makes room for the next waiting ones.
    int waves = 0;
    for (; waves < kClients / kCapacity + 4 && clients.count(State::Waiting) > 0; ++waves) {
        const int waiting = clients.count(State::Waiting);
        clients.closeWhere(State::Echoed);
        ASSERT_TRUE(poller.runUntil(
            [&] { return clients.count(State::Waiting) <= std::max(0, waiting - kCapacity); }, 20s))
            << "clients still waiting after a wave left: " << clients.count(State::Waiting);
    }
    EXPECT_EQ(clients.count(State::Waiting), 0);
    const int refused = clients.count(State::Closed);
    const int servedLater = clients.served() - kCapacity;
    EXPECT_EQ(clients.served() + refused, kClients);
    EXPECT_EQ(clients.mismatches(), 0);
    clients.closeWhere(State::Echoed);
    ASSERT_TRUE(relay.waitFor(
        [&](const RelayStats& s) {
            return s.pairs[0] == 0 && s.connections[0] == 0 && s.descriptors == idle.descriptors &&
                   s.listening[0] == 1;
        },
        20s));

    // Recovered: full waves are served whole again.
    constexpr int kRecoveryWaves = 3;
    for (int wave = 0; wave < kRecoveryWaves; ++wave) {
        const int servedBefore = clients.served();
        for (int i = 0; i < kCapacity; ++i) {
            clients.open();
        }
        ASSERT_TRUE(poller.runUntil([&] { return clients.inFlight() == 0; }, 20s));
        EXPECT_EQ(clients.served() - servedBefore, kCapacity) << "wave " << wave;
        clients.closeWhere(State::Echoed);
        ASSERT_TRUE(relay.waitFor([](const RelayStats& s) { return s.pairs[0] == 0; }, 20s));
    }
    EXPECT_EQ(clients.mismatches(), 0);
    std::printf(
        "[load] open-files limit %ld (%d connections): %d clients, %d served at once, %d "
        "closed unserved, %d waited and were served in %d waves; relay CPU %.3f s over %.1f s "
        "exhausted; %d x %d served after recovery; %llu bytes checked\n",
        limit, kCapacity, kClients, kCapacity, refused, servedLater, waves, cpuUsed,
        std::chrono::duration<double>(kExhaustedWindow).count(), kRecoveryWaves, kCapacity,
        static_cast<unsigned long long>(clients.bytesChecked()));
    EXPECT_EQ(relay.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(Limits, DescriptorExhaustion,
                         testing::Values(ExhaustionCase{"NoDescriptorLeftOver", 0},
                                         ExhaustionCase{"OneDescriptorLeftOver", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
