#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "relay/udp_repeater.h"
#include "tests/load/load_support.h"
#include "tests/support/test_forward.h"
#include "tests/support/udp_peer.h"

namespace {
using namespace std::chrono_literals;
using load::Clock;

struct Outcome {
    int answered = 0;
    int misdelivered = 0;
};

// Each client sends its name once and collects what comes back until the deadline. The
// clients start a few dozen at a time, as the relay keeps up, so that the listening socket's
// buffer does not overflow.
Outcome runClients(int clients, int relayPort, const udp::EchoServer& destination,
                   Clock::time_point deadline) {
    constexpr int kAhead = 64;
    std::vector<int> fds;
    for (int c = 0; c < clients; ++c) {
        fds.push_back(udp::bindAt("127.0.0.1", 0, 0ms));
        udp::sendTo(fds.back(), "127.0.0.1", relayPort, "client-" + std::to_string(c));
        const auto patience = Clock::now() + 1s;
        while (destination.received() < c + 1 - kAhead && Clock::now() < patience) {
            std::this_thread::yield();
        }
    }
    std::vector<pollfd> watched;
    for (int fd : fds) {
        watched.push_back({fd, POLLIN, 0});
    }
    Outcome outcome;
    while (Clock::now() < deadline) {
        if (poll(watched.data(), watched.size(), 100) <= 0) {
            continue;
        }
        for (std::size_t c = 0; c < watched.size(); ++c) {
            char buffer[64];
            ssize_t n = 0;
            while ((watched[c].revents & POLLIN) != 0 &&
                   (n = recv(watched[c].fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
                const bool own = std::string(buffer, static_cast<std::size_t>(n)) ==
                                 "client-" + std::to_string(c);
                ++(own ? outcome.answered : outcome.misdelivered);
            }
        }
    }
    for (int fd : fds) {
        close(fd);
    }
    return outcome;
}
}  // namespace

// More clients than the session bound, the destination answering every datagram late: the
// evicted sessions' late answers reach nobody, never the client that came next.
TEST(UdpLateAnswers, NoAnswerReachesAnotherClientPastTheSessionBound) {
    setTraceEnabled(false);
    const std::size_t bound = load::byForm<std::size_t>(1024, RepeaterTuning::kMaxSessions);
    const int clients = load::byForm(1250, 5000);
    const auto delay = load::byForm(1000ms, 3000ms);
    load::setOpenFiles(4 * clients + 256);
    SocketEventLoop loop;
    udp::EchoServer destination("127.0.0.1", delay);
    RepeaterTuning tuning;
    tuning.maxSessions = bound;
    UdpRepeater repeater(tuning);
    repeater.configure(testForward(0, "127.0.0.1", destination.port()));
    ASSERT_TRUE(repeater.start());
    const int relayPort = static_cast<int>(repeater.listenPort());
    auto result = std::async(std::launch::async, [&] {
        return runClients(clients, relayPort, destination, Clock::now() + delay + 3s);
    });
    EXPECT_TRUE(
        loop.runUntil([&] { return result.wait_for(0s) == std::future_status::ready; }, 60s));
    const Outcome outcome = result.get();
    std::printf("%d clients, bound %zu: %d answered, %d misdelivered, %zu ports held\n", clients,
                bound, outcome.answered, outcome.misdelivered, repeater.quarantined());
    EXPECT_EQ(outcome.misdelivered, 0);
    // The sessions still live at the end got their answers.
    EXPECT_GE(outcome.answered, static_cast<int>(bound) / 2);
    repeater.stop();
    setTraceEnabled(true);
}
