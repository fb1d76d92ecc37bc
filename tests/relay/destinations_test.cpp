#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/wsa_error.h"
#include "relay/proxy_header.h"
#include "tests/relay/relay_fixture.h"

namespace {

// A destination whose backlog is full: further connects hang until they time out.
struct StuckDestination {
    loopback::HoldServer server{0};
    std::vector<int> fillers;
    StuckDestination() {
        for (int i = 0; i < 4; ++i) {
            fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(server.port()));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
    }
    ~StuckDestination() {
        for (int fd : fillers) {
            close(fd);
        }
    }
};

class DestinationsTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        // Names ending in .invalid never resolve; each lookup of one is counted.
        repeater.setLookupFunction(
            [this](const std::string& host, int port, std::vector<SocketAddress>& addresses) {
                if (host.ends_with(".invalid")) {
                    ++deadLookups;
                    return static_cast<int>(WSAEINVAL);
                }
                return systemLookup(host, port, addresses);
            });
    }

    void startWith(const std::vector<Destination>& all, Balance balance = Balance::Failover) {
        config.moreDestinations.assign(all.begin() + 1, all.end());
        config.balance = balance;
        startRelay(all[0].port, all[0].host);
    }

    // A new client's bytes come back through the relay; the client stays open.
    int echoingClient() {
        int fd = loopback::connectTo(relayPort);
        const bool echoed = whileRelaying([fd] {
            return loopback::sendAll(fd, "ping", 4) && loopback::receiveExactly(fd, 4) == "ping";
        });
        EXPECT_TRUE(echoed);
        return fd;
    }

    std::atomic<int> deadLookups{0};
};

TEST_F(DestinationsTest, AClientMovesOnPastARefusalATimeoutAndANameThatDoesNotResolve) {
    StuckDestination stuck;
    struct Case {
        const char* what;
        Destination first;
    };
    const std::vector<Case> cases = {
        {"refused", {"127.0.0.1", loopback::freePort()}},
        {"timed out", {"127.0.0.1", stuck.server.port()}},
        {"unresolvable", {"nowhere.invalid", 80}},
    };
    config.relay.connectTimeoutSeconds = 1;
    for (const Case& c : cases) {
        loopback::Server server(loopback::echo);
        startWith({c.first, {"127.0.0.1", server.port()}});
        int client = echoingClient();
        std::vector<ConnectionRow> rows = repeater.rows();
        ASSERT_EQ(rows.size(), 1u) << c.what;
        EXPECT_EQ(rows[0].connectPeer.port, server.port()) << c.what;
        EXPECT_EQ(server.accepted(), 1) << c.what;
        close(client);
        repeater.stop();
    }
}

TEST_F(DestinationsTest, RoundRobinSpreadsConnectionsEvenly) {
    std::vector<std::unique_ptr<loopback::Server>> servers;
    std::vector<Destination> all;
    for (int i = 0; i < 3; ++i) {
        servers.push_back(std::make_unique<loopback::Server>(loopback::echo));
        all.push_back({"127.0.0.1", servers.back()->port()});
    }
    startWith(all, Balance::RoundRobin);
    for (int i = 0; i < 30; ++i) {
        close(echoingClient());
    }
    for (const auto& server : servers) {
        EXPECT_EQ(server->accepted(), 10);
    }
}

// After one failure the dead destination is left for ten seconds: later clients go straight
// to the live one. When every destination is down, the client is closed.
TEST_F(DestinationsTest, ADeadDestinationIsSkippedAndAllDownClosesTheClient) {
    loopback::Server server(loopback::echo);
    startWith({{"first.invalid", 80}, {"127.0.0.1", server.port()}});
    for (int i = 0; i < 3; ++i) {
        close(echoingClient());
    }
    EXPECT_EQ(deadLookups.load(), 1);
    EXPECT_EQ(server.accepted(), 3);
    repeater.stop();

    startWith({{"down.invalid", 80}, {"127.0.0.1", loopback::freePort()}});
    int client = loopback::connectTo(relayPort);
    EXPECT_TRUE(whileRelaying([client] { return loopback::waitClosed(client); }));
    close(client);
    EXPECT_NE(recorder.last(), 1);
    EXPECT_EQ(pairCount(), 0);
}

TEST_F(DestinationsTest, AnIpv6DestinationTakesOver) {
    int port = 0;
    int listener = loopback::listenIpv6(port);
    if (listener < 0) {
        GTEST_SKIP() << "no IPv6 on this machine";
    }
    loopback::setTimeouts(listener, 10s);
    startWith({{"127.0.0.1", loopback::freePort()}, {"::1", port}});
    int client = loopback::connectTo(relayPort);
    const std::string got = whileRelaying([&] {
        int accepted = accept(listener, nullptr, nullptr);
        loopback::setTimeouts(accepted, 10s);
        std::string text;
        if (accepted >= 0 && loopback::sendAll(client, "six", 3)) {
            text = loopback::receiveExactly(accepted, 3);
        }
        close(accepted);
        return text;
    });
    EXPECT_EQ(got, "six");
    close(client);
    close(listener);
}

// The header goes once, first, to the destination that answers, also when the client sends
// nothing; it counts in no byte counter.
TEST_F(DestinationsTest, ThePROXYHeaderComesFirstAndOnce) {
    for (const int version : {1, 2}) {
        for (const char* listenHost : {"127.0.0.1", ""}) {
            std::promise<std::string> received;
            loopback::Server server([&](int fd) {
                loopback::setTimeouts(fd, 5s);
                received.set_value(loopback::receiveUntilClosed(fd));
            });
            config.proxyProtocol = version;
            config.listenHost = listenHost;
            startWith({{"127.0.0.1", loopback::freePort()}, {"127.0.0.1", server.port()}});
            int client = loopback::connectTo(relayPort);
            const int clientPort = loopback::localPort(client);
            ASSERT_TRUE(runUntil([&] { return recorder.last() == 1; }));
            EXPECT_EQ(repeater.rows().at(0).bytesUp, 0u);
            close(client);
            std::future<std::string> text = received.get_future();
            ASSERT_TRUE(runUntil([&] { return text.wait_for(0s) == std::future_status::ready; }));
            SocketAddress from;
            SocketAddress to;
            parseNumericAddress("127.0.0.1", clientPort, from);
            parseNumericAddress("127.0.0.1", relayPort, to);
            EXPECT_EQ(text.get(), proxyHeader(version, from, to)) << version << listenHost;
            repeater.stop();
        }
    }
}

}  // namespace
