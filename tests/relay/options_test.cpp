#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/trace.h"
#include "tests/relay/relay_fixture.h"

namespace {

int connectIpv6(int port) {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    loopback::setTimeouts(fd, 10s);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Echoes one connection accepted on an IPv6 listener, on its own thread.
struct Ipv6Echo {
    int port = 0;
    int listenFd = loopback::listenIpv6(port);
    std::thread worker{[this] {
        int fd = listenFd >= 0 ? accept(listenFd, nullptr, nullptr) : -1;
        if (fd >= 0) {
            loopback::setTimeouts(fd, 10s);
            loopback::echo(fd);
            close(fd);
        }
    }};
    ~Ipv6Echo() {
        shutdown(listenFd, SHUT_RDWR);
        worker.join();
        close(listenFd);
    }
};

class OptionsTest : public RelayTest {
  protected:
    bool echoes(int fd, const std::string& text) {
        return whileRelaying([&] {
            return loopback::sendAll(fd, text.data(), text.size()) &&
                   loopback::receiveExactly(fd, text.size()) == text;
        });
    }
};

TEST_F(OptionsTest, IPv6ClientsAndDestinationsAreRelayed) {
    int probe = 0;
    int v6 = loopback::listenIpv6(probe);
    if (v6 < 0) {
        GTEST_SKIP() << "no IPv6 on loopback here";
    }
    close(v6);
    // An IPv6 client of the listener that takes both families, relayed to an IPv4 server.
    loopback::Server server(loopback::echo);
    config.listenHost.clear();
    config.forwardPort = server.port();
    repeater.configure(config);
    repeater.start();
    int client = connectIpv6(static_cast<int>(repeater.listenPort()));
    ASSERT_GE(client, 0);
    EXPECT_TRUE(echoes(client, "over IPv6"));
    int cursor = 0;
    EXPECT_EQ(repeater.getNextPair(cursor)->acceptSocket->getPeerAddress(), "::1");
    close(client);
    repeater.stop();

    // IPv6 literals as the destination, with and without brackets.
    config.listenHost = "127.0.0.1";
    for (const char* host : {"::1", "[::1]"}) {
        SCOPED_TRACE(host);
        Ipv6Echo destination;
        startRelay(destination.port, host);
        int fd = loopback::connectTo(relayPort);
        EXPECT_TRUE(echoes(fd, host));
        cursor = 0;
        EXPECT_EQ(repeater.getNextPair(cursor)->connectSocket->getPeerAddress(), "::1");
        close(fd);
        repeater.stop();
    }
}

TEST_F(OptionsTest, HalfCloseKeepsTheOtherDirectionFlowing) {
    const std::string answer = loopback::pattern(3u << 20, 7);
    loopback::Server server([&](int fd) {
        if (loopback::receiveUntilClosed(fd) == "request") {
            loopback::sendAll(fd, answer.data(), answer.size());
        }
    });
    for (bool halfClose : {true, false}) {
        SCOPED_TRACE(halfClose ? "HALFCLOSE=1" : "HALFCLOSE=0");
        config.relay = {halfClose, 0, 0, false};
        startRelay(server.port());
        int client = loopback::connectTo(relayPort);
        loopback::sendAll(client, "request", 7);
        shutdown(client, SHUT_WR);
        std::string got = whileRelaying([client] { return loopback::receiveUntilClosed(client); });
        // Without half-close the client's end closes the pair before the answer comes.
        EXPECT_EQ(got == answer, halfClose) << got.size() << " bytes";
        close(client);
        EXPECT_TRUE(runUntil([&] { return pairCount() == 0; }));
        repeater.stop();
    }
}

TEST_F(OptionsTest, TimeoutsEndSilentConnectsAndPairs) {
    // A destination whose backlog is full drops further connects on the floor.
    loopback::HoldServer stuck(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(stuck.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    config.relay = {false, 1, 0, false};
    startRelay(stuck.port());
    testing::internal::CaptureStdout();
    setTraceEnabled(true);
    int waiting = loopback::connectTo(relayPort);
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(whileRelaying([waiting] { return loopback::waitClosed(waiting); }));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    setTraceEnabled(false);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("kind=connectSocket, err=10060"),
              std::string::npos);
    close(waiting);
    for (int fd : fillers) {
        close(fd);
    }
    repeater.stop();

    // A pair silent in both directions is cut, with a reset since neither side had ended;
    // one that talks is not.
    loopback::Server server(loopback::echo);
    config.relay = {false, 0, 1, true};
    startRelay(server.port());
    int silent = loopback::connectTo(relayPort);
    int talking = loopback::connectTo(relayPort);
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 2; }));
    started = std::chrono::steady_clock::now();
    bool talked = whileRelaying([&] {
        bool ok = true;
        for (int i = 0; i < 30 && ok; ++i) {
            ok = loopback::sendAll(talking, "x", 1) && loopback::receiveExactly(talking, 1) == "x";
            std::this_thread::sleep_for(50ms);  // steady traffic, well inside the timeout
        }
        return ok;
    });
    EXPECT_TRUE(talked);
    char byte = 0;
    EXPECT_EQ(recv(silent, &byte, 1, 0), -1);  // cut meanwhile
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_EQ(recorder.last(), 1);
    close(silent);
    close(talking);
}

// A connect timeout belongs to its pair: connected or closed, nothing of it stays in the loop.
TEST_F(OptionsTest, ConnectTimeoutsLeaveNoTimerBehind) {
    loopback::Server server(loopback::echo);
    config.relay = {false, 86400, 0, false};
    startRelay(server.port());
    const std::size_t before = loop.timerCount();
    for (int round = 0; round < 20; ++round) {
        int client = loopback::connectTo(relayPort);
        ASSERT_GE(client, 0);
        ASSERT_TRUE(runUntil([&] { return recorder.last() == 1; }));
        close(client);
        ASSERT_TRUE(runUntil([&] { return pairCount() == 0; }));
    }
    EXPECT_TRUE(runUntil([&] { return repeater.getLingeringCount() == 0; }));
    EXPECT_LE(loop.timerCount(), before);
}

}  // namespace
