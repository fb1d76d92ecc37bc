#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "relay/udp_repeater.h"
#include "tests/load/load_support.h"
#include "tests/support/udp_peer.h"

namespace {
using namespace std::chrono_literals;
using load::Clock;

// A destination that answers each datagram, to its sender, only after a delay; on its thread.
class LateDestination {
  public:
    explicit LateDestination(std::chrono::milliseconds delay)
        : fd_(udp::bindAt("127.0.0.1", 0, 50ms)), delay_(delay), thread_([this] { run(); }) {}
    ~LateDestination() {
        stopping_ = true;
        thread_.join();
        close(fd_);
    }
    LateDestination(const LateDestination&) = delete;
    LateDestination& operator=(const LateDestination&) = delete;
    int port() const { return udp::localPort(fd_); }
    int received() const { return received_.load(); }

  private:
    struct Due {
        Clock::time_point at;
        sockaddr_storage to;
        socklen_t length;
        std::string datagram;
    };
    void run() {
        std::deque<Due> due;
        char buffer[2048];
        while (!stopping_) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
            if (n > 0) {
                ++received_;
                due.push_back({Clock::now() + delay_, from, length,
                               std::string(buffer, static_cast<std::size_t>(n))});
            }
            while (!due.empty() && due.front().at <= Clock::now()) {
                sendto(fd_, due.front().datagram.data(), due.front().datagram.size(), 0,
                       reinterpret_cast<sockaddr*>(&due.front().to), due.front().length);
                due.pop_front();
            }
        }
    }

    int fd_;
    std::chrono::milliseconds delay_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> received_{0};
    std::thread thread_;
};

struct Outcome {
    int answered = 0;
    int misdelivered = 0;
};

// Each client sends its name once and collects what comes back until the deadline. The
// clients start a few dozen at a time, as the relay keeps up, so that the listening socket's
// buffer does not overflow.
Outcome runClients(int clients, int relayPort, const LateDestination& destination,
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
    const std::size_t bound = load::byForm<std::size_t>(1024, UdpRepeater::kMaxSessions);
    const int clients = load::byForm(1250, 5000);
    const auto delay = load::byForm(1000ms, 3000ms);
    load::setOpenFiles(4 * clients + 256);
    SocketEventLoop loop;
    LateDestination destination(delay);
    UdpRepeater repeater(bound);
    repeater.setListenBind(1, "127.0.0.1");
    ASSERT_TRUE(repeater.start(0, "127.0.0.1", destination.port()));
    const int relayPort = static_cast<int>(repeater.getListenPort());
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
