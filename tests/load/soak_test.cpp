#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>

#include "tests/load/load_support.h"
#include "tests/support/loopback.h"

namespace {

using namespace load;

// How a connection ends. The first four come after the whole exchange; the half-closes end
// one direction after all of its bytes (a client that ends its request may still be reading
// the answer); the midway ones cut a transfer short.
enum class Ending {
    ClientClose,
    ClientReset,
    ServerClose,
    ServerReset,
    ClientHalfClose,
    ServerHalfClose,
    ClientHalfCloseReading,
    ClientResetMidway,
    ServerResetMidway,
    ClientCloseMidway,
};
constexpr int kEndings = 10;
constexpr const char* kEndingNames[kEndings] = {"client FIN",
                                                "client RST",
                                                "server FIN",
                                                "server RST",
                                                "client half-close",
                                                "server half-close",
                                                "client half-close, reading",
                                                "client RST midway",
                                                "server RST midway",
                                                "client close midway"};

bool midway(Ending ending) {
    return ending >= Ending::ClientResetMidway;
}

struct Plan {
    Ending ending = Ending::ClientClose;
    // The server answers while the request still arrives, instead of after it.
    bool duplex = false;
    std::size_t up = 0;
    std::size_t down = 0;
    // Midway endings: the receiver's progress at which the cut comes.
    std::size_t cutAt = 0;
    // Server half-close, and the client's reading one: the client waits to read until the
    // server is done (or stuck), so that the end reaches the relay while it still holds bytes
    // for the client.
    bool held = false;
};

constexpr std::size_t kHeader = 4;  // the connection's id, first on the way up
constexpr std::size_t kLargest = 256u << 10;
// Held connections go through a second repeater with a larger queue and small socket buffers
// towards clients that offer a small window, and carry about as much as fits into these.
constexpr int kHeldSocketBuffer = 4096;
constexpr std::size_t kHeldLeast = 8u << 10;
constexpr std::size_t kHeldMost = 96u << 10;
// A client that ends its request takes nothing more from the relay than it has accepted by
// then: the answer stays below the held repeater's queue, so that the relay has all of it.
constexpr std::size_t kHeldAnswerMost = 28u << 10;
constexpr auto kHoldAfterSender = 30ms;

// Sizes spread evenly over the powers of two up to most, and now and then none at all.
std::size_t randomSize(std::mt19937& rng, std::size_t most) {
    if (rng() % 8 == 0) {
        return 0;
    }
    std::uniform_real_distribution<double> exponent(0, std::log2(static_cast<double>(most)));
    return static_cast<std::size_t>(std::exp2(exponent(rng)));
}

Plan makePlan(std::mt19937& rng) {
    Plan plan;
    plan.ending = static_cast<Ending>(rng() % kEndings);
    plan.duplex = rng() % 2 == 0;
    plan.up = kHeader + randomSize(rng, kLargest);
    plan.down = randomSize(rng, kLargest);
    switch (plan.ending) {
        case Ending::ClientHalfClose:
            plan.down = 0;
            break;
        case Ending::ServerHalfClose:
            plan.up = kHeader;
            plan.held = rng() % 2 == 0;
            if (plan.held) {
                plan.down = kHeldLeast + rng() % (kHeldMost - kHeldLeast);
            }
            break;
        case Ending::ClientHalfCloseReading:
            plan.up = kHeader + rng() % 1024;
            plan.held = true;
            plan.down = kHeldLeast + rng() % (kHeldAnswerMost - kHeldLeast);
            break;
        case Ending::ClientResetMidway:
            plan.up = kHeader + (64u << 10) + randomSize(rng, kLargest);
            plan.cutAt = kHeader + rng() % (plan.up - kHeader);
            break;
        case Ending::ServerResetMidway:
        case Ending::ClientCloseMidway:
            plan.down = (64u << 10) + randomSize(rng, kLargest);
            plan.cutAt = 1 + rng() % (plan.down - 1);
            break;
        default:
            break;
    }
    return plan;
}

// Drives client and destination ends of many relayed connections on one poller, checks every
// byte against what the other end sent, and carries out each connection's ending.
class Soak {
  public:
    Soak(Poller& poller, unsigned seed) : poller_(poller), rng_(seed), buffer_(65536) {
        listenFd_ = listenOn(listenPort_);
        listenToken_ = poller_.add(listenFd_, EPOLLIN, [this](std::uint32_t) { acceptAll(); });
    }

    ~Soak() {
        while (!conns_.empty()) {
            Conn& conn = conns_.begin()->second;
            closeEnd(conn.client, false);
            closeEnd(conn.server, false);
            conns_.erase(conns_.begin());
        }
        for (auto& [fd, token] : serverTokens_) {
            poller_.remove(token);
            close(fd);
        }
        poller_.remove(listenToken_);
        close(listenFd_);
    }

    int listenPort() const { return listenPort_; }
    // The relay's ports for plain connections and for held ones.
    void setRelayPorts(int plain, int held) {
        relayPorts_[0] = plain;
        relayPorts_[1] = held;
    }
    int active() const { return static_cast<int>(conns_.size()); }

    void startOne() {
        std::uint32_t id = nextId_++;
        Conn& conn = conns_[id];
        conn.plan = makePlan(rng_);
        conn.up = loopback::pattern(conn.plan.up, id * 2);
        std::memcpy(conn.up.data(), &id, kHeader);
        conn.down = loopback::pattern(conn.plan.down, id * 2 + 1);
        conn.started = Clock::now();
        conn.client.holding = conn.plan.held;
        conn.client.fd = connectStart(relayPorts_[conn.plan.held ? 1 : 0],
                                      conn.plan.held ? kHeldSocketBuffer : 0);
        conn.client.interest = EPOLLOUT | (conn.plan.held ? 0U : EPOLLIN | EPOLLRDHUP);
        conn.client.token = poller_.add(conn.client.fd, conn.client.interest,
                                        [this, id](std::uint32_t ev) { onClient(id, ev); });
        if (conn.client.token == 0) {
            fault(id, "could not connect to the relay");
        }
        peak_ = std::max(peak_, active());
    }

    // Lets held receivers read once their sender has been done for a moment; a client that
    // ends its request does that first.
    void releaseHeld() {
        auto now = Clock::now();
        std::vector<std::uint32_t> due;
        for (auto& [id, conn] : conns_) {
            if (!conn.plan.held || conn.released) {
                continue;
            }
            const End& sender = conn.server;
            bool senderDone = sender.writeShut || sender.blocked ||
                              (conn.bound && sender.sent == conn.down.size());
            if (conn.senderDoneAt == Clock::time_point{} && senderDone) {
                conn.senderDoneAt = now;
            }
            if (conn.senderDoneAt != Clock::time_point{} &&
                now - conn.senderDoneAt >= kHoldAfterSender) {
                due.push_back(id);
            }
        }
        for (std::uint32_t id : due) {
            Conn& conn = conns_[id];
            conn.released = true;
            conn.client.holding = false;
            if (conn.plan.ending == Ending::ClientHalfCloseReading) {
                shutdown(conn.client.fd, SHUT_WR);
                conn.client.writeShut = true;
                conn.acted = true;
            }
            setInterest(conn.client, interestOf(conn.client));
            receive(id, conn, conn.client, conn.down, "client");
            advance(id);
        }
    }

    // Gives up on connections older than limit; each counts as a fault.
    void checkTimeouts(Clock::duration limit) {
        auto now = Clock::now();
        std::vector<std::uint32_t> late;
        for (auto& [id, conn] : conns_) {
            if (now - conn.started > limit) {
                late.push_back(id);
            }
        }
        for (std::uint32_t id : late) {
            fault(id, "did not end in time");
        }
    }

    std::vector<std::string> faults;
    std::uint64_t bytesChecked = 0;
    int completed = 0;
    int heldCompleted = 0;
    int perEnding[kEndings] = {};
    int peak() const { return peak_; }

  private:
    struct End {
        int fd = -1;
        std::uint64_t token = 0;
        std::uint32_t interest = 0;
        std::size_t sent = 0;
        std::size_t received = 0;
        bool connected = false;
        bool blocked = false;
        bool writeShut = false;
        bool holding = false;
    };
    struct Conn {
        Plan plan;
        std::string up;
        std::string down;
        End client;
        End server;
        bool bound = false;
        bool acted = false;
        bool released = false;
        Clock::time_point started;
        Clock::time_point senderDoneAt;
    };

    static std::uint32_t interestOf(const End& end) {
        return (end.holding ? 0U : EPOLLIN | EPOLLRDHUP) | (end.blocked ? EPOLLOUT : 0U);
    }

    void acceptAll() {
        for (int i = 0; i < 256; ++i) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            serverTokens_[fd] = poller_.add(fd, EPOLLIN | EPOLLRDHUP,
                                            [this, fd](std::uint32_t ev) { onServerFd(fd, ev); });
        }
    }

    // Until its id has arrived, a destination end belongs to no connection.
    void onServerFd(int fd, std::uint32_t ev) {
        auto bound = serverIds_.find(fd);
        if (bound != serverIds_.end()) {
            onServer(bound->second, ev);
            return;
        }
        Header& header = headers_[fd];
        ssize_t n = recv(fd, header.bytes + header.got, kHeader - header.got, 0);
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        if (n <= 0) {
            faults.push_back("a destination connection ended before its id arrived");
            dropServerFd(fd);
            return;
        }
        header.got += static_cast<std::size_t>(n);
        if (header.got < kHeader) {
            return;
        }
        std::uint32_t id = 0;
        std::memcpy(&id, header.bytes, kHeader);
        headers_.erase(fd);
        auto it = conns_.find(id);
        if (it == conns_.end() || it->second.bound) {
            faults.push_back("a destination connection carried an unknown id " +
                             std::to_string(id));
            dropServerFd(fd);
            return;
        }
        Conn& conn = it->second;
        conn.bound = true;
        conn.server.fd = fd;
        conn.server.token = serverTokens_[fd];
        conn.server.interest = EPOLLIN | EPOLLRDHUP;
        conn.server.connected = true;
        conn.server.received = kHeader;
        bytesChecked += kHeader;
        serverTokens_.erase(fd);
        serverIds_[fd] = id;
        setInterest(conn.server, interestOf(conn.server));
        onServer(id, ev);
    }

    void dropServerFd(int fd) {
        poller_.remove(serverTokens_[fd]);
        serverTokens_.erase(fd);
        headers_.erase(fd);
        close(fd);
    }

    void onClient(std::uint32_t id, std::uint32_t ev) {
        auto it = conns_.find(id);
        if (it == conns_.end() || it->second.client.fd < 0) {
            return;
        }
        Conn& conn = it->second;
        End& client = conn.client;
        if (!client.connected) {
            if ((ev & (EPOLLERR | EPOLLHUP)) != 0 || socketError(client.fd) != 0) {
                fault(id, "the connect to the relay failed");
                return;
            }
            client.connected = true;
        }
        if ((ev & EPOLLOUT) != 0) {
            client.blocked = false;
        }
        if ((ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
            receive(id, conn, client, conn.down, "client");
        }
        advance(id);
    }

    void onServer(std::uint32_t id, std::uint32_t ev) {
        auto it = conns_.find(id);
        if (it == conns_.end() || it->second.server.fd < 0) {
            return;
        }
        Conn& conn = it->second;
        if ((ev & EPOLLOUT) != 0) {
            conn.server.blocked = false;
        }
        if ((ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
            receive(id, conn, conn.server, conn.up, "destination");
        }
        advance(id);
    }

    void receive(std::uint32_t id, Conn& conn, End& end, const std::string& expected,
                 const char* side) {
        for (int i = 0; i < 16 && end.fd >= 0 && !end.holding; ++i) {
            ssize_t n = recv(end.fd, buffer_.data(), buffer_.size(), 0);
            if (n < 0 && errno == EAGAIN) {
                return;
            }
            if (n <= 0) {
                endSeen(id, conn, end, expected, side);
                return;
            }
            auto got = static_cast<std::size_t>(n);
            if (end.received + got > expected.size() ||
                std::memcmp(buffer_.data(), expected.data() + end.received, got) != 0) {
                fault(id, std::string("bytes differ at the ") + side + " after " +
                              std::to_string(end.received) + " good ones");
                return;
            }
            end.received += got;
            bytesChecked += got;
        }
    }

    // The other side, through the relay, has ended this end's connection.
    void endSeen(std::uint32_t id, Conn& conn, End& end, const std::string& expected,
                 const char* side) {
        if (!midway(conn.plan.ending) && end.received != expected.size()) {
            fault(id, std::string("the ") + side + " saw the end after " +
                          std::to_string(end.received) + " of " + std::to_string(expected.size()) +
                          " bytes");
            return;
        }
        closeEnd(end, false);
    }

    void pump(Conn& conn, End& end, const std::string& data, std::size_t allowed) {
        if (end.fd < 0 || !end.connected || end.blocked || end.writeShut) {
            return;
        }
        while (end.sent < allowed) {
            ssize_t n = send(end.fd, data.data() + end.sent,
                             std::min<std::size_t>(allowed - end.sent, 65536), MSG_NOSIGNAL);
            if (n < 0 && errno == EAGAIN) {
                end.blocked = true;
                break;
            }
            if (n <= 0) {
                // Gone: the receive side reports the end.
                end.blocked = true;
                break;
            }
            end.sent += static_cast<std::size_t>(n);
        }
        bool halfCloser = (&end == &conn.client && conn.plan.ending == Ending::ClientHalfClose) ||
                          (&end == &conn.server && conn.plan.ending == Ending::ServerHalfClose);
        if (halfCloser && end.sent == data.size()) {
            shutdown(end.fd, SHUT_WR);
            end.writeShut = true;
            conn.acted = true;
        }
        setInterest(end, interestOf(end));
    }

    void setInterest(End& end, std::uint32_t interest) {
        if (end.fd >= 0 && interest != end.interest) {
            poller_.modify(end.token, interest);
            end.interest = interest;
        }
    }

    void advance(std::uint32_t id) {
        auto it = conns_.find(id);
        if (it == conns_.end()) {
            return;
        }
        Conn& conn = it->second;
        pump(conn, conn.client, conn.up, conn.up.size());
        if (conn.bound) {
            bool mayAnswer = conn.plan.duplex || conn.server.received == conn.up.size();
            pump(conn, conn.server, conn.down, mayAnswer ? conn.down.size() : 0);
        }
        if (!conn.acted) {
            act(conn);
        }
        if (conn.client.fd < 0 && conn.server.fd < 0 && conn.bound) {
            ++completed;
            ++perEnding[static_cast<int>(conn.plan.ending)];
            heldCompleted += conn.plan.held ? 1 : 0;
            conns_.erase(it);
        }
    }

    void act(Conn& conn) {
        const Plan& plan = conn.plan;
        bool exchanged = conn.bound && conn.client.received == conn.down.size() &&
                         conn.server.received == conn.up.size();
        switch (plan.ending) {
            case Ending::ClientClose:
            case Ending::ClientReset:
                if (exchanged) {
                    closeEnd(conn.client, plan.ending == Ending::ClientReset);
                    conn.acted = true;
                }
                break;
            case Ending::ServerClose:
            case Ending::ServerReset:
                if (exchanged) {
                    closeEnd(conn.server, plan.ending == Ending::ServerReset);
                    conn.acted = true;
                }
                break;
            case Ending::ClientResetMidway:
                if (conn.server.received >= plan.cutAt) {
                    closeEnd(conn.client, true);
                    conn.acted = true;
                }
                break;
            case Ending::ServerResetMidway:
            case Ending::ClientCloseMidway:
                if (conn.client.received >= plan.cutAt) {
                    bool server = plan.ending == Ending::ServerResetMidway;
                    closeEnd(server ? conn.server : conn.client, server);
                    conn.acted = true;
                }
                break;
            default:
                break;  // the half-closes act while sending
        }
    }

    void closeEnd(End& end, bool reset) {
        if (end.fd < 0) {
            return;
        }
        poller_.remove(end.token);
        serverIds_.erase(end.fd);
        if (reset) {
            resetOnClose(end.fd);
        }
        close(end.fd);
        end.fd = -1;
    }

    void fault(std::uint32_t id, const std::string& what) {
        auto it = conns_.find(id);
        if (it == conns_.end()) {
            return;
        }
        Conn& conn = it->second;
        const Plan& plan = conn.plan;
        faults.push_back("connection " + std::to_string(id) + " (" +
                         kEndingNames[static_cast<int>(plan.ending)] + ", " +
                         (plan.duplex ? "duplex" : "request/answer") + ", up " +
                         std::to_string(plan.up) + ", down " + std::to_string(plan.down) +
                         ", cut at " + std::to_string(plan.cutAt) + "; client got " +
                         std::to_string(conn.client.received) + ", destination got " +
                         std::to_string(conn.server.received) + "): " + what);
        closeEnd(conn.client, false);
        closeEnd(conn.server, false);
        conns_.erase(it);
    }

    struct Header {
        unsigned char bytes[kHeader] = {};
        std::size_t got = 0;
    };

    Poller& poller_;
    int relayPorts_[2] = {};
    std::mt19937 rng_;
    std::vector<char> buffer_;
    int listenFd_ = -1;
    int listenPort_ = 0;
    std::uint64_t listenToken_ = 0;
    std::uint32_t nextId_ = 1;
    int peak_ = 0;
    std::unordered_map<std::uint32_t, Conn> conns_;
    // Destination ends not yet bound to a connection, and those that are.
    std::unordered_map<int, std::uint64_t> serverTokens_;
    std::unordered_map<int, Header> headers_;
    std::unordered_map<int, std::uint32_t> serverIds_;
};

unsigned soakSeed() {
    const char* text = std::getenv("TARNWICK_LOAD_SEED");
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 20261208u;
}

TEST(Soak, RandomTransfersAndEndingsLeaveNothingBehind) {
    constexpr int kParallel = 24;
    constexpr int kBufferKb = 8;
    constexpr int kHeldBufferKb = 32;
    constexpr auto kConnectionLimit = 30s;
    const auto duration = byForm(5s, 60s);
    const unsigned seed = soakSeed();

    // The destination ends live in this process and listen before the relay starts, so the
    // relay (a child, forked before this process has any thread) can be pointed at them.
    Poller poller;
    Soak soak(poller, seed);
    RelayChild relay({{"127.0.0.1", soak.listenPort(), kBufferKb},
                      {"127.0.0.1", soak.listenPort(), kHeldBufferKb, kHeldSocketBuffer}});
    ASSERT_TRUE(relay.started());
    soak.setRelayPorts(relay.port(0), relay.port(1));
    const RelayStats idle = relay.stats();
    const int ownDescriptors = openDescriptors();

    const auto start = Clock::now();
    const auto stopStarting = start + duration;
    poller.runUntil(
        [&] {
            bool starting = Clock::now() < stopStarting;
            while (starting && soak.active() < kParallel) {
                soak.startOne();
            }
            soak.releaseHeld();
            soak.checkTimeouts(kConnectionLimit);
            return !starting;
        },
        duration + 5s);
    EXPECT_TRUE(poller.runUntil(
        [&] {
            soak.releaseHeld();
            soak.checkTimeouts(kConnectionLimit);
            return soak.active() == 0;
        },
        kConnectionLimit + 10s));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    for (std::size_t i = 0; i < std::min<std::size_t>(soak.faults.size(), 20); ++i) {
        ADD_FAILURE() << soak.faults[i];
    }
    EXPECT_TRUE(soak.faults.empty()) << soak.faults.size() << " faults, seed " << seed;
    std::string endings;
    for (int i = 0; i < kEndings; ++i) {
        EXPECT_GT(soak.perEnding[i], 0) << kEndingNames[i];
        endings += std::string(i == 0 ? "" : ", ") + kEndingNames[i] + " " +
                   std::to_string(soak.perEnding[i]);
    }

    // Afterwards the relay holds nothing: no pair, no count, no descriptor, and no memory
    // beyond what it keeps on purpose. Its pool keeps queue blocks for reuse, at most two
    // per pair that was open at the peak; its tables keep their capacity (a few bytes per
    // pair); the rest is allocator rounding.
    RelayStats after;
    EXPECT_TRUE(relay.waitFor(
        [&](const RelayStats& s) {
            after = s;
            return s.totalPairs() == 0 && s.totalConnections() == 0 &&
                   s.descriptors == idle.descriptors;
        },
        10s))
        << after.totalPairs() << " pairs, count " << after.totalConnections() << ", "
        << after.lingering << " lingering, " << after.descriptors << " descriptors ("
        << idle.descriptors << " at the start)";
    const long long grown = after.heapBytes - idle.heapBytes;
    const long long tolerance = 2LL * soak.peak() * kHeldBufferKb * 1024 + (256 << 10);
    EXPECT_LT(grown, tolerance);
    EXPECT_EQ(openDescriptors(), ownDescriptors);
    std::printf(
        "[load] soak (seed %u): %d connections in %.1f s, at most %d at once, %llu bytes "
        "checked, %zu faults; endings: %s (%d half-closes with a held reader); relay memory "
        "%+lld bytes (tolerance %lld), %d descriptors before and after\n",
        seed, soak.completed, seconds, soak.peak(),
        static_cast<unsigned long long>(soak.bytesChecked), soak.faults.size(), endings.c_str(),
        soak.heldCompleted, grown, tolerance, after.descriptors);
    EXPECT_EQ(relay.finish(), 0);
}

}  // namespace
