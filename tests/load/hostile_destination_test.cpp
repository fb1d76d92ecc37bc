#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>

#include "tests/load/load_support.h"

namespace {

using namespace load;
using State = EchoClients::State;

constexpr const char* kUnresolvable = "no-such-host.invalid";

enum class Hostility { NeverReads, ResetsAtOnce, AnswersSlowly };

// A destination that misbehaves in one way, on the test's poller.
class HostileDestination {
  public:
    static constexpr auto kFirstAnswerDelay = 200ms;
    static constexpr std::size_t kPiece = 64;

    HostileDestination(Poller& poller, Hostility how) : poller_(poller), how_(how) {
        listenFd_ = listenOn(port_);
        listenToken_ = poller_.add(listenFd_, EPOLLIN, [this](std::uint32_t) { acceptAll(); });
    }

    ~HostileDestination() {
        closeAll();
        poller_.remove(listenToken_);
        close(listenFd_);
    }

    HostileDestination(const HostileDestination&) = delete;
    HostileDestination& operator=(const HostileDestination&) = delete;

    int port() const { return port_; }
    int accepted() const { return accepted_; }

    // The slow one answers a piece at a time, one piece per call at most per connection.
    void tick() {
        auto now = Clock::now();
        std::vector<int> gone;
        for (auto& [fd, conn] : conns_) {
            if (conn.pending.empty() || now < conn.since + kFirstAnswerDelay) {
                continue;
            }
            std::size_t piece = std::min(kPiece, conn.pending.size());
            ssize_t n = send(fd, conn.pending.data(), piece, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) {
                gone.push_back(fd);
                continue;
            }
            conn.pending.erase(0, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        for (int fd : gone) {
            drop(fd);
        }
    }

    void closeAll() {
        while (!conns_.empty()) {
            drop(conns_.begin()->first);
        }
    }

  private:
    struct Conn {
        std::uint64_t token = 0;
        std::string pending;
        Clock::time_point since;
    };

    void acceptAll() {
        for (int i = 0; i < 256; ++i) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            ++accepted_;
            if (how_ == Hostility::ResetsAtOnce) {
                resetOnClose(fd);
                close(fd);
                continue;
            }
            Conn& conn = conns_[fd];
            conn.since = Clock::now();
            if (how_ == Hostility::AnswersSlowly) {
                conn.token = poller_.add(fd, EPOLLIN | EPOLLRDHUP,
                                         [this, fd](std::uint32_t) { readSome(fd); });
            }
        }
    }

    void readSome(int fd) {
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        if (n <= 0) {
            drop(fd);
            return;
        }
        conns_[fd].pending.append(buffer, static_cast<std::size_t>(n));
    }

    void drop(int fd) {
        auto it = conns_.find(fd);
        if (it == conns_.end()) {
            return;
        }
        if (it->second.token != 0) {
            poller_.remove(it->second.token);
        }
        close(fd);
        conns_.erase(it);
    }

    Poller& poller_;
    Hostility how_;
    int listenFd_ = -1;
    int port_ = 0;
    std::uint64_t listenToken_ = 0;
    int accepted_ = 0;
    std::unordered_map<int, Conn> conns_;
};

double resolveMilliseconds(const char* host) {
    auto start = Clock::now();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0) {
        freeaddrinfo(found);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Repeaters of one relay, one per destination; each hostile one may only harm its own
// clients, while the healthy one keeps relaying intact and on time.
TEST(HostileDestinations, EachHarmsOnlyItsOwnConnections) {
    enum Port { Healthy, NeverReads, Resets, Slow, Unresolvable, kPorts };
    constexpr int kHealthy = 4;
    constexpr int kStuck = 4;
    constexpr int kSlow = 4;
    constexpr auto kPingInterval = 5ms;
    // A name lookup blocks the relay's thread: where it is slow, ask it rarely and allow for it.
    const double resolveMs = resolveMilliseconds(kUnresolvable);
    const auto phase =
        byForm(3000ms, 20000ms) + std::chrono::milliseconds(static_cast<long long>(2 * resolveMs));
    const auto hostileEvery =
        std::max(100ms, std::chrono::milliseconds(static_cast<long long>(4 * resolveMs)));
    const double p99LimitMs = 200 + 2 * resolveMs;

    Poller poller;
    EchoServer echo(poller);
    HostileDestination neverReads(poller, Hostility::NeverReads);
    HostileDestination resets(poller, Hostility::ResetsAtOnce);
    HostileDestination slow(poller, Hostility::AnswersSlowly);
    RelayChild relay({{"127.0.0.1", echo.port()},
                      {"127.0.0.1", neverReads.port()},
                      {"127.0.0.1", resets.port()},
                      {"127.0.0.1", slow.port()},
                      {kUnresolvable, echo.port()}});
    ASSERT_TRUE(relay.started());
    const RelayStats idle = relay.stats();
    ASSERT_EQ(idle.repeaters, kPorts);

    EchoClients healthy(poller, relay.port(Healthy));
    for (int i = 0; i < kHealthy; ++i) {
        healthy.open();
    }
    ASSERT_TRUE(poller.runUntil([&] { return healthy.inFlight() == 0; }, 10s));
    ASSERT_EQ(healthy.count(State::Echoed), kHealthy);

    // Clients of the destination that never reads push until everything on the way is full.
    std::vector<int> stuckFds;
    std::vector<std::unique_ptr<PatternStream>> stuck;
    for (int i = 0; i < kStuck; ++i) {
        stuckFds.push_back(connectStart(relay.port(NeverReads)));
        ASSERT_GE(stuckFds.back(), 0);
        stuck.push_back(std::make_unique<PatternStream>(stuckFds.back()));
    }
    EchoClients resetClients(poller, relay.port(Resets));
    EchoClients slowClients(poller, relay.port(Slow));
    EchoClients unresolvedClients(poller, relay.port(Unresolvable));
    for (int i = 0; i < kSlow; ++i) {
        slowClients.open();
    }

    const auto start = Clock::now();
    auto nextPing = start;
    auto nextHostile = start;
    int round = 1;
    poller.runUntil(
        [&] {
            auto now = Clock::now();
            for (auto& stream : stuck) {
                stream->push();
            }
            slow.tick();
            if (now >= nextHostile) {
                resetClients.open();
                unresolvedClients.open();
                nextHostile = now + hostileEvery;
            }
            if (now >= nextPing && healthy.inFlight() == 0) {
                healthy.sendRound(round++);
                nextPing = now + kPingInterval;
            }
            return now - start >= phase;
        },
        phase + 5s);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(poller.runUntil(
        [&] {
            slow.tick();
            return healthy.inFlight() + resetClients.inFlight() + slowClients.inFlight() +
                       unresolvedClients.inFlight() ==
                   0;
        },
        10s));

    // The healthy repeater relayed every message whole and on time.
    const double p99 = percentile(healthy.roundTrips(), 0.99);
    EXPECT_EQ(healthy.mismatches(), 0);
    EXPECT_EQ(healthy.count(State::Echoed), kHealthy);
    EXPECT_GE(static_cast<int>(healthy.roundTrips().size()), kHealthy * 20);
    EXPECT_LT(p99, p99LimitMs);
    // Every hostile destination harmed only its own clients, each in its own way.
    EXPECT_EQ(slowClients.count(State::Echoed), kSlow);
    EXPECT_EQ(slowClients.mismatches(), 0);
    EXPECT_EQ(resetClients.count(State::Closed), resetClients.total());
    EXPECT_EQ(resetClients.served(), 0);
    EXPECT_EQ(resets.accepted(), resetClients.total());
    EXPECT_EQ(unresolvedClients.count(State::Closed), unresolvedClients.total());
    EXPECT_EQ(unresolvedClients.served(), 0);
    const RelayStats during = relay.stats();
    EXPECT_EQ(during.pairs[NeverReads], kStuck);
    EXPECT_GE(during.fullQueues, kStuck);
    std::size_t stuckBytes = 0;
    for (auto& stream : stuck) {
        stuckBytes += stream->sent();
    }

    // The destination that never read goes away: its clients are let go, the relay is empty.
    neverReads.closeAll();
    EXPECT_TRUE(poller.runUntil(
        [&] {
            return std::all_of(stuck.begin(), stuck.end(),
                               [](auto& stream) { return !stream->pull(); });
        },
        10s));
    for (auto& stream : stuck) {
        EXPECT_TRUE(stream->intact());
        EXPECT_EQ(stream->received(), 0u);
    }
    for (int fd : stuckFds) {
        close(fd);
    }
    healthy.closeWhere(State::Echoed);
    slowClients.closeWhere(State::Echoed);
    EXPECT_TRUE(relay.waitFor(
        [&](const RelayStats& s) {
            return s.totalPairs() == 0 && s.totalConnections() == 0 &&
                   s.descriptors == idle.descriptors &&
                   std::all_of(s.listening, s.listening + kPorts, [](int on) { return on == 1; });
        },
        10s, &poller));

    // And the healthy repeater serves new clients as before.
    EchoClients later(poller, relay.port(Healthy));
    later.open();
    EXPECT_TRUE(poller.runUntil([&] { return later.inFlight() == 0; }, 10s));
    EXPECT_EQ(later.served(), 1);
    std::printf(
        "[load] hostile destinations for %.1f s: %d healthy connections made %zu round trips "
        "(p99 %.2f ms, %llu bytes checked); %d clients held by a destination that never reads "
        "(%zu bytes pushed), %d reset at once, %d answered slowly, %d unresolvable (lookup "
        "%.1f ms)\n",
        seconds, kHealthy, healthy.roundTrips().size(), p99,
        static_cast<unsigned long long>(healthy.bytesChecked()), kStuck, stuckBytes,
        resetClients.total(), kSlow, unresolvedClients.total(), resolveMs);
    EXPECT_EQ(relay.finish(), 0);
}

}  // namespace
