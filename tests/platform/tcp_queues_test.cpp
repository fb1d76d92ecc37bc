#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/socket_wait.h"
#include "platform/tcp_queues.h"
#include "tests/support/loopback.h"

namespace {
using namespace std::chrono_literals;

// Polls the kernel's state until it holds or two seconds have passed.
template <class Condition>
bool within2s(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);  // paces the queries; the kernel moves by itself
    }
    return true;
}
}  // namespace

// One loopback connection through its life: what the queues hold, what the wait reports for
// the directions asked about, and the reset as the socket's state.
TEST(TcpQueues, FollowOneLoopbackConnectionToItsReset) {
    int port = 0;
    const int listener = loopback::listenAny(port, 1);
    ASSERT_GE(listener, 0);
    const int client = loopback::connectTo(port);
    ASSERT_GE(client, 0);
    const int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);

    SocketWait wait;
    wait.add(server, false);
    wait.add(client, true);
    ASSERT_TRUE(wait.wait(0ms));
    EXPECT_FALSE(wait.readable(0));
    EXPECT_FALSE(wait.writable(0)) << "sending was not asked about";
    EXPECT_TRUE(wait.writable(1));
    EXPECT_EQ(unreadBytes(server), 0);
    EXPECT_FALSE(connectionReset(client));

    ASSERT_TRUE(loopback::sendAll(client, "hello", 5));
    wait.clear();
    wait.add(server, false);
    ASSERT_TRUE(wait.wait(2000ms));
    EXPECT_TRUE(wait.readable(0));
    EXPECT_EQ(unreadBytes(server), 5);
    EXPECT_TRUE(within2s([&] { return unsentBytes(client) == 0; }));

    loopback::resetOnClose(server);
    close(server);
    wait.clear();
    wait.add(client, false);
    ASSERT_TRUE(wait.wait(2000ms));
    EXPECT_TRUE(wait.readable(0)) << "a reset counts as readable";
    EXPECT_TRUE(connectionReset(client));
    close(client);
    close(listener);

    // A descriptor that is no socket holds nothing and tells no state.
    EXPECT_TRUE(closeStakes(-1, 0).reset);
    EXPECT_EQ(unreadBytes(-1), 0);
    EXPECT_EQ(unsentBytes(-1), 0);
    EXPECT_TRUE(connectionReset(-1));
}

// The one query a close makes tells what the two queue probes and the state would have told.
TEST(TcpQueues, CloseStakesAgreeWithTheProbes) {
    int port = 0;
    const int listener = loopback::listenAny(port, 1);
    const int client = loopback::connectTo(port);
    const int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    CloseStakes idle = closeStakes(server, 0);
    EXPECT_FALSE(idle.reset || idle.unsent || idle.unread);

    ASSERT_TRUE(loopback::sendAll(client, "hello", 5));
    ASSERT_TRUE(within2s([&] { return unreadBytes(server) == 5; }));
    EXPECT_TRUE(closeStakes(server, 0).unread);
    char buffer[5];
    ASSERT_EQ(recv(server, buffer, 5, 0), 5);
    EXPECT_FALSE(closeStakes(server, 5).unread);

    // The peer's end not yet read counts as unread, so a close waits to see it.
    ASSERT_EQ(shutdown(server, SHUT_WR), 0);
    ASSERT_TRUE(within2s([&] { return closeStakes(client, 0).unread; }));
    EXPECT_EQ(unreadBytes(client), 0);

    // The server stops reading: what the client cannot get across stays unsent.
    ASSERT_TRUE(loopback::setNonBlocking(client));
    std::vector<char> block(64 * 1024, 'x');
    for (int i = 0; i < 4096 && send(client, block.data(), block.size(), 0) > 0; ++i) {
    }
    EXPECT_GT(unsentBytes(client), 0);
    EXPECT_TRUE(closeStakes(client, 0).unsent);

    loopback::resetOnClose(server);
    close(server);
    ASSERT_TRUE(within2s([&] { return connectionReset(client); }));
    CloseStakes reset = closeStakes(client, 0);
    EXPECT_TRUE(reset.reset);
    EXPECT_FALSE(reset.unsent) << "nothing of a reset connection can still go out";
    close(client);

    // Connects that the full backlog leaves in their handshake have nothing unsent.
    std::vector<int> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(waiting.back(), reinterpret_cast<sockaddr*>(&to), sizeof to);
        EXPECT_EQ(closeStakes(waiting.back(), 0).unsent, unsentBytes(waiting.back()) != 0);
    }
    for (int fd : waiting) {
        close(fd);
    }
    close(listener);
}
