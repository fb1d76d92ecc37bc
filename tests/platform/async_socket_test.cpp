#include "platform/async_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "platform/socket_event_loop.h"
#include "platform/wsa_error.h"
#include "tests/support/loopback.h"

using namespace std::chrono_literals;

namespace {

// Records every notification; optional hooks act inside them.
class Probe : public CAsyncSocket {
  public:
    std::vector<std::string> log;
    int receives = 0;
    int sends = 0;
    int accepts = 0;
    int closes = 0;
    int connectResult = -1;
    int closeResult = -1;
    int outOfBand = 0;
    std::function<void(Probe&)> onReceiveHook;
    std::function<void(Probe&)> onAcceptHook;

    void OnReceive(int) override {
        ++receives;
        log.emplace_back("receive");
        if (onReceiveHook) {
            onReceiveHook(*this);
        }
    }
    void OnSend(int) override {
        ++sends;
        log.emplace_back("send");
    }
    void OnOutOfBandData(int) override { ++outOfBand; }
    void OnAccept(int) override {
        ++accepts;
        if (onAcceptHook) {
            onAcceptHook(*this);
        }
    }
    void OnConnect(int error) override {
        connectResult = error;
        log.emplace_back("connect");
    }
    void OnClose(int error) override {
        ++closes;
        closeResult = error;
        log.emplace_back("close");
    }
};

class AsyncSocketTest : public testing::Test {
  protected:
    SocketEventLoop loop;

    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
        return loop.runUntil(done, timeout);
    }

    // A listening probe on loopback that accepts every connection into a new probe.
    std::unique_ptr<Probe> listenProbe(std::vector<std::unique_ptr<Probe>>& accepted) {
        auto listener = std::make_unique<Probe>();
        EXPECT_TRUE(listener->Create(0, SOCK_STREAM, FD_ALL_EVENTS, "127.0.0.1"));
        EXPECT_TRUE(listener->Listen());
        listener->onAcceptHook = [&accepted](Probe& self) {
            auto probe = std::make_unique<Probe>();
            if (self.Accept(*probe)) {
                accepted.push_back(std::move(probe));
            }
        };
        return listener;
    }

    static int portOf(const CAsyncSocket& socket) {
        std::string address;
        unsigned int port = 0;
        socket.GetSockName(address, port);
        return static_cast<int>(port);
    }
};

TEST_F(AsyncSocketTest, OnSendOnceAfterAcceptAndOnReceiveReArmedByReceive) {
    std::vector<std::unique_ptr<Probe>> accepted;
    auto listener = listenProbe(accepted);
    int client = loopback::connectTo(portOf(*listener));
    ASSERT_TRUE(runUntil([&] { return accepted.size() == 1 && accepted[0]->sends == 1; }));
    Probe& server = *accepted[0];

    ASSERT_TRUE(loopback::sendAll(client, "abcdef", 6));
    ASSERT_TRUE(runUntil([&] { return server.receives == 1; }));
    // Not read yet: no second notification however long the data waits.
    loop.runFor(100ms);
    EXPECT_EQ(server.receives, 1);
    EXPECT_EQ(server.sends, 1);

    char buffer[3];
    EXPECT_EQ(server.Receive(buffer, 3), 3);
    ASSERT_TRUE(runUntil([&] { return server.receives == 2; }));
    EXPECT_EQ(server.Receive(buffer, 1, MSG_PEEK), 1);
    EXPECT_EQ(server.Receive(buffer, 3), 3);
    loop.runFor(50ms);
    EXPECT_EQ(server.receives, 2);
    EXPECT_EQ(server.bytesRead(), 6U) << "what was taken, a peek not counted";

    close(client);
    ASSERT_TRUE(runUntil([&] { return server.closes == 1; }));
    EXPECT_EQ(server.closeResult, 0);
    loop.runFor(50ms);
    EXPECT_EQ(server.closes, 1);
}

// Data and the end both waiting: a read that takes it all brings the end in the same
// wake-up; one that leaves bytes behind does not, and the end still comes once.
TEST_F(AsyncSocketTest, EndArrivedWithTheDataFollowsTheReadThatTookItAll) {
    for (int leftOver : {0, 2}) {
        std::vector<std::unique_ptr<Probe>> accepted;
        auto listener = listenProbe(accepted);
        int client = loopback::connectTo(portOf(*listener));
        ASSERT_TRUE(runUntil([&] { return accepted.size() == 1 && accepted[0]->sends == 1; }));
        Probe& server = *accepted[0];
        server.onReceiveHook = [leftOver](Probe& self) {
            char buffer[64];
            self.Receive(buffer, leftOver == 0 ? static_cast<int>(sizeof buffer) : 4);
        };
        ASSERT_TRUE(loopback::sendAll(client, "abcdef", 6));
        close(client);
        pollfd ended{server.handle(), POLLRDHUP, 0};
        ASSERT_EQ(poll(&ended, 1, 10000), 1);

        loop.dispatchReady();
        EXPECT_EQ(server.receives, 1);
        EXPECT_EQ(server.closes, leftOver == 0 ? 1 : 0);
        ASSERT_TRUE(runUntil([&] { return server.closes == 1; }));
        loop.runFor(50ms);
        EXPECT_EQ(server.closes, 1);
        EXPECT_EQ(server.closeResult, 0);
        EXPECT_EQ(server.log.back(), "close");
    }
}

// An owner that takes a read of 0 as the end hears of an end that comes alone through
// OnReceive, and of one that follows data in the same wake-up as before; never twice.
TEST_F(AsyncSocketTest, AnOwnerThatReadsTheEndHearsOfItThroughOnReceive) {
    for (const std::string& data : {std::string("abcdef"), std::string()}) {
        std::vector<std::unique_ptr<Probe>> accepted;
        auto listener = listenProbe(accepted);
        int client = loopback::connectTo(portOf(*listener));
        ASSERT_TRUE(runUntil([&] { return accepted.size() == 1 && accepted[0]->sends == 1; }));
        Probe& server = *accepted[0];
        server.tellEndThroughReceive();
        std::vector<int> reads;
        server.onReceiveHook = [&reads](Probe& self) {
            char buffer[64];
            reads.push_back(self.Receive(buffer, static_cast<int>(sizeof buffer)));
        };
        ASSERT_TRUE(loopback::sendAll(client, data.data(), data.size()));
        close(client);
        pollfd ended{server.handle(), POLLRDHUP, 0};
        ASSERT_EQ(poll(&ended, 1, 10000), 1);

        loop.dispatchReady();
        loop.runFor(50ms);
        EXPECT_EQ(reads, std::vector<int>{static_cast<int>(data.size())});
        EXPECT_EQ(server.closes, data.empty() ? 0 : 1);
        EXPECT_TRUE(server.peerEnded());
    }
}

TEST_F(AsyncSocketTest, AcceptHandsOverThePeersAddressAsGetPeerNameSeesIt) {
    auto listener = std::make_unique<Probe>();
    ASSERT_TRUE(listener->Create(0, SOCK_STREAM, FD_ALL_EVENTS, "127.0.0.1"));
    ASSERT_TRUE(listener->Listen());
    Probe accepted;
    std::string address;
    unsigned int port = 0;
    listener->onAcceptHook = [&](Probe& self) { self.Accept(accepted, &address, &port); };
    int client = loopback::connectTo(portOf(*listener));
    ASSERT_TRUE(runUntil([&] { return port != 0; }));

    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(getsockname(client, reinterpret_cast<sockaddr*>(&local), &length), 0);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, ntohs(local.sin_port));
    std::string askedAddress;
    unsigned int askedPort = 0;
    ASSERT_TRUE(accepted.GetPeerName(askedAddress, askedPort));
    EXPECT_EQ(askedAddress, address);
    EXPECT_EQ(askedPort, port);
    close(client);
}

TEST_F(AsyncSocketTest, ConnectionsWaitingTogetherAreAllAnnouncedInOneWakeUp) {
    std::vector<std::unique_ptr<Probe>> accepted;
    auto listener = listenProbe(accepted);
    std::vector<int> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(loopback::connectTo(portOf(*listener)));
        ASSERT_GE(clients.back(), 0);
    }
    // The kernel completed all five handshakes before the loop looks once.
    loop.dispatchReady();
    EXPECT_EQ(listener->accepts, 5);
    EXPECT_EQ(accepted.size(), 5U);

    // That look found the backlog empty at the end: from now on one per wake-up, until the
    // listener is ready at consecutive wake-ups, when the burst grows again.
    loop.dispatchReady();
    for (int i = 0; i < 5; ++i) {
        clients.push_back(loopback::connectTo(portOf(*listener)));
        ASSERT_GE(clients.back(), 0);
    }
    loop.dispatchReady();
    EXPECT_EQ(accepted.size(), 6U);
    loop.dispatchReady();
    loop.dispatchReady();
    EXPECT_EQ(accepted.size(), 10U) << "one, then two, then the rest";
    for (int client : clients) {
        close(client);
    }
}

TEST_F(AsyncSocketTest, AnAnnouncementNotAnsweredByAcceptIsNotRepeatedAndLosesNothing) {
    Probe listener;
    ASSERT_TRUE(listener.Create(0, SOCK_STREAM, FD_ALL_EVENTS, "127.0.0.1"));
    ASSERT_TRUE(listener.Listen());
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(loopback::connectTo(portOf(listener)));
    }
    loop.dispatchReady();
    loop.runFor(50ms);
    EXPECT_EQ(listener.accepts, 1) << "no Accept, no further announcement";

    std::vector<std::unique_ptr<Probe>> accepted;
    listener.onAcceptHook = [&accepted](Probe& self) {
        auto probe = std::make_unique<Probe>();
        if (self.Accept(*probe)) {
            accepted.push_back(std::move(probe));
        }
    };
    auto first = std::make_unique<Probe>();
    ASSERT_TRUE(listener.Accept(*first));
    accepted.push_back(std::move(first));
    ASSERT_TRUE(runUntil([&] { return accepted.size() == 3; }));
    EXPECT_EQ(listener.accepts, 3);
    for (int client : clients) {
        close(client);
    }
}

TEST_F(AsyncSocketTest, ConnectReportsOnceThenOneSend) {
    int port = 0;
    int listenFd = loopback::listenAny(port);
    Probe probe;
    ASSERT_TRUE(probe.Create());
    bool immediate = probe.Connect("127.0.0.1", port);
    if (!immediate) {
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        ASSERT_TRUE(runUntil([&] { return probe.connectResult == 0; }));
    }
    ASSERT_TRUE(runUntil([&] { return probe.sends == 1; }));
    loop.runFor(50ms);
    EXPECT_EQ(probe.sends, 1);
    if (!immediate) {
        EXPECT_EQ(probe.log.front(), "connect");
    }
    // The socket takes both families; the IPv4 peer still reads as a dotted address.
    std::string peer;
    unsigned int peerPort = 0;
    ASSERT_TRUE(probe.GetPeerName(peer, peerPort));
    EXPECT_EQ(peer, "127.0.0.1");
    EXPECT_EQ(static_cast<int>(peerPort), port);
    std::string connected;
    unsigned int connectedPort = 0;
    ASSERT_TRUE(probe.ConnectedPeer(connected, connectedPort));
    EXPECT_EQ(connected, peer) << "the address connected to, as the kernel names the peer";
    EXPECT_EQ(connectedPort, peerPort);
    close(listenFd);
}

TEST_F(AsyncSocketTest, ErrorsCarryWindowsSocketsNumbers) {
    Probe refused;
    ASSERT_TRUE(refused.Create());
    if (!refused.Connect("127.0.0.1", loopback::freePort())) {
        ASSERT_TRUE(runUntil([&] { return refused.connectResult != -1; }));
        EXPECT_EQ(refused.connectResult, WSAECONNREFUSED);
    }
    std::string peer;
    unsigned int peerPort = 0;
    EXPECT_FALSE(refused.ConnectedPeer(peer, peerPort)) << "no connect completed";

    struct Case {
        const char* name;
        std::function<bool(CAsyncSocket&)> call;
        int error;
    };
    const std::vector<Case> cases = {
        {"bind address not dotted quad",
         [](CAsyncSocket& s) { return s.Create(0, SOCK_STREAM, FD_ALL_EVENTS, "localhost"); },
         WSAEINVAL},
        {"port above range", [](CAsyncSocket& s) { return s.Create(65536); }, WSAEINVAL},
        {"negative port", [](CAsyncSocket& s) { return s.Create(-1); }, WSAEINVAL},
        {"unresolvable name",
         [](CAsyncSocket& s) {
             return s.Create() && s.Connect((std::string(70, 'x') + ".test").c_str(), 80);
         },
         WSAEINVAL},
        {"connect port above range",
         [](CAsyncSocket& s) { return s.Create() && s.Connect("127.0.0.1", 70000); }, WSAEINVAL},
        {"send before connect", [](CAsyncSocket& s) { return s.Create() && s.Send("x", 1) >= 0; },
         WSAENOTCONN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Probe probe;
        EXPECT_FALSE(c.call(probe));
        EXPECT_EQ(WSAGetLastError(), c.error);
    }
    int port = 0;
    int holder = loopback::listenAny(port);
    Probe second;
    EXPECT_FALSE(second.Create(port, SOCK_STREAM, FD_ALL_EVENTS, "127.0.0.1"));
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    close(holder);
}

TEST_F(AsyncSocketTest, SendToAVanishedPeerFailsWithoutSigpipe) {
    std::signal(SIGPIPE, SIG_DFL);
    std::vector<std::unique_ptr<Probe>> accepted;
    auto listener = listenProbe(accepted);
    int client = loopback::connectTo(portOf(*listener));
    ASSERT_TRUE(runUntil([&] { return accepted.size() == 1; }));
    linger abort{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(client);
    ASSERT_TRUE(runUntil([&] { return accepted[0]->closes == 1; }));
    EXPECT_EQ(accepted[0]->closeResult, WSAECONNRESET);
    std::string block(65536, 'x');
    int result = 0;
    for (int i = 0; i < 10 && result != SOCKET_ERROR; ++i) {
        result = accepted[0]->Send(block.data(), static_cast<int>(block.size()));
    }
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_NE(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(AsyncSocketTest, UrgentDataIsNotifiedAndNeverMixedIntoTheStream) {
    std::vector<std::unique_ptr<Probe>> accepted;
    auto listener = listenProbe(accepted);
    int client = loopback::connectTo(portOf(*listener));
    ASSERT_TRUE(runUntil([&] { return accepted.size() == 1; }));
    Probe& server = *accepted[0];
    send(client, "ab", 2, 0);
    send(client, "X", 1, MSG_OOB);
    send(client, "cd", 2, 0);
    close(client);
    ASSERT_TRUE(runUntil([&] { return server.outOfBand == 1; }));
    std::string stream;
    server.onReceiveHook = [&stream](Probe& self) {
        char buffer[16];
        int n = self.Receive(buffer, sizeof buffer);
        if (n > 0) {
            stream.append(buffer, static_cast<std::size_t>(n));
        }
    };
    server.ResumeReceive();
    ASSERT_TRUE(runUntil([&] { return stream.size() >= 4 || server.closes == 1; }));
    EXPECT_EQ(stream, "abcd") << testing::PrintToString(server.log);
}

TEST_F(AsyncSocketTest, SocketDestroyedInItsBatchIsNeverTouchedAgain) {
    std::vector<std::unique_ptr<Probe>> accepted;
    auto listener = listenProbe(accepted);
    int first = loopback::connectTo(portOf(*listener));
    int second = loopback::connectTo(portOf(*listener));
    ASSERT_TRUE(runUntil([&] { return accepted.size() == 2 && accepted[1]->sends == 1; }));

    // Whichever of the two is dispatched first destroys the other; both are ready in the
    // same batch, so the second event of the batch names a destroyed socket.
    int totalReceives = 0;
    for (int i = 0; i < 2; ++i) {
        int other = 1 - i;
        accepted[i]->onReceiveHook = [&, other](Probe&) {
            ++totalReceives;
            accepted[other].reset();
        };
    }
    loopback::sendAll(first, "1", 1);
    loopback::sendAll(second, "2", 1);
    ASSERT_TRUE(runUntil([&] { return totalReceives >= 1; }));
    loop.runFor(50ms);
    EXPECT_EQ(totalReceives, 1);
    close(first);
    close(second);
}

TEST_F(AsyncSocketTest, RunningOutOfDescriptorsPausesAcceptingWithoutSpinning) {
    std::vector<std::unique_ptr<Probe>> accepted;
    auto listener = listenProbe(accepted);
    const int port = portOf(*listener);
    std::vector<int> clients;
    for (int i = 0; i < 6; ++i) {
        clients.push_back(loopback::connectTo(port));
    }
    // Fill the descriptor table up to a lowered limit.
    rlimit original{};
    getrlimit(RLIMIT_NOFILE, &original);
    std::vector<int> fillers;
    int highest = dup(0);
    fillers.push_back(highest);
    rlimit lowered = original;
    lowered.rlim_cur = static_cast<rlim_t>(highest + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int fd = dup(0); fd >= 0; fd = dup(0)) {
        fillers.push_back(fd);
    }

    loop.runFor(500ms);
    const int attemptsWhileFull = listener->accepts;
    EXPECT_GE(attemptsWhileFull, 1);
    EXPECT_LE(attemptsWhileFull, 10) << "accepting must rest while no descriptor is free";
    EXPECT_TRUE(accepted.empty());

    for (int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &original);
    ASSERT_TRUE(runUntil([&] { return accepted.size() == clients.size(); }));
    for (int fd : clients) {
        close(fd);
    }
}

}  // namespace
