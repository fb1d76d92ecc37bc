#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/trace.h"
#include "tests/relay/relay_fixture.h"

namespace {

SocketAddress loopbackAddress(const char* text, int port) {
    SocketAddress address;
    parseNumericAddress(text, port, address);
    return address;
}

// A destination name whose lookup the test controls; runs on the resolver's threads.
struct FakeNames {
    std::vector<std::string> addresses = {"127.0.0.1"};
    std::atomic<int> calls{0};
    std::atomic<int> finished{0};
    std::atomic<bool> released{true};
    std::chrono::milliseconds slowFromSecond{0};
    std::chrono::milliseconds everyCall{0};

    LookupFunction function() {
        return [this](const std::string&, int port, std::vector<SocketAddress>& out) {
            if (calls++ > 0) {
                std::this_thread::sleep_for(slowFromSecond);
            }
            std::this_thread::sleep_for(everyCall);  // the name server's own time
            for (int i = 0; i < 1000 && !released.load(); ++i) {
                std::this_thread::sleep_for(10ms);
            }
            for (const std::string& text : addresses) {
                out.push_back(loopbackAddress(text.c_str(), port));
            }
            ++finished;
            return 0;
        };
    }
};

class LookupTest : public RelayTest {
  protected:
    FakeNames names;
};

std::chrono::milliseconds slowestRoundTrip(loopback::Client& client,
                                           std::chrono::milliseconds during) {
    std::chrono::milliseconds slowest{0};
    auto end = std::chrono::steady_clock::now() + during;
    for (int i = 0; i < 100'000 && std::chrono::steady_clock::now() < end; ++i) {
        auto sent = std::chrono::steady_clock::now();
        if (!client.send("ping") || client.receive(4) != "ping") {
            return 1h;
        }
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - sent));
    }
    return slowest;
}

TEST_F(LookupTest, ASlowLookupStallsNoOtherConnection) {
    names.slowFromSecond = 1500ms;
    repeater.setLookupFunction(names.function());
    loopback::Server server(loopback::echo);
    startRelay(server.port(), "destination.test");
    loopback::Client first;
    ASSERT_TRUE(first.connectTo(relayPort));
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 1; }));

    loopback::Client second;
    ASSERT_TRUE(second.connectTo(relayPort));
    ASSERT_TRUE(runUntil([&] { return pairCount() == 2; }));
    std::chrono::milliseconds slowest =
        whileRelaying([&] { return slowestRoundTrip(first, 1000ms); });
    EXPECT_LT(slowest, 300ms);
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 2; }, 10s));
    EXPECT_TRUE(whileRelaying([&] { return second.send("late") && second.receive(4) == "late"; }));
}

TEST_F(LookupTest, EveryAddressIsTriedUntilOneConnects) {
    // The server listens on 127.0.0.1 only: nothing answers at 127.0.0.2 or ::1 on its port,
    // as for a name with an AAAA record whose IPv6 side does not listen.
    loopback::Server server(loopback::echo);
    repeater.setLookupFunction(names.function());
    startRelay(server.port(), "two-addresses.test");
    for (const char* first : {"127.0.0.2", "::1"}) {
        SCOPED_TRACE(first);
        ASSERT_TRUE(runUntil([&] { return pairCount() == 0; }));
        names.addresses = {first, "127.0.0.1"};
        loopback::Client client;
        ASSERT_TRUE(client.connectTo(relayPort));
        EXPECT_TRUE(
            whileRelaying([&] { return client.send("hello") && client.receive(5) == "hello"; }));
        EXPECT_EQ(recorder.last(), 1);
    }
    EXPECT_EQ(server.accepted(), 2);
}

TEST_F(LookupTest, ALookupOutlivedByItsClientOrRepeaterIsDropped) {
    names.released = false;
    loopback::Server server(loopback::echo);
    auto own = std::make_unique<CTcpRepeater>();
    own->setLookupFunction(names.function());
    config.forwardHost = "waiting.test";
    config.forwardPort = server.port();
    own->configure(config);
    ASSERT_TRUE(own->start());
    const int port = static_cast<int>(own->listenPort());
    auto pairs = [&] {
        int cursor = 0;
        int count = 0;
        while (own->getNextPair(cursor) != nullptr) {
            ++count;
        }
        return count;
    };

    // The client leaves while its lookup runs; then the repeater stops with another pending.
    int leaving = loopback::connectTo(port);
    ASSERT_TRUE(runUntil([&] { return pairs() == 1; }));
    close(leaving);
    ASSERT_TRUE(runUntil([&] { return pairs() == 0; }));
    loopback::Client stopped;
    ASSERT_TRUE(stopped.connectTo(port));
    ASSERT_TRUE(runUntil([&] { return pairs() == 1; }));
    own->stop();
    loopback::Client orphaned;
    config.listenPort = port;
    own->configure(config);
    ASSERT_TRUE(own->start());
    ASSERT_TRUE(orphaned.connectTo(port));
    ASSERT_TRUE(runUntil([&] { return pairs() == 1; }));
    own.reset();

    names.released = true;
    // Lookups not yet begun were dropped with their repeater; those begun end on their own.
    ASSERT_TRUE(runUntil([&] { return names.finished.load() == names.calls.load(); }));
    // The late results arrive and must find nobody to connect.
    EXPECT_FALSE(runUntil([&] { return server.accepted() > 0; }, 300ms));
    EXPECT_TRUE(whileRelaying([&] { return stopped.waitClosed() && orphaned.waitClosed(); }));
}

// Clients that leave while their lookups wait take the lookups with them: the next client
// waits for its own lookup (and at most the few already running), not for theirs.
TEST_F(LookupTest, LookupsOfClientsThatLeftCostTheNextClientNothing) {
    names.everyCall = 400ms;
    repeater.setLookupFunction(names.function());
    loopback::Server server(loopback::echo);
    startRelay(server.port(), "slow-name.test");
    std::vector<int> leaving;
    for (int i = 0; i < 40; ++i) {
        leaving.push_back(loopback::connectTo(relayPort));
        ASSERT_GE(leaving.back(), 0);
    }
    ASSERT_TRUE(runUntil([&] { return pairCount() == 40; }));
    for (int fd : leaving) {
        close(fd);
    }
    ASSERT_TRUE(runUntil([&] { return pairCount() == 0; }));

    auto started = std::chrono::steady_clock::now();
    loopback::Client next;
    ASSERT_TRUE(next.connectTo(relayPort));
    EXPECT_TRUE(whileRelaying([&] { return next.send("next") && next.receive(4) == "next"; }));
    // Four lookups may still be running, then its own: two lookup times, and a margin.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_LE(names.calls.load(), 8);
}

}  // namespace
