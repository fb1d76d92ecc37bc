#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/trace.h"
#include "tests/relay/relay_fixture.h"

using loopback::connectTo;

namespace {

// Lets a peer thread wait, bounded in time, until the test opens the gate.
struct Gate {
    std::atomic<bool> open{false};
    void wait() const {
        for (int i = 0; i < 3000 && !open.load(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
    }
};

struct Received {
    std::size_t bytes = 0;
    std::uint64_t sum = 0;
};

Received receiveAll(int fd) {
    std::string data = loopback::receiveUntilClosed(fd);
    return {data.size(),
            loopback::checksum(reinterpret_cast<const unsigned char*>(data.data()), data.size())};
}

std::uint64_t sumOf(const std::string& data) {
    return loopback::checksum(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

class FlowTest : public RelayTest {
  protected:
    // Small kernel buffers on the relay's side, so that what the relay holds stays in its queue.
    void shrinkRelayBuffers(CTcpSockPair& pair) {
        int small = 4096;
        pair.acceptSocket->SetSockOpt(SO_SNDBUF, &small, sizeof small);
        pair.connectSocket->SetSockOpt(SO_SNDBUF, &small, sizeof small);
    }
};

TEST_F(FlowTest, LargeTransferArrivesIntactInBothDirections) {
    constexpr std::size_t kBytes = 64u << 20;
    loopback::Server server(loopback::echo);
    startRelay(server.port());
    int client = connectTo(relayPort, 60s);
    ASSERT_GE(client, 0);
    const std::string block = loopback::pattern(1 << 20, 3);
    std::uint64_t expected = 0;
    for (std::size_t sent = 0; sent < kBytes; sent += block.size()) {
        expected = loopback::checksum(reinterpret_cast<const unsigned char*>(block.data()),
                                      block.size(), expected);
    }
    auto sender = std::async(std::launch::async, [&] {
        bool ok = true;
        for (std::size_t sent = 0; sent < kBytes && ok; sent += block.size()) {
            ok = loopback::sendAll(client, block.data(), block.size());
        }
        return ok;
    });
    Received echoed = whileRelaying(
        [&] {
            Received got;
            std::string chunk;
            while (got.bytes < kBytes) {
                chunk = loopback::receiveExactly(
                    client, std::min<std::size_t>(1 << 20, kBytes - got.bytes));
                if (chunk.empty()) {
                    break;
                }
                got.sum = loopback::checksum(reinterpret_cast<const unsigned char*>(chunk.data()),
                                             chunk.size(), got.sum);
                got.bytes += chunk.size();
            }
            return got;
        },
        120s);
    EXPECT_TRUE(sender.get());
    EXPECT_EQ(echoed.bytes, kBytes);
    EXPECT_EQ(echoed.sum, expected);
    close(client);
    EXPECT_TRUE(runUntil([&] { return pairCount() == 0; }));
}

TEST_F(FlowTest, SlowReceiverPausesOnlyItsOwnConnection) {
    constexpr std::size_t kBytes = 8u << 20;
    Gate slowGate;
    std::atomic<int> connections{0};
    std::promise<Received> slowResult;
    loopback::Server server([&](int fd) {
        if (connections++ == 0) {
            slowGate.wait();
            slowResult.set_value(receiveAll(fd));
        } else {
            loopback::echo(fd);
        }
    });
    startRelay(server.port(), "127.0.0.1", 16);
    testing::internal::CaptureStdout();
    setTraceEnabled(true);

    const std::string payload = loopback::pattern(kBytes, 11);
    int slowClient = connectTo(relayPort, 60s);
    auto slowSender = std::async(std::launch::async, [&] {
        bool ok = loopback::sendAll(slowClient, payload.data(), payload.size());
        shutdown(slowClient, SHUT_WR);
        return ok;
    });
    // The stall has begun once the queue towards the slow receiver is full.
    ASSERT_TRUE(runUntil([&] {
        CTcpSockPair* pair = firstPair();
        return pair != nullptr && pair->connectSocket->getSendFreeSize() == 0;
    }));

    int quickClient = connectTo(relayPort);
    auto roundTrips = whileRelaying(
        [&] {
            int good = 0;
            for (int i = 0; i < 50; ++i) {
                std::string message = "round trip " + std::to_string(i);
                loopback::sendAll(quickClient, message.data(), message.size());
                good += loopback::receiveExactly(quickClient, message.size()) == message;
            }
            return good;
        },
        10s);
    EXPECT_EQ(roundTrips, 50);
    close(quickClient);

    slowGate.open = true;
    auto slow = slowResult.get_future();
    ASSERT_TRUE(runUntil([&] { return slow.wait_for(0s) == std::future_status::ready; }, 60s));
    Received got = slow.get();
    EXPECT_TRUE(slowSender.get());
    ASSERT_TRUE(runUntil([&] { return pairCount() == 0; }));
    setTraceEnabled(false);
    std::string trace = testing::internal::GetCapturedStdout();
    close(slowClient);

    EXPECT_EQ(got.bytes, kBytes);
    EXPECT_EQ(got.sum, sumOf(payload));
    EXPECT_NE(trace.find("Error:CTcpSockStream::OnReceive() SendBuffer FULL PairSocket\n"),
              std::string::npos);
    EXPECT_NE(trace.find("SEND BLOCK kind=connectSocket, sRemainCount="), std::string::npos);
}

enum class Closer { Client, Server, Both };

struct CloseCase {
    const char* name;
    Closer closer;
};

void PrintTo(const CloseCase& c, std::ostream* os) {
    *os << c.name;
}

class CloseWithQueuedData : public FlowTest, public testing::WithParamInterface<CloseCase> {};

// The peers send, then end their stream while the relay still holds their bytes; a gated
// reader on the other side must still get every byte before it sees the end.
TEST_P(CloseWithQueuedData, DeliversEverythingBeforeClosing) {
    constexpr std::size_t kBytes = 96u << 10;
    const Closer closer = GetParam().closer;
    const bool clientSends = closer != Closer::Server;
    const bool serverSends = closer != Closer::Client;
    const std::string toServer = loopback::pattern(kBytes, 21);
    const std::string toClient = loopback::pattern(kBytes, 22);
    Gate serverGate;
    Gate clientGate;
    std::promise<Received> serverGot;
    loopback::Server server(
        [&](int fd) {
            if (serverSends) {
                loopback::sendAll(fd, toClient.data(), toClient.size());
                shutdown(fd, SHUT_WR);
            }
            serverGate.wait();
            serverGot.set_value(receiveAll(fd));
        },
        4096);
    startRelay(server.port());

    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    loopback::setBufferSizes(client, 4096, 0);
    loopback::setTimeouts(client, 30s);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(relayPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(runUntil([&] { return recorder.last() == 1; }));
    shrinkRelayBuffers(*firstPair());

    testing::internal::CaptureStdout();
    setTraceEnabled(true);
    auto clientSide = std::async(std::launch::async, [&] {
        if (clientSends) {
            loopback::sendAll(client, toServer.data(), toServer.size());
            shutdown(client, SHUT_WR);
        }
        clientGate.wait();
        return receiveAll(client);
    });

    // Wait until every closing peer's end has been seen while its bytes still wait.
    ASSERT_TRUE(runUntil([&] {
        CTcpSockPair* pair = firstPair();
        return pair != nullptr && (!clientSends || pair->acceptSocket->closePending()) &&
               (!serverSends || pair->connectSocket->closePending());
    }));
    EXPECT_EQ(pairCount(), 1);
    serverGate.open = true;
    clientGate.open = true;

    auto serverResult = serverGot.get_future();
    ASSERT_TRUE(runUntil([&] {
        return serverResult.wait_for(0s) == std::future_status::ready &&
               clientSide.wait_for(0s) == std::future_status::ready;
    }));
    ASSERT_TRUE(runUntil([&] { return pairCount() == 0; }));
    setTraceEnabled(false);
    std::string trace = testing::internal::GetCapturedStdout();
    close(client);

    Received atServer = serverResult.get();
    Received atClient = clientSide.get();
    if (clientSends) {
        EXPECT_EQ(atServer.bytes, kBytes);
        EXPECT_EQ(atServer.sum, sumOf(toServer));
    }
    if (serverSends) {
        EXPECT_EQ(atClient.bytes, kBytes);
        EXPECT_EQ(atClient.sum, sumOf(toClient));
    }
    EXPECT_NE(trace.find("■■■■■CTcpSockStream::OnClose() SendRemain="), std::string::npos);
    EXPECT_NE(trace.find("☆☆☆☆CTcpSockStream::OnSend() Close Pendig End \n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Directions, CloseWithQueuedData,
                         testing::Values(CloseCase{"ClientCloses", Closer::Client},
                                         CloseCase{"ServerCloses", Closer::Server},
                                         CloseCase{"BothClose", Closer::Both}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
