#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "address/ip_filter.h"
#include "platform/trace.h"
#include "tests/relay/relay_fixture.h"

using loopback::connectTo;

namespace {

using RepeaterTest = RelayTest;

int localPortOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

TEST_F(RepeaterTest, ReusesTheLowestFreeIndexAndRestartsNumberingWhenEmpty) {
    loopback::Server server(loopback::echo);
    startRelay(server.port());

    int first = connectTo(relayPort);
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 1; }));
    int second = connectTo(relayPort);
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 2; }));
    EXPECT_EQ(pairIndexes(), (std::vector<int>{0, 1}));

    close(first);
    ASSERT_TRUE(runUntil([&] { return pairCount() == 1; }));
    EXPECT_EQ(pairIndexes(), (std::vector<int>{1}));

    int third = connectTo(relayPort);
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 2; }));
    EXPECT_EQ(pairIndexes(), (std::vector<int>{0, 1}));
    int cursor = 0;
    CTcpSockPair* pair = repeater.getNextPair(cursor);
    EXPECT_EQ(static_cast<int>(pair->acceptSocket->getPeerPort()), localPortOf(third));
    EXPECT_EQ(static_cast<int>(pair->acceptSocket->getBindPort()), relayPort);
    EXPECT_EQ(pair->connectSocket->getBindIp(), "127.0.0.1");
    EXPECT_NE(pair->connectSocket->getBindPort(), 0U);
    EXPECT_EQ(static_cast<int>(pair->connectSocket->getPeerPort()), server.port());

    close(second);
    close(third);
    ASSERT_TRUE(runUntil([&] { return pairCount() == 0; }));
    int fourth = connectTo(relayPort);
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 1; }));
    EXPECT_EQ(pairIndexes(), (std::vector<int>{0}));
    close(fourth);
}

TEST_F(RepeaterTest, StopReportsFallingCountsClosesClientsAndCanStartAgain) {
    loopback::Server server(loopback::echo);
    startRelay(server.port());
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connectTo(relayPort));
    }
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 3; }));

    recorder.counts.clear();
    repeater.stop();
    EXPECT_EQ(recorder.counts, (std::vector<int>{2, 1, 0}));
    EXPECT_FALSE(repeater.isListening());
    EXPECT_EQ(pairCount(), 0);
    for (int fd : clients) {
        EXPECT_TRUE(loopback::waitClosed(fd));
        close(fd);
    }
    EXPECT_LT(connectTo(relayPort, 2s), 0) << "the listening socket must be closed";

    startRelay(server.port());
    int again = connectTo(relayPort);
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 1; }));
    std::string echoed = whileRelaying([again] {
        loopback::sendAll(again, "ping", 4);
        return loopback::receiveExactly(again, 4);
    });
    EXPECT_EQ(echoed, "ping");
    close(again);
    EXPECT_TRUE(runUntil([&] { return pairCount() == 0; }));
}

TEST_F(RepeaterTest, CountsOnlyPairsWhoseOutgoingConnectionIsEstablished) {
    // A destination that accepts late: its backlog completes the connect at once on
    // loopback, so hold the destination closed and count while the pair is refused instead.
    int closedPort = loopback::freePort();
    startRelay(closedPort);
    testing::internal::CaptureStdout();
    setTraceEnabled(true);
    int client = connectTo(relayPort);
    bool closed = whileRelaying([client] { return loopback::waitClosed(client); });
    setTraceEnabled(false);
    std::string trace = testing::internal::GetCapturedStdout();
    close(client);

    EXPECT_TRUE(closed);
    EXPECT_TRUE(std::all_of(recorder.counts.begin(), recorder.counts.end(),
                            [](int count) { return count == 0; }));
    EXPECT_NE(trace.find("CTcpRepeater::notifyOnError() index=0, kind=connectSocket, err=10061"),
              std::string::npos)
        << trace;
    EXPECT_EQ(pairCount(), 0);
}

TEST_F(RepeaterTest, ConnectFailuresCloseTheClientAtOnce) {
    struct Case {
        const char* name;
        std::string host;
        int port;
        const char* expected;
    };
    const std::string longLabel(70, 'a');
    const std::vector<Case> cases = {
        {"unresolvable host", longLabel + ".test", 80, "CONNECT FAILE! hostname=aaaa"},
        {"port above range", "127.0.0.1", 70000,
         "CONNECT FAILE! hostname=127.0.0.1, port=70000 err=10022"},
        {"negative port", "127.0.0.1", -1, "CONNECT FAILE! hostname=127.0.0.1, port=-1 err=10022"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startRelay(c.port, c.host);
        testing::internal::CaptureStdout();
        setTraceEnabled(true);
        int client = connectTo(relayPort);
        bool closed = whileRelaying([client] { return loopback::waitClosed(client); });
        setTraceEnabled(false);
        std::string trace = testing::internal::GetCapturedStdout();
        close(client);
        EXPECT_TRUE(closed);
        EXPECT_NE(trace.find(c.expected), std::string::npos) << trace;
        EXPECT_NE(trace.find("err=10022"), std::string::npos) << trace;
        EXPECT_EQ(pairCount(), 0);
        repeater.stop();
    }
}

TEST_F(RepeaterTest, ListenPortsOutsideTheRangeFailAtCreate) {
    for (int port : {70000, -1, 65536 + 8080}) {
        SCOPED_TRACE(port);
        testing::internal::CaptureStdout();
        setTraceEnabled(true);
        config.listenPort = port;
        config.forwardPort = 80;
        repeater.configure(config);
        repeater.start();
        setTraceEnabled(false);
        std::string trace = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(repeater.isListening());
        EXPECT_NE(trace.find("Error:CTcpRepeater::start()-Create() err=10022\n"), std::string::npos)
            << trace;
        repeater.stop();
    }
}

TEST_F(RepeaterTest, FilterRefusesWithOnlyTheRefusalLine) {
    loopback::Server server(loopback::echo);
    CIpFilter& filter = config.filter;
    filter.mode = 3;
    filter.allowCount = 1;
    filter.allowList[0] = "127.0.0.0/8";
    filter.denyCount = 1;
    filter.denyList[0] = "127.0.0.1";
    startRelay(server.port());

    testing::internal::CaptureStdout();
    setTraceEnabled(true);
    int client = connectTo(relayPort);
    int clientPort = localPortOf(client);
    bool closed = whileRelaying([client] { return loopback::waitClosed(client); });
    setTraceEnabled(false);
    std::string trace = testing::internal::GetCapturedStdout();

    EXPECT_TRUE(closed);
    std::string refusal =
        "★★接続を拒否★★ PeerAddress=127.0.0.1, port=" + std::to_string(clientPort) + "\n";
    close(client);
    EXPECT_NE(trace.find(refusal), std::string::npos) << trace;
    EXPECT_EQ(trace.find("接続を受け付けました。"), std::string::npos);
    EXPECT_TRUE(recorder.counts.empty());
    EXPECT_EQ(pairCount(), 0);
    EXPECT_EQ(server.accepted(), 0);
}

TEST_F(RepeaterTest, TracesAcceptAndConnectOfARelayedClient) {
    loopback::Server server(loopback::echo);
    startRelay(server.port());
    testing::internal::CaptureStdout();
    setTraceEnabled(true);
    int client = connectTo(relayPort);
    int clientPort = localPortOf(client);
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 1; }));
    close(client);
    ASSERT_TRUE(runUntil([&] { return pairCount() == 0; }));
    setTraceEnabled(false);
    std::string trace = testing::internal::GetCapturedStdout();

    std::string accepted =
        "接続を受け付けました。PeerAddress=127.0.0.1, port=" + std::to_string(clientPort) + "\n";
    for (const std::string& line :
         {accepted, std::string("CTcpSockStream::CTcpSockStream() STREAM を生成\n"),
          "host=127.0.0.1, port=" + std::to_string(server.port()) + " \n",
          std::string("★★★★★ONSEND START kind = connectSocket, nErrorCode=0\n"),
          std::string("CTcpRepeater::notifyOnClose()\n"),
          std::string("CTcpSockStream::~CTcpSockStream() STREAM を破棄\n")}) {
        EXPECT_NE(trace.find(line), std::string::npos) << line << "\n--- trace:\n" << trace;
    }
}

TEST_F(RepeaterTest, SmallAndInvalidBufferSizesRelayABurstWhole) {
    // 0 and negative sizes are raised to 1 KiB.
    for (int sizeKb : {1, 0, -5}) {
        SCOPED_TRACE(sizeKb);
        loopback::Server server(loopback::echo);
        startRelay(server.port(), "127.0.0.1", sizeKb);
        const std::string burst = loopback::pattern(5000, 7);
        int client = connectTo(relayPort);
        std::string echoed = whileRelaying([&] {
            loopback::sendAll(client, burst.data(), burst.size());
            return loopback::receiveExactly(client, burst.size());
        });
        EXPECT_EQ(echoed, burst);
        int cursor = 0;
        CTcpSockPair* pair = repeater.getNextPair(cursor);
        ASSERT_NE(pair, nullptr);
        EXPECT_LE(pair->connectSocket->getMaxRemainCount(), 1024u);
        EXPECT_GT(pair->connectSocket->getMaxRemainCount(), 0u);
        close(client);
        ASSERT_TRUE(runUntil([&] { return pairCount() == 0; }));
        repeater.stop();
    }
}

TEST_F(RepeaterTest, BufferSizeAboveTheBoundIsHeldToIt) {
    loopback::Server server(loopback::echo);
    startRelay(server.port(), "127.0.0.1", 0x7FFFFFFF);
    int client = connectTo(relayPort);
    std::string echoed = whileRelaying([&] {
        loopback::sendAll(client, "ping", 4);
        return loopback::receiveExactly(client, 4);
    });
    EXPECT_EQ(echoed, "ping");
    int cursor = 0;
    CTcpSockPair* pair = repeater.getNextPair(cursor);
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->connectSocket->sendBufferSize(), CTcpRepeater::kMaxBufferKb * 1024);
    close(client);
    EXPECT_TRUE(runUntil([&] { return pairCount() == 0; }));
}

TEST_F(RepeaterTest, ManyConcurrentConnectionsAllRelay) {
    constexpr int kClients = 300;
    loopback::Server server(loopback::echo);
    startRelay(server.port());
    std::atomic<int> connected{0};
    std::atomic<bool> release{false};
    auto work = std::async(std::launch::async, [&] {
        std::vector<int> fds;
        for (int i = 0; i < kClients; ++i) {
            int fd = connectTo(relayPort);
            if (fd < 0) {
                break;
            }
            fds.push_back(fd);
            ++connected;
        }
        int good = 0;
        for (int i = 0; i < static_cast<int>(fds.size()); ++i) {
            std::string message = "message " + std::to_string(i);
            loopback::sendAll(fds[i], message.data(), message.size());
        }
        for (int i = 0; i < static_cast<int>(fds.size()); ++i) {
            std::string message = "message " + std::to_string(i);
            good += loopback::receiveExactly(fds[i], message.size()) == message ? 1 : 0;
        }
        for (int i = 0; i < 3000 && !release.load(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        for (int fd : fds) {
            close(fd);
        }
        return good;
    });
    ASSERT_TRUE(runUntil([&] { return recorder.last() == kClients; }, 60s));
    EXPECT_EQ(pairCount(), kClients);
    release = true;
    ASSERT_TRUE(runUntil([&] { return work.wait_for(0s) == std::future_status::ready; }, 60s));
    EXPECT_EQ(work.get(), kClients);
    ASSERT_TRUE(runUntil([&] { return pairCount() == 0; }, 30s));
    EXPECT_EQ(recorder.last(), 0);
}

}  // namespace
