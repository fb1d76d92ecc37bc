#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/load/load_support.h"

namespace {

using namespace load;
using State = EchoClients::State;

// Descriptors a process may need besides those of the connections and those it holds idle.
constexpr long kSpare = 8;
// Handshakes and echoes under way at a time: the listen backlogs never overflow, which would
// cost a SYN retry of a second or more.
constexpr int kWindow = 256;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The clients, the relay and the echo server each run in their own process: the relay holds
// two descriptors per connection, the others one, and each process has its own limit.
TEST(ConcurrentConnections, AllHeldOpenAtOnceWithEveryByteEchoed) {
    const int shortCount = 2000;
    const int wanted = byForm(shortCount, 10000);
    const long ownLimit = setOpenFiles(wanted + 64);
    EchoChild echo(wanted + 64);
    ASSERT_GT(echo.port(), 0);
    RelayChild relay({{"127.0.0.1", echo.port()}}, 2L * wanted + 64);
    ASSERT_TRUE(relay.started());
    const RelayStats idle = relay.stats();
    ASSERT_EQ(idle.repeaters, 1);
    const long fits = std::min({static_cast<long>(wanted), ownLimit - openDescriptors() - kSpare,
                                echo.openFilesLimit() - kSpare * 2,
                                (idle.openFilesLimit - idle.descriptors - kSpare) / 2});
    if (fits < shortCount) {
        GTEST_SKIP() << "the open-files limits leave room for only " << fits << " connections";
    }
    if (fits < wanted) {
        std::printf(
            "[load] the open-files limits (relay %ld, echo server %ld, clients %ld) leave room "
            "for %ld of %d connections\n",
            idle.openFilesLimit, echo.openFilesLimit(), ownLimit, fits, wanted);
    }
    const int count = static_cast<int>(fits);

    const auto start = Clock::now();
    Poller poller;
    EchoClients clients(poller, relay.port());
    bool allEchoed = poller.runUntil(
        [&] {
            while (clients.total() < count && clients.inFlight() < kWindow) {
                clients.open();
            }
            return clients.total() == count && clients.inFlight() == 0;
        },
        byForm(90s, 240s));
    const double openSeconds = secondsSince(start);
    ASSERT_TRUE(allEchoed) << clients.count(State::Echoed) << " of " << count << " echoed";
    ASSERT_EQ(clients.count(State::Echoed), count) << clients.count(State::Closed) << " closed";
    EXPECT_EQ(clients.mismatches(), 0);
    EXPECT_TRUE(relay.waitFor(
        [&](const RelayStats& s) { return s.pairs[0] == count && s.connections[0] == count; },
        10s));

    // A second round while all of them are open: every connection still relays.
    clients.sendRound(1);
    EXPECT_TRUE(poller.runUntil([&] { return clients.inFlight() == 0; }, byForm(60s, 180s)));
    EXPECT_EQ(clients.count(State::Echoed), count);
    EXPECT_EQ(clients.mismatches(), 0);
    EXPECT_EQ(relay.stats().pairs[0], count);

    clients.closeWhere(State::Echoed);
    EXPECT_TRUE(relay.waitFor(
        [&](const RelayStats& s) {
            return s.pairs[0] == 0 && s.connections[0] == 0 && s.descriptors == idle.descriptors;
        },
        60s));
    std::printf(
        "[load] %d connections held open at once, 2 rounds, %llu bytes checked; "
        "all open and echoed in %.1f s, whole run %.1f s\n",
        count, static_cast<unsigned long long>(clients.bytesChecked()), openSeconds,
        secondsSince(start));
    EXPECT_EQ(relay.finish(), 0);
    EXPECT_EQ(echo.finish(), 0);
}

}  // namespace
