#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/trace.h"
#include "tests/relay/relay_fixture.h"

namespace {

using loopback::checksum;

std::uint64_t sumOf(const std::string& data) {
    return checksum(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

// Reads until the end of the stream; ended is false when a reset or time-out came instead.
struct Reading {
    std::string data;
    bool ended = false;
    bool reset = false;
};

Reading readToEnd(int fd, std::size_t chunk, std::chrono::microseconds pause) {
    Reading reading;
    std::string buffer(chunk, '\0');
    for (int round = 0; round < 1'000'000; ++round) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            reading.ended = n == 0;
            reading.reset = n < 0 && errno == ECONNRESET;
            break;
        }
        reading.data.append(buffer.data(), static_cast<std::size_t>(n));
        std::this_thread::sleep_for(pause);  // a slow reader, not a wait for an event
    }
    return reading;
}

class ClosingTest : public RelayTest {
  protected:
    // A client whose pair is connected, with small kernel buffers towards the destination so
    // that the relay's own queue fills; -1 when it did not connect.
    int connectWithSmallDestinationBuffer() {
        int client = loopback::connectTo(relayPort, 30s);
        if (client < 0 || !runUntil([&] { return recorder.last() == 1; })) {
            return -1;
        }
        int small = 4096;
        firstPair()->connectSocket->SetSockOpt(SO_SNDBUF, &small, sizeof small);
        return client;
    }
};

// A destination's reset, on the timings that used to end the client's stream cleanly. Each
// is run over a direct connection and through the relay: the client must see the same kind
// of end (a reset), after a prefix of what the destination sent.
TEST_F(ClosingTest, ADestinationsResetReachesTheClientAsItWouldDirectly) {
    const std::string body = loopback::pattern(200'000, 6);
    constexpr std::size_t kUpload = std::size_t{64} * 1024;
    struct Case {
        const char* what;
        bool halfClose;
        int destinationReceiveBuffer;
        std::function<void(int)> destination;
        std::function<Reading(int)> client;
    };
    auto sendBodyAndReset = [&](int fd) {
        loopback::sendAll(fd, body.data(), body.size());
        loopback::resetOnClose(fd);
    };
    const Case cases[] = {
        {"sends and resets at once", false, 0, sendBodyAndReset,
         [](int fd) { return readToEnd(fd, std::size_t{64} * 1024, 0us); }},
        {"reads nothing of an upload, then resets", false, 1 << 20,
         [](int fd) {
             // Everything the client sent has arrived; none of it is read.
             int unread = 0;
             for (int i = 0; i < 2000 && unread < static_cast<int>(kUpload); ++i) {
                 std::this_thread::sleep_for(5ms);  // polls a count no event reports
                 ioctl(fd, SIOCINQ, &unread);
             }
             loopback::resetOnClose(fd);
         },
         [](int fd) {
             const std::string upload(kUpload, 'u');
             loopback::sendAll(fd, upload.data(), upload.size());
             return readToEnd(fd, 4096, 0us);
         }},
        {"half-closed, sends after the client's end and resets", true, 0,
         [&](int fd) {
             loopback::receiveUntilClosed(fd);
             sendBodyAndReset(fd);
         },
         [](int fd) {
             shutdown(fd, SHUT_WR);
             return readToEnd(fd, std::size_t{64} * 1024, 0us);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reading direct;
        {
            loopback::Server server(c.destination, c.destinationReceiveBuffer);
            int client = loopback::connectTo(server.port(), 30s);
            ASSERT_GE(client, 0);
            direct = c.client(client);
            close(client);
        }
        loopback::Server server(c.destination, c.destinationReceiveBuffer);
        config.relay.halfClose = c.halfClose;
        startRelay(server.port());
        int client = loopback::connectTo(relayPort, 30s);
        ASSERT_GE(client, 0);
        Reading relayed = whileRelaying([&] { return c.client(client); });
        close(client);
        EXPECT_TRUE(direct.reset);
        EXPECT_EQ(relayed.reset, direct.reset)
            << relayed.data.size() << " bytes, then " << (relayed.ended ? "a clean end" : "?");
        EXPECT_EQ(relayed.data, body.substr(0, relayed.data.size())) << "not a prefix";
        repeater.stop();
    }
}

// The destination answers with a large body and ends its stream while the client still
// sends small pieces and reads slowly: the client gets every byte and then a clean end.
TEST_F(ClosingTest, AnEndWhileThePeerStillSendsDeliversEverythingThenAnEnd) {
    const std::string answer = loopback::pattern(4u << 20, 5);
    loopback::Server server([&](int fd) {
        loopback::sendAll(fd, answer.data(), answer.size());
        shutdown(fd, SHUT_WR);
        loopback::receiveUntilClosed(fd);
    });
    startRelay(server.port());
    int client = loopback::connectTo(relayPort, 30s);
    ASSERT_GE(client, 0);
    loopback::setBufferSizes(client, 64 * 1024, 0);

    std::atomic<bool> reading{true};
    auto chatter = std::async(std::launch::async, [&] {
        const std::string piece(64, 'c');
        for (int i = 0; i < 20'000 && reading.load(); ++i) {
            if (send(client, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) {
                break;
            }
            std::this_thread::sleep_for(200us);
        }
    });
    Reading got = whileRelaying([&] {
        Reading result = readToEnd(client, 16 * 1024, 20us);
        reading = false;
        return result;
    });
    chatter.get();
    close(client);

    EXPECT_TRUE(got.ended) << "no clean end: " << std::strerror(errno);
    EXPECT_EQ(got.data.size(), answer.size());
    EXPECT_EQ(sumOf(got.data), sumOf(answer));
    EXPECT_TRUE(runUntil([&] { return pairCount() == 0 && repeater.getLingeringCount() == 0; }));
}

// The destination stops reading, the relay queues what the client sends, then the
// destination ends its own stream: it still gets everything the relay had taken, then a
// reset, since the client had not ended (the client gets the destination's clean end).
TEST_F(ClosingTest, APeerThatEndsStillGetsWhatTheRelayHeldForItThenAReset) {
    const std::string request = loopback::pattern(96 * 1024, 9);
    std::atomic<bool> held{true};
    std::promise<Reading> destinationGot;
    loopback::Server server(
        [&](int fd) {
            for (int i = 0; i < 3000 && held.load(); ++i) {
                std::this_thread::sleep_for(10ms);
            }
            shutdown(fd, SHUT_WR);
            destinationGot.set_value(readToEnd(fd, 4096, 0us));
        },
        4096);
    startRelay(server.port());
    int client = connectWithSmallDestinationBuffer();
    ASSERT_GE(client, 0);
    ASSERT_TRUE(loopback::sendAll(client, request.data(), request.size()));
    // Everything sent has been taken by the relay, and part of it still waits in its queue.
    ASSERT_TRUE(runUntil([&] {
        CTcpSockPair* pair = firstPair();
        int unread = -1;
        return pair != nullptr && pair->connectSocket->queuedBytes() > 0 &&
               ioctl(pair->acceptSocket->handle(), SIOCINQ, &unread) == 0 && unread == 0;
    }));
    held = false;
    auto result = destinationGot.get_future();
    ASSERT_TRUE(runUntil([&] { return result.wait_for(0s) == std::future_status::ready; }));
    Reading got = result.get();
    bool clientEnded = whileRelaying([client] { return loopback::waitClosed(client); });
    close(client);

    EXPECT_TRUE(got.reset);
    EXPECT_EQ(got.data.size(), request.size());
    EXPECT_EQ(sumOf(got.data), sumOf(request));
    EXPECT_TRUE(clientEnded);
    EXPECT_TRUE(runUntil([&] { return repeater.getLingeringCount() == 0; }));
}

// The client uploads to a destination that reads slowly and resets its connection while the
// relay still holds part of the upload: the destination sees a reset, not a clean end.
TEST_F(ClosingTest, AResetWhileTheRelayHoldsDataIsPassedOnAsAReset) {
    std::promise<Reading> destinationGot;
    loopback::Server server([&](int fd) { destinationGot.set_value(readToEnd(fd, 4096, 2ms)); },
                            4096);
    startRelay(server.port());
    int client = connectWithSmallDestinationBuffer();
    ASSERT_GE(client, 0);
    loopback::setNonBlocking(client);
    const std::string upload = loopback::pattern(64 * 1024, 3);
    std::size_t sent = 0;
    ASSERT_TRUE(runUntil([&] {
        ssize_t n = send(client, upload.data(), upload.size(), MSG_NOSIGNAL);
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        CTcpSockPair* pair = firstPair();
        return pair != nullptr && pair->connectSocket->queuedBytes() > 0;
    }));
    loopback::resetOnClose(client);
    close(client);
    auto result = destinationGot.get_future();
    ASSERT_TRUE(runUntil([&] { return result.wait_for(0s) == std::future_status::ready; }));
    Reading got = result.get();
    EXPECT_FALSE(got.ended) << got.data.size() << " of " << sent << " bytes, then a clean end";
    EXPECT_TRUE(runUntil([&] { return pairCount() == 0 && repeater.getLingeringCount() == 0; }));
}

// A stop gives what is queued a moment to go out; a client then gets a clean end only when
// the destination had ended its stream and everything has been delivered, a reset otherwise
// (a destination still sending, or a client too slow to take megabytes in that time).
TEST_F(ClosingTest, AStopEndsCleanlyOnlyWhatEndedAndWasDelivered) {
    struct Case {
        std::size_t bytes;
        std::chrono::microseconds pause;
        bool destinationEnds;
        bool cleanEnd;
    };
    for (Case c :
         {Case{std::size_t{64} << 10, 0us, true, true},
          Case{std::size_t{64} << 10, 0us, false, false}, Case{8u << 20, 2ms, false, false}}) {
        SCOPED_TRACE(testing::Message() << c.bytes << (c.destinationEnds ? " ended" : " open"));
        const std::string answer = loopback::pattern(c.bytes, 4);
        loopback::Server server([&](int fd) {
            loopback::sendAll(fd, answer.data(), answer.size());
            if (c.destinationEnds) {
                shutdown(fd, SHUT_WR);
            }
            loopback::receiveUntilClosed(fd);
        });
        // Passed on as a shutdown, the destination's end leaves the pair open until the stop.
        config.relay.halfClose = c.destinationEnds;
        startRelay(server.port(), "127.0.0.1", 16384);
        int client = loopback::connectTo(relayPort, 30s);
        ASSERT_GE(client, 0);
        loopback::setBufferSizes(client, 16 * 1024, 0);
        auto reading =
            std::async(std::launch::async, [&] { return readToEnd(client, 4096, c.pause); });
        // Stop once the relay has read everything, while the client may still be reading.
        ASSERT_TRUE(runUntil([&] {
            CTcpSockPair* pair = firstPair();
            return pair != nullptr && pair->bytesDown() == c.bytes &&
                   (c.pause == 0us ? pair->acceptSocket->queuedBytes() == 0
                                   : pair->acceptSocket->queuedBytes() > (1u << 20)) &&
                   (pair->connectSocket->inbound() == Flow::Shut) == c.destinationEnds;
        }));
        repeater.stop();
        ASSERT_EQ(reading.wait_for(30s), std::future_status::ready);
        Reading got = reading.get();
        close(client);
        EXPECT_EQ(got.ended, c.cleanEnd) << got.data.size() << " of " << c.bytes << " bytes";
        EXPECT_EQ(got.reset, !c.cleanEnd);
        EXPECT_EQ(got.data, answer.substr(0, got.data.size()));
        if (got.ended) {
            EXPECT_EQ(sumOf(got.data), sumOf(answer));
        }
        EXPECT_EQ(repeater.getLingeringCount(), 0u);
    }
}

}  // namespace
